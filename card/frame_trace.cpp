#include "frame_trace.h"

#include "card_info.h"
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

const char *keyMarker(const uint8_t *key)
{
    if (memcmp(key, kSiteKey.bytes, kTraceKeySize) == 0)
        return "[site-key]";
    if (memcmp(key, kTransportKey.bytes, kTraceKeySize) == 0)
        return "[transport-key]";
    return "[other-key]";
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
    // The checksum of a frame with a key would tell something of the key.
    const int crcAt = written ? 4 + report[3] : 5 + report[4];
    int end = kReportSize;
    while (end > 0 && report[end - 1] == 0)
        end--;  // the zeros that pad the report to 64 bytes
    static const uint8_t zeros[kTraceKeySize] = {};
    QStringList parts{head};
    bool keyed = false;
    for (int i = 0; i < end; i++) {
        if ((i == keyAt[0] || i == keyAt[1]) && memcmp(report + i, zeros, kTraceKeySize) != 0) {
            parts << QLatin1String(keyMarker(report + i));
            keyed = true;
            i += kTraceKeySize - 1;
        } else if (keyed && i == crcAt) {
            parts << QStringLiteral("[crc]");
        } else {
            parts << QString::asprintf("%02x", report[i]);
        }
    }
    if (result <= 0)
        parts << QStringLiteral("error");
    return parts.join(QLatin1Char(' '));
}

bool trace_start(const QString &file, const QString &program, QString &error)
{
    if (!file.isEmpty()) {
        traceFile.setFileName(file);
        if (!traceFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = traceFile.errorString();
            return false;
        }
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
