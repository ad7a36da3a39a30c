#include "frame_trace.h"

#include "card_display.h"
#include "card_info.h"
#include "file_io.h"
#include "journal.h"
#include "reader.h"

#include <QFile>
#include <QLoggingCategory>
#include <QStringList>
#include <QSysInfo>

#include <cstring>

Q_LOGGING_CATEGORY(lcFrames, "quendel.reader.frames", QtWarningMsg)

namespace {

constexpr int kTraceKeySize = sizeof(CardKey::bytes);

QFile traceFile;
long long firstMs = -1;

void writeLine(const QString &line)
{
    if (!traceFile.isOpen())
        return;
    traceFile.write(line.toUtf8() + '\n');
    traceFile.flush();
}

void onFrame(ReaderFrameDirection direction, const uint8_t *report, int result, long long ms)
{
    if (firstMs < 0)
        firstMs = ms;
    const QString line = trace_line(direction == kFrameWritten, report, result, ms - firstMs);
    writeLine(line);
    qCDebug(lcFrames, "%s", qUtf8Printable(line));
}

const struct {
    const CardKey &key;
    const char *marker;
} kKnownKeys[] = {{kSiteKey, "[site-key]"}, {kTransportKey, "[transport-key]"}};

// The marker of the known key at `bytes`, or null.
const char *knownKeyMarker(const uint8_t *bytes)
{
    for (const auto &known : kKnownKeys) {
        if (memcmp(bytes, known.key.bytes, kTraceKeySize) == 0)
            return known.marker;
    }
    return nullptr;
}

QString wide(const wchar_t *text)
{
    return text ? QString::fromWCharArray(text) : QStringLiteral("-");
}

}  // namespace

QString trace_line(bool written, const unsigned char *report, int result, long long ms)
{
    const QString head = QString::asprintf("%8lld %c", ms, written ? '>' : '<');
    // A failed read brings nothing; a failed write still shows what it tried.
    if (!written && result <= 0)
        return head + (result == 0 ? QStringLiteral(" timeout") : QStringLiteral(" error"));
    // Where keys stand: in an authentication request; in a trailer written
    // or read back (key A, then key B ten bytes on). Key A reads back as
    // zeros, which are no secret and stay.
    const uint8_t command = report[2];
    int keyAt[2] = {-1, -1};
    if (written && command == kCmdAuthenticate && report[3] >= 11) {
        keyAt[0] = 9;
    } else if (written && command == kCmdWriteBlock && report[3] >= 17 && (report[4] & 3) == 3) {
        keyAt[0] = 5;
        keyAt[1] = 15;
    } else if (!written && command == kCmdReadBlock && report[4] >= 17 && (report[5] & 3) == 3) {
        keyAt[0] = 6;
        keyAt[1] = 16;
    }
    // Either key wherever it stands, whatever the frame's own length and
    // block bytes say: a faulty reader is why a trace gets taken.
    static const uint8_t zeros[kTraceKeySize] = {};
    const char *markers[kReportSize] = {};
    int afterKeys = kReportSize;
    for (int i = 0; i + kTraceKeySize <= kReportSize; i++) {
        const char *marker = knownKeyMarker(report + i);
        if (!marker && (i == keyAt[0] || i == keyAt[1]) && memcmp(report + i, zeros, kTraceKeySize) != 0)
            marker = "[other-key]";
        if (marker) {
            markers[i] = marker;
            i += kTraceKeySize - 1;
            afterKeys = i + 1;
        }
    }
    // The checksum over a key tells something of it, and a faulty length
    // byte may put it anywhere after the key: every byte after the last key
    // goes, but the end marker of a frame whose checksum, where its length
    // puts it, vouches for that length.
    const int crcAt = written ? 4 + report[3] : 5 + report[4];
    const int endAt = crcAt + 1 < kReportSize && reader_crc8(report + 1, crcAt - 1) == report[crcAt] ? crcAt + 1 : -1;
    int end = kReportSize;
    while (end > 0 && report[end - 1] == 0)
        end--;  // the zeros that pad the report to 64 bytes
    QStringList parts{head};
    for (int i = 0; i < end; i++) {
        if (markers[i]) {
            parts << QLatin1String(markers[i]);
            i += kTraceKeySize - 1;
        } else if (i >= afterKeys && i != endAt) {
            parts << QStringLiteral("[crc]");
        } else {
            parts << QString::asprintf("%02x", report[i]);
        }
    }
    if (result <= 0)
        parts << QStringLiteral("error");
    return parts.join(QLatin1Char(' '));
}

QString keys_masked(QString line)
{
    for (const auto &known : kKnownKeys)
        line.replace(QLatin1String(spacedHex(known.key.bytes, kTraceKeySize)), QLatin1String(known.marker));
    return line;
}

bool trace_start(const QString &file, const QString &program, QString &error)
{
    if (!file.isEmpty()) {
        if (!file_io::openPrivately(traceFile, file, error))
            return false;
        writeLine(QStringLiteral("# QuendelWriteCard reader trace: ms since the first report, > written, "
                                 "< read, bytes in hex up to the padding"));
        writeLine(QStringLiteral("program: ") + program);
        writeLine(QStringLiteral("hidapi: " HID_API_VERSION_STR));
        writeLine(QStringLiteral("os: %1 (%2 %3)").arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                                                      QSysInfo::kernelVersion()));
        writeLine(QStringLiteral("start: ") + journal_time());
    }
    firstMs = -1;
    if (traceFile.isOpen() || lcFrames().isDebugEnabled())
        reader_set_frame_hook(onFrame);
    return true;
}

void trace_reader(const QString &path)
{
    if (!traceFile.isOpen())
        return;
    writeLine(QStringLiteral("reader: ") + path);
    ReaderDeviceInfo *readers = reader_list_devices();
    for (const ReaderDeviceInfo *reader = readers; reader; reader = reader->next) {
        if (!reader->path || QString::fromLocal8Bit(reader->path) != path)
            continue;
        writeLine(QStringLiteral("product: ") + wide(reader->product_string));
        writeLine(QStringLiteral("manufacturer: ") + wide(reader->manufacturer_string));
        writeLine(QStringLiteral("serial: ") + wide(reader->serial_number));
        writeLine(QString::asprintf("release: %04X", reader->release_number));
        break;
    }
    reader_free_devices(readers);
}

void trace_stop()
{
    reader_set_frame_hook(nullptr);
    traceFile.close();
}
