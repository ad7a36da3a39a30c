#include "single_instance.h"

#include "reader_lock.h"

#include <QDir>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

constexpr int kHandOverMs = 2000;

#ifdef Q_OS_LINUX
// Made when missing. Another user may have made it first in the shared
// temporary folder, or may enter it: whoever can write there could hold the
// lock for ever or answer in the window's place. So it is used only when it
// is a real folder of this user's that nobody else may enter.
bool isPrivateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
            && (info.st_mode & 077) == 0;
}
#endif

// The folder of the lock and the socket; empty when there is none that is
// this user's alone. On Linux one in the temporary folder: on this machine
// even where the home folder is shared over the network, and there whatever
// the session, without XDG_RUNTIME_DIR. Another user who took its name
// first cannot take the one in the user's data folder too.
QString rendezvousFolder()
{
#ifdef Q_OS_LINUX
    const QString temporary = QDir::tempPath() + QStringLiteral("/quendel-writecard-%1").arg(::geteuid());
    const QString data = QDir(lock_dir()).filePath(QStringLiteral("instance"));
    if (isPrivateFolder(temporary))
        return temporary;
    if (QDir().mkpath(lock_dir()) && isPrivateFolder(data))
        return data;
    qWarning("neither %s nor %s is a folder of this user's alone; running without hand-over",
             qUtf8Printable(temporary), qUtf8Printable(data));
    return {};
#else
    QDir().mkpath(lock_dir());
    return lock_dir();
#endif
}

}  // namespace

// A lock file decides who is first, so that two starts at the same moment
// cannot both win; the first then listens on a socket beside it for later
// starts, which ask it to come to the front.
SingleInstance::SingleInstance(const QString &program, QObject *parent)
    : QObject(parent)
{
    const QString folder = rendezvousFolder();
    if (!folder.isEmpty()) {
        mLock = std::make_unique<QLockFile>(QDir(folder).filePath(program + QStringLiteral(".lock")));
        mLock->setStaleLockTime(0);
        mServerName = QDir(folder).filePath(program + QStringLiteral(".socket"));
    }
    connect(&mServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = mServer.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            bringToFront();
        }
    });
}

bool SingleInstance::claim()
{
    for (;;) {
        if (tryClaim())
            return true;
        switch (handOver()) {
        case HandOver::Answered:
        case HandOver::Quit:
            return false;
        case HandOver::NotOurs:
            return true;
        case HandOver::Retry:
            break;  // the running one may have ended meanwhile
        }
    }
}

// True when this start is the first, or cannot tell (then it runs, with no
// hand-over, rather than not at all).
bool SingleInstance::tryClaim()
{
    if (!mLock)
        return true;
    if (!try_lock_file(*mLock) && mLock->error() == QLockFile::LockFailedError)
        return false;
    // A socket file left by a crashed instance would make listen() fail.
    QLocalServer::removeServer(mServerName);
    if (mLock->error() == QLockFile::NoError && mServer.listen(mServerName))
        return true;
    qWarning("cannot listen for later starts on %s: %s", qUtf8Printable(mServerName),
             qUtf8Printable(mServer.errorString()));
    return true;
}

// Asks the running instance to come to the front. It answers by closing the
// connection; one that does not within two seconds (hung, stopped) is named
// to the operator, who waits for it again or quits.
SingleInstance::HandOver SingleInstance::handOver()
{
    QLocalSocket socket;
    // The first instance may still be starting: give it a moment to listen.
    for (int waited = 0; waited < kHandOverMs; waited += 100) {
        socket.connectToServer(mServerName);
        if (socket.waitForConnected(100))
            break;
        // Refused or not there yet: the connect fails at once.
        QThread::msleep(100);
    }
    const bool connected = socket.state() == QLocalSocket::ConnectedState;
    const RunningInstance running = runningInstance(socket);
    // Nobody but this user (and root) may listen in its folder: another
    // user's socket there means the folder was swapped after it was checked.
    if (connected && running.uid >= 0 && running.uid != currentUser()) {
        qWarning("%s is held by another user's process (pid %lld); running without hand-over",
                 qUtf8Printable(mServerName), running.pid);
        return HandOver::NotOurs;
    }
    if (connected && socket.waitForDisconnected(kHandOverMs))
        return HandOver::Answered;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("QuendelWriteCard"),
                    QStringLiteral("写卡器程序已在运行（pid %1），但没有响应。\n"
                                   "等它恢复后按“重试”，或者按“退出”。")
                            .arg(running.pid > 0 ? QString::number(running.pid) : QStringLiteral("?")));
    QPushButton *retry = box.addButton(QStringLiteral("重试"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("退出"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == retry ? HandOver::Retry : HandOver::Quit;
}

// The process of the running instance and its user; -1 where that cannot be
// told. The process that listens where one does, else the lock's holder.
SingleInstance::RunningInstance SingleInstance::runningInstance(const QLocalSocket &socket) const
{
#ifdef Q_OS_LINUX
    struct ucred peer = {};
    socklen_t size = sizeof peer;
    if (socket.state() == QLocalSocket::ConnectedState
            && ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        return {peer.pid, static_cast<qint64>(peer.uid)};
#else
    Q_UNUSED(socket);
#endif
    qint64 pid = 0;
    QString host, program;
    return {mLock->getLockInfo(&pid, &host, &program) ? pid : -1, -1};
}

// Effective, as the owner of the folder and the credentials of a socket are.
qint64 SingleInstance::currentUser()
{
#ifdef Q_OS_LINUX
    return ::geteuid();
#else
    return -1;
#endif
}

void SingleInstance::setWindow(QWidget *window)
{
    mWindow = window;
}

void SingleInstance::bringToFront()
{
    if (!mWindow)
        return;
    mWindow->setWindowState(mWindow->windowState() & ~Qt::WindowMinimized);
    mWindow->show();
    mWindow->raise();
    mWindow->activateWindow();
}
