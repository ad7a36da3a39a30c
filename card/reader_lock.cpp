#include "reader_lock.h"

#include "reader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace {

// Reader paths are long and full of separators on some systems: the file
// is named by a digest of the path.
QString lockFilePath(const QString &path)
{
    const QByteArray digest = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1);
    return QDir(runtime_dir()).filePath(QStringLiteral("quendel-reader-%1.lock")
                                                .arg(QString::fromLatin1(digest.toHex().left(16))));
}

QString describe(qint64 pid, const QString &program)
{
    return QStringLiteral("%1 (pid %2)").arg(program.isEmpty() ? QStringLiteral("?") : program).arg(pid);
}

bool processRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#else
    Q_UNUSED(pid);
    return true;
#endif
}

}  // namespace

QString runtime_dir()
{
#ifdef Q_OS_UNIX
    // Without XDG_RUNTIME_DIR (cron, su, a bare SSH login) Qt falls back to a
    // folder in /tmp with a warning on every start: the same, silently.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString fallback = QDir::temp().filePath(QStringLiteral("runtime-%1").arg(::getuid()));
        struct stat info;
        if ((::mkdir(QFile::encodeName(fallback).constData(), 0700) == 0 || errno == EEXIST)
                && ::lstat(QFile::encodeName(fallback).constData(), &info) == 0 && S_ISDIR(info.st_mode)
                && info.st_uid == ::getuid() && (info.st_mode & 0077) == 0)
            return fallback;
    }
#endif
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

bool ReaderLock::acquire(const QString &path, QString *holder)
{
    release();
    auto lock = std::make_unique<QLockFile>(lockFilePath(path));
    // Never stale by age: a batch may hold a reader for hours. A lock whose
    // process is gone is still taken over.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        mLock = std::move(lock);
        return true;
    }
    if (holder) {
        qint64 pid = 0;
        QString host, program;
        *holder = lock->getLockInfo(&pid, &host, &program) ? describe(pid, program)
                                                           : QStringLiteral("another process");
    }
    return false;
}

void ReaderLock::release()
{
    mLock.reset();  // unlocks
}

ReaderOpen open_locked_reader(ReaderLock &lock, const QString &path, QString *holder)
{
    if (!lock.acquire(path, holder))
        return ReaderOpen::InUse;
    if (reader_open(path.toLocal8Bit().constData()) != 0) {
        lock.release();
        return ReaderOpen::CannotOpen;
    }
    // The reader stays open even when it does not answer: the window keeps
    // it until a heartbeat fails, the command line gives up at once.
    return reader_cmd_connect() == 0 ? ReaderOpen::Opened : ReaderOpen::NoAnswer;
}

void close_locked_reader(ReaderLock &lock)
{
    reader_close();
    lock.release();
}

QString ReaderLock::holderOf(const QString &path)
{
    qint64 pid = 0;
    QString host, program;
    QLockFile lock(lockFilePath(path));
    if (!lock.getLockInfo(&pid, &host, &program) || !processRuns(pid))
        return QString();
    return describe(pid, program);
}
