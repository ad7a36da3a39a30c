#include "frame_trace.h"

#include "card_display.h"
#include "card_info.h"
#include "file_io.h"
#include "journal.h"
#include "reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// The length of a run of at least three bytes that ends `report` and
// begins one of the keys (`atEnd`), or that starts it and ends one, and the
// key's marker: what is left of a key that a report cut off.
int cutKeyLength(const uint8_t *report, bool atEnd, const char **marker)
{
    for (int length = kTraceKeySize - 1; length >= 3; length--) {
        for (const auto &known : kKnownKeys) {
            if (atEnd ? memcmp(report + kReportSize - length, known.key.bytes, length) == 0
                      : memcmp(report, known.key.bytes + kTraceKeySize - length, length) == 0) {
                *marker = known.marker;
                return length;
            }
        }
    }
    return 0;
}

// Whether `a` and `b` name one file: by where they lead once they exist,
// and by name before; in any case, as some systems compare names.
bool sameFile(const QString &a, const QString &b)
{
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return (!canonical.isEmpty() && canonical.compare(QFileInfo(b).canonicalFilePath(), Qt::CaseInsensitive) == 0)
            || QDir::cleanPath(QFileInfo(a).absoluteFilePath())
                       .compare(QDir::cleanPath(QFileInfo(b).absoluteFilePath()), Qt::CaseInsensitive) == 0;
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
    int lengths[kReportSize] = {};
    int keysEnd = 0;
    const auto mark = [&](int at, const char *marker, int length) {
        markers[at] = marker;
        lengths[at] = length;
        keysEnd = at + length;
    };
    // Stale bytes may hold what is left of a key, cut off at either edge.
    const char *cutMarker = nullptr;
    if (const int cut = cutKeyLength(report, false, &cutMarker))
        mark(0, cutMarker, cut);
    for (int i = keysEnd; i + kTraceKeySize <= kReportSize; i++) {
        const char *marker = knownKeyMarker(report + i);
        if (!marker && (i == keyAt[0] || i == keyAt[1]) && memcmp(report + i, zeros, kTraceKeySize) != 0)
            marker = "[other-key]";
        if (marker) {
            mark(i, marker, kTraceKeySize);
            i += kTraceKeySize - 1;
        }
    }
    const int afterKeys = keysEnd > 0 ? keysEnd : kReportSize;
    if (const int cut = cutKeyLength(report, true, &cutMarker); cut && keysEnd <= kReportSize - cut)
        mark(kReportSize - cut, cutMarker, cut);  // with nothing after it to mask
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
            i += lengths[i] - 1;
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

bool trace_start(const QString &file, const QString &program, const QStringList &journals, QString &error)
{
    if (!file.isEmpty()) {
        for (const QString &journal : journals) {
            for (const QString &kept : {journal, pending_rows_path(journal)}) {
                if (!journal.isEmpty() && sameFile(file, kept)) {
                    error = QStringLiteral("%1 keeps the journal's rows: name another file").arg(file);
                    return false;
                }
            }
        }
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
