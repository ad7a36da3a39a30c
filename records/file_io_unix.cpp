#include "file_io.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <pwd.h>
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
QString lockFile(int fd)
{
    int res;
    do
        res = ::flock(fd, LOCK_EX);
    while (res != 0 && errno == EINTR);
    return res == 0 ? QString() : errnoText();
}
void unlockFile(int fd) { ::flock(fd, LOCK_UN); }

namespace {

QString userName(uid_t uid)
{
    const struct passwd *user = ::getpwuid(uid);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

// Whom the program's own file beside `beside` must belong to, and the
// modes it may have: that file's, or this user's own.
void expectedFor(const QString &beside, uid_t &owner, gid_t &group, mode_t &modes)
{
    struct stat info;
    const bool exists = !beside.isEmpty() && ::stat(QFile::encodeName(beside).constData(), &info) == 0;
    owner = exists ? info.st_uid : ::geteuid();
    group = exists ? info.st_gid : ::getegid();
    modes = exists ? info.st_mode & 0666 : 0666;
}

QString foreignStat(const struct stat &info, uid_t owner)
{
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("is a link");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("is a folder");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("is not a regular file");
    if (info.st_uid != owner)
        return QStringLiteral("belongs to user %1").arg(userName(info.st_uid));
    return QString();
}

}  // namespace

QString foreignFile(const QString &path, const QString &beside)
{
    uid_t owner;
    gid_t group;
    mode_t modes;
    expectedFor(beside, owner, group, modes);
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT ? QString() : QStringLiteral("cannot be looked at: %1").arg(errnoText());
    return foreignStat(info, owner);
}

// What keeps the file just opened as `fd` from being the program's own,
// once one made now (`made`) is given to its owner and any file is closed
// off to the modes it may have; empty when nothing does.
static QString ownOpened(int fd, bool made, uid_t owner, gid_t group, mode_t modes, const QString &beside)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return QStringLiteral("cannot be looked at: %1").arg(errnoText());
    if (made && info.st_uid != owner && ::fchown(fd, owner, group) == 0)
        info.st_uid = owner;
    if (const QString problem = foreignStat(info, owner); !problem.isEmpty())
        return problem;
    if ((info.st_mode & 0777 & ~modes) != 0 && ::fchmod(fd, info.st_mode & modes & 0777) != 0)
        return QStringLiteral("is more open than %1 and cannot be closed off: %2").arg(beside, errnoText());
    return QString();
}

// Checked before the open, so that nothing else is opened (a device, a
// pipe), and again on what was opened: never through a link (O_NOFOLLOW),
// whatever took the name meanwhile, and made only where nothing stands. A
// drain may delete the file between the look and the open, or another
// process make it: then it is looked at again.
int openOwnForAppend(const QString &path, bool create, const QString &beside, QString &error)
{
    uid_t owner;
    gid_t group;
    mode_t modes;
    expectedFor(beside, owner, group, modes);
    const QByteArray name = QFile::encodeName(path);
    QString problem = QStringLiteral("keeps changing");
    for (int tries = 0; tries < 3; tries++) {
        struct stat info;
        const bool existed = ::lstat(name.constData(), &info) == 0;
        const int looked = existed ? 0 : errno;
        if (looked == ENOENT && !create)
            return -1;
        problem = existed ? foreignStat(info, owner) : QString();
        if (looked != 0 && looked != ENOENT)
            problem = QStringLiteral("cannot be looked at: %1").arg(errnoText(looked));
        // A file made now is this user's, and only root can give it to another.
        if (problem.isEmpty() && !existed && owner != ::geteuid() && ::geteuid() != 0)
            problem = QStringLiteral("would belong to user %1, not to user %2 as %3 does")
                              .arg(userName(::geteuid()), userName(owner), beside);
        if (!problem.isEmpty())
            break;
        const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK
                                      | (existed ? 0 : O_CREAT | O_EXCL), modes);
        if (fd < 0 && errno == (existed ? ENOENT : EEXIST)) {
            problem = QStringLiteral("keeps changing");
            continue;
        }
        if (fd < 0) {
            problem = errno == ELOOP ? QStringLiteral("is a link")
                                     : QStringLiteral("cannot be opened: %1").arg(errnoText());
            break;
        }
        problem = ownOpened(fd, !existed, owner, group, modes, beside);
        if (problem.isEmpty())
            return fd;
        ::close(fd);
        if (!existed)
            ::unlink(name.constData());  // made just now, empty, and refused: it would stand in the way
        break;
    }
    error = QStringLiteral("%1 %2: remove it").arg(path, problem);
    return -1;
}

int createPrivately(const QString &path, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        error = errnoText();
    return fd;
}

bool moveOver(const QString &temporary, const QString &path, QString &error)
{
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    error = errnoText();
    return false;
}

}  // namespace file_io
