#include "journal.h"
#include "file_io.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

using namespace file_io;

namespace {

const char kHeader[] = "time,reader,uid,outcome,codes\r\n";
// How much of a row cut short at the journal's end is looked past.
constexpr qint64 kCutRowMax = 4096;

// One CSV field, quoted when it holds a comma, a quote, CR or LF.
QString csv_field(const QString &text)
{
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return special.contains(c); }))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The pending file of a journal, locked from when its rows are taken until
// they are in the journal, so that a row kept meanwhile waits for them.
class PendingRows {
public:
    explicit PendingRows(const QString &journal) : mJournal(journal), mPath(pending_rows_path(journal)) {}
    ~PendingRows()
    {
        if (mFd >= 0)
            closeFd(mFd);
    }
    PendingRows(const PendingRows &) = delete;
    PendingRows &operator=(const PendingRows &) = delete;

    // Its rows, each ended by a line end; none when there is no such file.
    bool take(QByteArray &rows, QString &error)
    {
        mFd = openOwnForAppend(mPath, false, mJournal, error);
        if (mFd < 0)
            return error.isEmpty();
        const QString locked = lockFile(mFd);
        const qint64 size = locked.isEmpty() ? fileSize(mFd) : -1;
        rows.resize(std::max<qint64>(size, 0));
        if (size < 0 || (size > 0 && !readAt(mFd, 0, rows.data(), size))) {
            error = QStringLiteral("cannot read the rows waiting in %1: %2")
                            .arg(mPath, locked.isEmpty() ? errnoText() : locked);
            return false;
        }
        if (!rows.isEmpty() && !rows.endsWith('\n'))
            rows += "\r\n";  // a row that a crash cut short
        return true;
    }
    // Once they are in the journal. A row kept meanwhile, into the file now
    // deleted, is kept again in a new one.
    bool clear(QString &error)
    {
        if (mFd < 0)
            return true;
        if (!truncateTo(mFd, 0) || !syncToDisk(mFd)) {
            error = QStringLiteral("cannot empty %1, whose rows are in the journal now: %2; remove it")
                            .arg(mPath, errnoText());
            return false;
        }
        removeHeld(mPath);
        return true;
    }

private:
    QString mJournal;
    QString mPath;
    int mFd = -1;
};

// How many bytes of `rows` the journal's `tail` ends with already, in whole
// rows from the first on: those of a drain cut short before the pending file
// was emptied.
qint64 rowsAlreadyIn(const QByteArray &tail, const QByteArray &rows)
{
    for (qint64 end = rows.size(); end > 0; end = end > 1 ? rows.lastIndexOf('\n', end - 2) + 1 : 0) {
        if (tail.endsWith(QByteArray::fromRawData(rows.constData(), end)))
            return end;
    }
    return 0;
}

}  // namespace

QString pending_rows_path(const QString &journal)
{
    return journal + QStringLiteral(".pending");
}

Journal::~Journal()
{
    if (mFd >= 0)
        closeFd(mFd);
}

bool Journal::open(const QString &path, QString &error, bool createFolder)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (createFolder && !QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            error = QStringLiteral("cannot create its folder");
            return false;
        }
        if (!syncFolder(folder)) {
            error = errnoText();
            return false;
        }
    }
    mPath = path;
    return openFile(error) && appendLocked(QByteArray(), error);
}

bool Journal::keepPending(const QString &journal, const QStringList &fields, QString &error)
{
    Journal pending(journal);
    pending.mPath = pending_rows_path(journal);
    return pending.openFile(error) && pending.append(fields, error);
}

// Opens the file at mPath, created when missing. A pipe would take rows
// that nobody may ever read, and block once full; a device keeps none on
// the disk. Anything but a regular file is refused before it is opened,
// and after, should one have taken the file's place meanwhile.
bool Journal::openFile(QString &error)
{
    if (!mJournal.isEmpty()) {
        mFd = openOwnForAppend(mPath, true, mJournal, error);
        return mFd >= 0;
    }
    static const QString notRegular =
            QStringLiteral("not a regular file (a folder, a pipe or a device cannot keep its rows)");
    const QFileInfo info(mPath);
    const bool existed = info.exists();
    const bool regular = !existed || info.isFile();
    mFd = regular ? openForAppend(mPath, true) : -1;
    if (mFd < 0) {
        error = regular ? openFailure() : notRegular;
        return false;
    }
    if (!isRegularFile(mFd)) {
        closeFd(mFd);
        mFd = -1;
        error = notRegular;
        return false;
    }
    if (!existed && !syncFolder(mPath)) {
        error = errnoText();
        return false;
    }
    return true;
}

bool Journal::append(const QStringList &fields, QString &error)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csv_field(field);
    return appendLocked((quoted.join(QLatin1Char(',')) + QLatin1String("\r\n")).toUtf8(), error);
}

bool Journal::appendLocked(const QByteArray &row, QString &error)
{
    // A file deleted since it was opened would swallow the row: it goes into
    // the file at the path, made anew.
    for (;;) {
        error = lockFile(mFd);
        if (!error.isEmpty())
            return false;
        if (isLinked(mFd))
            break;
        closeFd(mFd);
        mFd = -1;
        if (!openFile(error))
            return false;
    }
    const bool done = (!mJournal.isEmpty() || drainPending(error)) && writeWhole(row, error);
    unlockFile(mFd);
    return done;
}

// With the journal locked: the rows waiting in its pending file go in on
// their own and are synced, the pending file is emptied, and only then may
// another row follow. A drain stopped anywhere leaves the rows at the
// journal's end and in the pending file at worst: they go in once.
bool Journal::drainPending(QString &error)
{
    PendingRows pending(mPath);
    QByteArray rows;
    if (!pending.take(rows, error))
        return false;
    if (rows.isEmpty())
        return pending.clear(error);
    // A row cut short by a crash, after those rows, is no row of theirs.
    const qint64 size = fileSize(mFd);
    QByteArray tail(std::min<qint64>(std::max<qint64>(size, 0), rows.size() + kCutRowMax), Qt::Uninitialized);
    if (size < 0 || !readAt(mFd, size - tail.size(), tail.data(), tail.size())) {
        error = errnoText();
        return false;
    }
    tail.truncate(tail.lastIndexOf('\n') + 1);
    return writeWhole(rows.mid(rowsAlreadyIn(tail, rows)), error) && pending.clear(error);
}

// With the lock held: the header into an empty journal, a line end after a
// row that a crash cut short, then `rows`; all of it or nothing, and synced.
bool Journal::writeWhole(const QByteArray &rows, QString &error)
{
    const qint64 size = fileSize(mFd);
    char last = '\n';
    if (size < 0 || (size > 0 && !readAt(mFd, size - 1, &last, 1))) {
        error = errnoText();
        return false;
    }
    const bool header = size == 0 && mJournal.isEmpty();
    return writeOut((header ? QByteArray(kHeader) : QByteArray(last == '\n' ? "" : "\r\n")) + rows, size, error);
}

// All of `out`, on the disk; on failure the file is cut back to `size`, so
// that no part of it stays: a row not synced may or may not be there after
// a crash, and one reported missing must not be.
bool Journal::writeOut(const QByteArray &out, qint64 size, QString &error)
{
    if (out.isEmpty())
        return true;  // a journal opened with nothing to add
    for (qint64 written = 0; written < out.size();) {
        const int res = writeSome(mFd, out.constData() + written, out.size() - written);
        if (res <= 0) {
            error = errnoText(res < 0 ? errno : ENOSPC);
            truncateTo(mFd, size);
            return false;
        }
        written += res;
    }
    if (!syncToDisk(mFd)) {
        error = errnoText();
        if (truncateTo(mFd, size))
            syncToDisk(mFd);
        return false;
    }
    return true;
}

QString default_journal_path()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("quendel-writecard/journal.csv"));
}

QString journal_time()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
            + QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 3600,
                                std::abs(offset) % 3600 / 60);
}
