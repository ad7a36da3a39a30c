#include "reader_lock.h"

#include "frame_trace.h"
#include "reader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#endif
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

// Reader paths are long and full of separators on some systems: a lock is
// named by a digest of the path.
QString lockName(const QString &path)
{
    const QByteArray digest = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1);
    return QStringLiteral("quendel-reader-%1").arg(QString::fromLatin1(digest.toHex().left(16)));
}

QString lockFilePath(const QString &path)
{
    return QDir(lock_dir()).filePath(lockName(path) + QStringLiteral(".lock"));
}

#ifdef Q_OS_WIN
// Another user's process has its lock file in its own data folder; the
// reader is one for the whole machine. A mutex in the Global namespace,
// which Windows lets go of when its holder dies, is held besides. One that
// another user made cannot even be opened: it is held, since its handles
// are closed as it is let go of.
std::wstring machineLockName(const QString &path)
{
    return L"Global\\" + lockName(path).toStdWString();
}

// The mutex, owned; null when another process holds it.
HANDLE takeMachineLock(const QString &path)
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, machineLockName(path).c_str());
    if (!mutex)
        return nullptr;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)  // abandoned: its holder died
        return mutex;
    CloseHandle(mutex);
    return nullptr;
}

bool machineLockHeld(const QString &path)
{
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, machineLockName(path).c_str());
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT;
}
#endif

QString describe(qint64 pid, const QString &program)
{
    return QStringLiteral("%1 (pid %2)").arg(program.isEmpty() ? QStringLiteral("?") : program).arg(pid);
}

// Whether the lock file `file`, which names `pid`, is held: it outlives a
// holder that was killed.
bool lockFileHeld(const QString &file, qint64 pid)
{
#ifdef Q_OS_WIN
    // Its holder keeps it open for writing and lets others only read it, so
    // an open that will not share writing is refused while it is held. The
    // pid may by now name another process, even one of the same program.
    Q_UNUSED(pid);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()),
                                      GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
#elif defined(Q_OS_UNIX)
    Q_UNUSED(file);
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#else
    Q_UNUSED(file);
    Q_UNUSED(pid);
    return true;
#endif
}

#ifdef Q_OS_LINUX
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
            return describe(fields[4].toLongLong(), programOf(fields[4]));
    }
    return QString();
}
#endif

}  // namespace

QString lock_dir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("quendel-writecard"));
}

bool try_lock_file(QLockFile &lock)
{
    if (lock.tryLock(0))
        return true;
#ifdef Q_OS_WIN
    // Windows lets nobody delete a lock file while its holder has it open:
    // one that can be deleted is no longer held.
    if (lock.error() == QLockFile::LockFailedError && lock.removeStaleLockFile())
        return lock.tryLock(0);
#endif
    return false;
}

ReaderLock::~ReaderLock()
{
    release();
}

ReaderOpen ReaderLock::acquire(const QString &path, QString *holder)
{
    release();
#ifdef Q_OS_LINUX
    const int node = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node < 0) {
        if (errno == EACCES || errno == EPERM)
            return ReaderOpen::PermissionDenied;
        if (errno != ENOENT && errno != ENOTDIR && errno != ENXIO && errno != ENODEV)
            return ReaderOpen::CannotOpen;
        return acquireFile(path, holder);  // not a node, or a reader gone: its open will tell
    }
    if (::flock(node, LOCK_EX | LOCK_NB) == 0) {
        mNode = node;
        return ReaderOpen::Opened;
    }
    const bool held = errno == EWOULDBLOCK;
    struct stat info;
    if (held && holder) {
        *holder = ::fstat(node, &info) == 0 ? nodeHolder(info) : QString();
        if (holder->isEmpty())
            *holder = QStringLiteral("another process");
    }
    ::close(node);
    return held ? ReaderOpen::InUse : ReaderOpen::CannotOpen;
#else
    return acquireFile(path, holder);
#endif
}

ReaderOpen ReaderLock::acquireFile(const QString &path, QString *holder)
{
    QDir().mkpath(lock_dir());
    auto lock = std::make_unique<QLockFile>(lockFilePath(path));
    // Never stale by age: a batch may hold a reader for hours. A lock whose
    // process is gone is still taken over.
    lock->setStaleLockTime(0);
    if (try_lock_file(*lock)) {
#ifdef Q_OS_WIN
        mMachineLock = takeMachineLock(path);
        if (!mMachineLock) {
            if (holder)
                *holder = QStringLiteral("another user's process");
            return ReaderOpen::InUse;
        }
#endif
        mFile = std::move(lock);
        return ReaderOpen::Opened;
    }
    // A lock file that cannot be made says nothing of the reader.
    if (lock->error() != QLockFile::LockFailedError)
        return ReaderOpen::CannotOpen;
    if (holder) {
        qint64 pid = 0;
        QString host, program;
        *holder = lock->getLockInfo(&pid, &host, &program) ? describe(pid, program)
                                                           : QStringLiteral("another process");
    }
    return ReaderOpen::InUse;
}

void ReaderLock::release()
{
#ifdef Q_OS_LINUX
    if (mNode >= 0)
        ::close(mNode);  // lets go of the flock
#endif
    mNode = -1;
    mFile.reset();  // unlocks
#ifdef Q_OS_WIN
    if (mMachineLock) {
        ReleaseMutex(mMachineLock);
        CloseHandle(mMachineLock);
    }
#endif
    mMachineLock = nullptr;
}

QString ReaderLock::holderOf(const QString &path)
{
#ifdef Q_OS_LINUX
    struct stat node;
    if (::stat(QFile::encodeName(path).constData(), &node) == 0)
        return nodeHolder(node);
#endif
    qint64 pid = 0;
    QString host, program;
    const QString file = lockFilePath(path);
    QLockFile lock(file);
    if (lock.getLockInfo(&pid, &host, &program) && lockFileHeld(file, pid))
        return describe(pid, program);
#ifdef Q_OS_WIN
    if (machineLockHeld(path))
        return QStringLiteral("another user's process");
#endif
    return QString();
}

bool reader_accessible(const QString &path)
{
#ifdef Q_OS_LINUX
    // A path that names no node is for hidapi to judge.
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0 || errno == ENOENT;
#else
    Q_UNUSED(path);
    return true;
#endif
}

ReaderOpen open_locked_reader(ReaderLock &lock, const QString &path, QString *holder)
{
    const ReaderOpen locked = lock.acquire(path, holder);
    if (locked != ReaderOpen::Opened)
        return locked;
    if (reader_open(path.toLocal8Bit().constData()) != 0) {
        // The node opened a moment ago: hidapi's own open failed. No node:
        // the reader has gone since it was listed.
        const ReaderOpen failed = lock.onNode() ? ReaderOpen::CannotOpen : ReaderOpen::Gone;
        lock.release();
        return failed;
    }
    trace_reader(path);
    // The reader stays open even when it does not answer: the window keeps
    // it until a heartbeat fails, the command line gives up at once.
    return reader_cmd_connect() == 0 ? ReaderOpen::Opened : ReaderOpen::NoAnswer;
}

void close_locked_reader(ReaderLock &lock)
{
    reader_close();
    lock.release();
}
