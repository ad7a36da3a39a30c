#include "file_io.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_io {

int openForAppend(const QString &path, bool create)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
}
QString openFailure() { return errnoText(); }
void closeFd(int fd) { ::close(fd); }
qint64 fileSize(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 ? info.st_size : -1;
}
bool isRegularFile(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
bool isLinked(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) != 0 || info.st_nlink > 0;
}
// While it is still locked, so that no row can go in before it is gone.
void removeHeld(const QString &path) { QFile::remove(path); }
int writeSome(int fd, const char *bytes, qint64 size)
{
    return static_cast<int>(::write(fd, bytes, static_cast<size_t>(size)));
}
bool readAt(int fd, qint64 offset, char *bytes, qint64 size)
{
    return ::pread(fd, bytes, static_cast<size_t>(size), offset) == size;
}
bool truncateTo(int fd, qint64 size) { return ::ftruncate(fd, size) == 0; }
bool syncToDisk(int fd) { return ::fsync(fd) == 0; }
// A new file's directory entry is on the disk only once its folder is
// synced; a file system that cannot sync folders (EINVAL) keeps them itself.
bool syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
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

bool openPrivately(QFile &file, const QString &path, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && ::fchmod(fd, 0600) != 0)) {
        error = qt_error_string(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    file.setFileName(path);
    return file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
}

}  // namespace file_io
