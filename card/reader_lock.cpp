#include "reader_lock.h"

#include "file_io.h"
#include "frame_trace.h"
#include "reader.h"
#include "reader_lock_os.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

namespace {

QString lockFilePath(const QString &path)
{
    return QDir(lock_dir()).filePath(lock_name(path) + QStringLiteral(".lock"));
}

}  // namespace

// Reader paths are long and full of separators on some systems: a lock is
// named by a digest of the path.
QString lock_name(const QString &path)
{
    const QByteArray digest = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1);
    return QStringLiteral("quendel-reader-%1").arg(QString::fromLatin1(digest.toHex().left(16)));
}

QString describe_holder(qint64 pid, const QString &program)
{
    return QStringLiteral("%1 (pid %2)").arg(program.isEmpty() ? QStringLiteral("?") : program).arg(pid);
}

QString lock_dir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("quendel-writecard"));
}

ReaderLock::~ReaderLock()
{
    release();
}

ReaderOpen ReaderLock::acquireFile(const QString &path, QString *detail)
{
    QDir().mkpath(lock_dir());
    const QString file = lockFilePath(path);
    if (const QString problem = file_io::foreignFile(file); !problem.isEmpty()) {
        if (detail)
            *detail = QStringLiteral("%1 %2: remove it").arg(file, problem);
        return ReaderOpen::LockFailed;
    }
    auto lock = std::make_unique<QLockFile>(file);
    // Never stale by age: a batch may hold a reader for hours. A lock whose
    // process is gone is still taken over.
    lock->setStaleLockTime(0);
    if (try_lock_file(*lock)) {
        mFile = std::move(lock);
        return ReaderOpen::Opened;
    }
    // A lock file that cannot be made says nothing of the reader.
    if (lock->error() != QLockFile::LockFailedError) {
        if (detail)
            *detail = QStringLiteral("cannot make %1").arg(file);
        return ReaderOpen::LockFailed;
    }
    if (detail) {
        qint64 pid = 0;
        QString host, program;
        *detail = lock->getLockInfo(&pid, &host, &program) ? describe_holder(pid, program)
                                                           : QStringLiteral("another process");
    }
    return ReaderOpen::InUse;
}

QString lock_file_holder(const QString &path)
{
    qint64 pid = 0;
    QString host, program;
    const QString file = lockFilePath(path);
    QLockFile lock(file);
    if (file_io::foreignFile(file).isEmpty() && lock.getLockInfo(&pid, &host, &program) && lock_file_held(file, pid))
        return describe_holder(pid, program);
    return QString();
}

ReaderOpen open_locked_reader(ReaderLock &lock, const QString &path, QString *detail)
{
    const ReaderOpen locked = lock.acquire(path, detail);
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
