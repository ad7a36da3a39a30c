#include "file_io.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace file_io {

int openForAppend(const QString &path, bool create)
{
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()),
                  _O_RDWR | _O_APPEND | _O_BINARY | _O_NOINHERIT | (create ? _O_CREAT : 0), _S_IREAD | _S_IWRITE);
}
// A spreadsheet opens the file sharing reads only, and keeps it open.
QString openFailure()
{
    if (_doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION)
        return QStringLiteral("another program holds the journal, for example a spreadsheet: close it");
    return errnoText();
}
void closeFd(int fd) { _close(fd); }
qint64 fileSize(int fd)
{
    struct _stat64 info;
    return _fstat64(fd, &info) == 0 ? info.st_size : -1;
}
bool isRegularFile(int fd)
{
    struct _stat64 info;
    return _fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}
// Nobody can delete a file that another has open.
bool isLinked(int) { return true; }
// Not while it is open, as it is here: emptied, it stays, and holds no row.
void removeHeld(const QString &) {}
int writeSome(int fd, const char *bytes, qint64 size)
{
    return _write(fd, bytes, static_cast<unsigned>(size));
}
bool readAt(int fd, qint64 offset, char *bytes, qint64 size)
{
    return _lseeki64(fd, offset, SEEK_SET) == offset && _read(fd, bytes, static_cast<unsigned>(size)) == size;
}
bool truncateTo(int fd, qint64 size) { return _chsize_s(fd, size) == 0; }
bool syncToDisk(int fd) { return _commit(fd) == 0; }
// NTFS journals its directories itself.
bool syncFolder(const QString &) { return true; }
bool lockFile(int fd, bool exclusive)
{
    OVERLAPPED whole = {};
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return exclusive ? LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)
                     : UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
}

bool openPrivately(QFile &file, const QString &path, QString &error)
{
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return true;
    error = file.errorString();
    return false;
}

}  // namespace file_io
