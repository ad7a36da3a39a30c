#include "journal.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kHeader[] = "time,reader,uid,outcome,codes\r\n";

// Plain descriptors rather than QFile: the row must go out in one write
// under a lock, be synced, and be taken back by truncation when it does not
// fit, none of which QFile offers.
#ifdef _WIN32
int openForAppend(const QString &path)
{
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()),
                  _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
void closeFd(int fd) { _close(fd); }
qint64 fileSize(int fd)
{
    struct _stat64 info;
    return _fstat64(fd, &info) == 0 ? info.st_size : -1;
}
int writeSome(int fd, const char *bytes, qint64 size)
{
    return _write(fd, bytes, static_cast<unsigned>(size));
}
bool truncateTo(int fd, qint64 size) { return _chsize_s(fd, size) == 0; }
// A pipe or a console has nothing to sync (EINVAL, EBADF): the row has gone on.
bool syncToDisk(int fd) { return _commit(fd) == 0 || errno == EINVAL || errno == EBADF; }
// NTFS journals its directories itself.
bool syncFolder(const QString &) { return true; }
bool lockFile(int fd, bool exclusive)
{
    OVERLAPPED whole = {};
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return exclusive ? LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)
                     : UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
}
#else
int openForAppend(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}
void closeFd(int fd) { ::close(fd); }
qint64 fileSize(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 ? info.st_size : -1;
}
int writeSome(int fd, const char *bytes, qint64 size)
{
    return static_cast<int>(::write(fd, bytes, static_cast<size_t>(size)));
}
bool truncateTo(int fd, qint64 size) { return ::ftruncate(fd, size) == 0; }
bool syncToDisk(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }
// A new file's directory entry is on the disk only once its folder is synced.
bool syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = syncToDisk(fd);
    ::close(fd);
    return synced;
}
bool lockFile(int fd, bool exclusive)
{
    int res;
    do
        res = ::flock(fd, exclusive ? LOCK_EX : LOCK_UN);
    while (res != 0 && errno == EINTR);
    return res == 0;
}
#endif

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

// The last byte of the file, or '\n' for an empty one.
bool lastByte(int fd, qint64 size, char &last)
{
    last = '\n';
    if (size == 0)
        return true;
#ifdef _WIN32
    return _lseeki64(fd, size - 1, SEEK_SET) == size - 1 && _read(fd, &last, 1) == 1;
#else
    return ::pread(fd, &last, 1, size - 1) == 1;
#endif
}

}  // namespace

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
            error = qt_error_string(errno);
            return false;
        }
    }
    const bool existed = QFileInfo::exists(path);
    mFd = openForAppend(path);
    if (mFd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    mPath = path;
    mRegular = QFileInfo(path).isFile();
    if (!existed && !syncFolder(path)) {
        error = qt_error_string(errno);
        return false;
    }
    return appendLocked(QByteArray(), error);
}

bool Journal::append(const QStringList &fields, QString &error)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csv_field(field);
    return appendLocked((quoted.join(QLatin1Char(',')) + QLatin1String("\r\n")).toUtf8(), error);
}

bool Journal::appendLocked(const QByteArray &bytes, QString &error)
{
    if (!lockFile(mFd, true)) {
        error = qt_error_string(errno);
        return false;
    }
    const bool done = writeWhole(bytes, error);
    lockFile(mFd, false);
    return done;
}

// With the lock held: the header into an empty file, a line end after a row
// that a crash cut short, then `bytes`; all of it or nothing, and synced.
bool Journal::writeWhole(const QByteArray &bytes, QString &error)
{
    // A pipe or a device has no size and keeps nothing to look back at: the
    // header goes out once, as the journal opens.
    if (!mRegular)
        return writeOut(bytes.isEmpty() ? QByteArray(kHeader) : bytes, -1, error);
    const qint64 size = fileSize(mFd);
    char last = '\n';
    if (size < 0 || !lastByte(mFd, size, last)) {
        error = qt_error_string(errno);
        return false;
    }
    return writeOut((size == 0 ? QByteArray(kHeader) : QByteArray(last == '\n' ? "" : "\r\n")) + bytes, size,
                    error);
}

// All of `out`, synced; on failure the file is cut back to `size` (when
// known), so that no part of it stays.
bool Journal::writeOut(const QByteArray &out, qint64 size, QString &error)
{
    for (qint64 written = 0; written < out.size();) {
        const int res = writeSome(mFd, out.constData() + written, out.size() - written);
        if (res <= 0) {
            error = qt_error_string(res < 0 ? errno : ENOSPC);
            if (size >= 0)
                truncateTo(mFd, size);
            return false;
        }
        written += res;
    }
    if (!syncToDisk(mFd)) {
        error = qt_error_string(errno);
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
