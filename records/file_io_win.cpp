#include "file_io.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

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
QString lockFile(int fd)
{
    OVERLAPPED whole = {};
    if (LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        return QString();
    return qt_error_string(int(GetLastError()));
}
void unlockFile(int fd)
{
    OVERLAPPED whole = {};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), 0, MAXDWORD, MAXDWORD, &whole);
}

namespace {

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

struct LocalFreer {
    void operator()(void *memory) const { LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

// The owner of the file at `path`, held by `descriptor`: null where the
// file system keeps none (FAT, exFAT). The reason it cannot be read.
DWORD ownerOf(const QString &path, SecurityDescriptor &descriptor, PSID &owner)
{
    owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD read = GetNamedSecurityInfoW(wide(QDir::toNativeSeparators(path)), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    descriptor.reset(raw);
    if (read == ERROR_NOT_SUPPORTED)
        owner = nullptr;
    return read == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : read;
}

// Whether `sid` is this process's user, or the owner it gives what it makes
// (an elevated administrator's files belong to the Administrators group).
bool isThisUser(PSID sid)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    bool same = false;
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        union {
            TOKEN_USER user;
            TOKEN_OWNER owner;
            char bytes[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        } info;
        DWORD size = 0;
        if (GetTokenInformation(token, kind, &info, sizeof info, &size))
            same = same || EqualSid(sid, kind == TokenUser ? info.user.User.Sid : info.owner.Owner);
    }
    CloseHandle(token);
    return same;
}

QString accountName(PSID sid)
{
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return QStringLiteral("?");
    return QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name);
}

}  // namespace

QString foreignFile(const QString &path, const QString &beside)
{
    const DWORD attributes = GetFileAttributesW(wide(QDir::toNativeSeparators(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                ? QString() : QStringLiteral("cannot be looked at: %1").arg(qt_error_string(int(code)));
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return QStringLiteral("is a link");
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return QStringLiteral("is a folder");
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return QStringLiteral("is not a regular file");
    SecurityDescriptor held, besideHeld;
    PSID owner, expected = nullptr;
    if (const DWORD read = ownerOf(path, held, owner); read != ERROR_SUCCESS)
        return QStringLiteral("cannot be looked at: %1").arg(qt_error_string(int(read)));
    if (!beside.isEmpty())
        ownerOf(beside, besideHeld, expected);
    // A file system that keeps no owners has no other user's files either.
    if (!owner || (expected ? EqualSid(owner, expected) : isThisUser(owner)))
        return QString();
    return QStringLiteral("belongs to user %1").arg(accountName(owner));
}

// Made here, a file takes its folder's permissions, which are its
// neighbour's. Windows makes no link but for an administrator.
int openOwnForAppend(const QString &path, bool create, const QString &beside, QString &error)
{
    const QString problem = foreignFile(path, beside);
    const int fd = problem.isEmpty() ? openForAppend(path, create) : -1;
    if (fd >= 0 || (problem.isEmpty() && errno == ENOENT && !create))
        return fd;
    error = problem.isEmpty() ? QStringLiteral("cannot open %1: %2").arg(path, openFailure())
                              : QStringLiteral("%1 %2: remove it").arg(path, problem);
    return -1;
}

// Shared for deleting, so that it can be moved while open.
int createPrivately(const QString &path, QString &error)
{
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(path)), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const int fd = handle == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY);
    if (fd < 0) {
        error = qt_error_string(int(GetLastError()));
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    return fd;
}

bool moveOver(const QString &temporary, const QString &path, QString &error)
{
    if (MoveFileExW(wide(QDir::toNativeSeparators(temporary)), wide(QDir::toNativeSeparators(path)),
                    MOVEFILE_REPLACE_EXISTING))
        return true;
    error = qt_error_string(int(GetLastError()));
    return false;
}

}  // namespace file_io
