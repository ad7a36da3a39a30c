#include "reader_lock_os.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The program a process runs: its first argument without the folder, which
// /proc/PID/comm would cut to 15 characters.
QString programOf(const QByteArray &pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(QLatin1String(pid)));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray first = cmdline.readAll().split('\0').value(0);
        if (!first.isEmpty())
            return QFileInfo(QFile::decodeName(first)).fileName();
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(QLatin1String(pid)));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
}

// The process holding an flock on the node `node` describes, from the
// kernel's list of locks ("1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF");
// empty when none does or the list cannot be read.
QString nodeHolder(const struct stat &node)
{
    const QByteArray id = QString::asprintf("%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                                            static_cast<unsigned long long>(node.st_ino)).toLatin1();
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return QString();
    // Files in /proc have no size: read to the end rather than test for it.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == id)
            return describe_holder(fields[4].toLongLong(), programOf(fields[4]));
    }
    return QString();
}

}  // namespace

ReaderOpen ReaderLock::acquire(const QString &path, QString *detail)
{
    release();
    const int node = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node < 0) {
        if (errno == EACCES || errno == EPERM)
            return ReaderOpen::PermissionDenied;
        if (errno != ENOENT && errno != ENOTDIR && errno != ENXIO && errno != ENODEV)
            return ReaderOpen::CannotOpen;
        return acquireFile(path, detail);  // not a node, or a reader gone: its open will tell
    }
    if (::flock(node, LOCK_EX | LOCK_NB) == 0) {
        mNode = node;
        return ReaderOpen::Opened;
    }
    const bool held = errno == EWOULDBLOCK;
    struct stat info;
    if (held && detail) {
        *detail = ::fstat(node, &info) == 0 ? nodeHolder(info) : QString();
        if (detail->isEmpty())
            *detail = QStringLiteral("another process");
    }
    ::close(node);
    return held ? ReaderOpen::InUse : ReaderOpen::CannotOpen;
}

void ReaderLock::release()
{
    if (mNode >= 0)
        ::close(mNode);  // lets go of the flock
    mNode = -1;
    mFile.reset();  // unlocks
}

QString ReaderLock::holderOf(const QString &path)
{
    struct stat node;
    if (::stat(QFile::encodeName(path).constData(), &node) == 0)
        return nodeHolder(node);
    return lock_file_holder(path);
}

// QLockFile tells a dead holder's file by its pid and program: nothing to add.
bool try_lock_file(QLockFile &lock) { return lock.tryLock(0); }

bool lock_file_held(const QString &, qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool reader_accessible(const QString &path)
{
    // A path that names no node is for hidapi to judge.
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0 || errno == ENOENT;
}
