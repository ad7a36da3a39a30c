#include "reader_lock.h"

#include "frame_trace.h"
#include "reader.h"
#include "reader_lock_os.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

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

}  // namespace

QString describe_holder(qint64 pid, const QString &program)
{
    return QStringLiteral("%1 (pid %2)").arg(program.isEmpty() ? QStringLiteral("?") : program).arg(pid);
}

QString lock_dir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("quendel-writecard"));
}

bool try_lock_file(QLockFile &lock)
{
    return lock.tryLock(0) || reader_lock_os::takeOverLockFile(lock);
}

ReaderLock::~ReaderLock()
{
    release();
}

ReaderOpen ReaderLock::acquire(const QString &path, QString *holder)
{
    release();
    ReaderOpen onNode;
    if (reader_lock_os::lockNode(path, &mNode, holder, &onNode))
        return onNode;
    return acquireFile(path, holder);
}

ReaderOpen ReaderLock::acquireFile(const QString &path, QString *holder)
{
    QDir().mkpath(lock_dir());
    auto lock = std::make_unique<QLockFile>(lockFilePath(path));
    // Never stale by age: a batch may hold a reader for hours. A lock whose
    // process is gone is still taken over.
    lock->setStaleLockTime(0);
    if (try_lock_file(*lock)) {
        if (!reader_lock_os::takeMachineLock(lockName(path), &mMachineLock)) {
            if (holder)
                *holder = QStringLiteral("another user's process");
            return ReaderOpen::InUse;
        }
        mFile = std::move(lock);
        return ReaderOpen::Opened;
    }
    // A lock file that cannot be made says nothing of the reader.
    if (lock->error() != QLockFile::LockFailedError)
        return ReaderOpen::CannotOpen;
    if (holder) {
        qint64 pid = 0;
        QString host, program;
        *holder = lock->getLockInfo(&pid, &host, &program) ? describe_holder(pid, program)
                                                           : QStringLiteral("another process");
    }
    return ReaderOpen::InUse;
}

void ReaderLock::release()
{
    if (mNode >= 0)
        reader_lock_os::unlockNode(mNode);
    mNode = -1;
    mFile.reset();  // unlocks
    reader_lock_os::releaseMachineLock(mMachineLock);
    mMachineLock = nullptr;
}

QString ReaderLock::holderOf(const QString &path)
{
    QString holder;
    if (reader_lock_os::nodeHolder(path, &holder))
        return holder;
    qint64 pid = 0;
    QString host, program;
    const QString file = lockFilePath(path);
    QLockFile lock(file);
    if (lock.getLockInfo(&pid, &host, &program) && reader_lock_os::lockFileHeld(file, pid))
        return describe_holder(pid, program);
    if (reader_lock_os::machineLockHeld(lockName(path)))
        return QStringLiteral("another user's process");
    return QString();
}

bool reader_accessible(const QString &path)
{
    return reader_lock_os::accessible(path);
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
