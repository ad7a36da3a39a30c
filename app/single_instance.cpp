#include "single_instance.h"

#include "reader_lock.h"

#include <QDir>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr int kHandOverMs = 2000;

}  // namespace

// On Linux the socket decides who is first: its name is in the abstract
// namespace, per user, so that binding it is the claim, the kernel frees it
// when the process ends, and no folder or session variable is involved.
// Elsewhere a lock file decides and the socket only carries the request to
// come to the front. Either way two starts at the same moment cannot both win.
SingleInstance::SingleInstance(const QString &program, QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    mServerName = QStringLiteral("%1-%2").arg(program).arg(::getuid());
    mServer.setSocketOptions(QLocalServer::AbstractNamespaceOption);
#else
    QDir().mkpath(lock_dir());
    mLock = std::make_unique<QLockFile>(QDir(lock_dir()).filePath(program + QStringLiteral(".lock")));
    mLock->setStaleLockTime(0);
    mServerName = QDir(lock_dir()).filePath(program + QStringLiteral(".socket"));
#endif
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
#ifdef Q_OS_LINUX
    if (mServer.listen(mServerName))
        return true;
    if (mServer.serverError() == QAbstractSocket::AddressInUseError)
        return false;
#else
    if (!try_lock_file(*mLock) && mLock->error() == QLockFile::LockFailedError)
        return false;
    // A socket file left by a crashed instance would make listen() fail.
    QLocalServer::removeServer(mServerName);
    if (mLock->error() == QLockFile::NoError && mServer.listen(mServerName))
        return true;
#endif
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
#ifdef Q_OS_LINUX
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
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
    // Anyone may bind a name in the abstract namespace: only our own user's
    // window is handed over to.
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

// The process of the running instance and its user; -1 where that cannot be told.
SingleInstance::RunningInstance SingleInstance::runningInstance(const QLocalSocket &socket) const
{
#ifdef Q_OS_LINUX
    struct ucred peer = {};
    socklen_t size = sizeof peer;
    if (socket.state() == QLocalSocket::ConnectedState
            && ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        return {peer.pid, static_cast<qint64>(peer.uid)};
    return {-1, -1};
#else
    Q_UNUSED(socket);
    qint64 pid = 0;
    QString host, program;
    return {mLock->getLockInfo(&pid, &host, &program) ? pid : -1, -1};
#endif
}

qint64 SingleInstance::currentUser()
{
#ifdef Q_OS_LINUX
    return ::getuid();
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
