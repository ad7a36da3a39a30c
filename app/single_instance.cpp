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
#ifdef Q_OS_LINUX
    if (mServer.listen(mServerName))
        return true;
    if (mServer.serverError() != QAbstractSocket::AddressInUseError) {
        qWarning("cannot listen for later starts on %s: %s", qUtf8Printable(mServerName),
                 qUtf8Printable(mServer.errorString()));
        return true;
    }
#else
    if (mLock->tryLock(0)) {
        // A socket file left by a crashed instance would make listen() fail.
        QLocalServer::removeServer(mServerName);
        if (!mServer.listen(mServerName))
            qWarning("cannot listen for later starts on %s: %s", qUtf8Printable(mServerName),
                     qUtf8Printable(mServer.errorString()));
        return true;
    }
#endif
    handOver();
    return false;
}

// Asks the running instance to come to the front. It answers by closing the
// connection; one that does not within two seconds (hung, stopped) is named
// to the operator, who waits for it again or quits.
void SingleInstance::handOver()
{
    for (;;) {
        QLocalSocket socket;
#ifdef Q_OS_LINUX
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
        bool answered = false;
        // The first instance may still be starting: give it a moment to listen.
        for (int waited = 0; waited < kHandOverMs; waited += 100) {
            socket.connectToServer(mServerName);
            if (socket.waitForConnected(100)) {
                answered = socket.waitForDisconnected(kHandOverMs);
                break;
            }
            // Refused or not there yet: the connect fails at once.
            QThread::msleep(100);
        }
        if (answered)
            return;
        const qint64 pid = runningPid(socket);
        QMessageBox box(QMessageBox::Warning, QStringLiteral("QuendelWriteCard"),
                        QStringLiteral("写卡器程序已在运行（pid %1），但没有响应。\n"
                                       "等它恢复后按“重试”，或者按“退出”。")
                                .arg(pid > 0 ? QString::number(pid) : QStringLiteral("?")));
        QPushButton *retry = box.addButton(QStringLiteral("重试"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("退出"), QMessageBox::RejectRole);
        box.exec();
        if (box.clickedButton() != retry)
            return;
    }
}

// The process of the running instance, or 0 where it cannot be told.
qint64 SingleInstance::runningPid(const QLocalSocket &socket) const
{
#ifdef Q_OS_LINUX
    struct ucred peer = {};
    socklen_t size = sizeof peer;
    if (socket.state() == QLocalSocket::ConnectedState
            && ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        return peer.pid;
    return 0;
#else
    Q_UNUSED(socket);
    qint64 pid = 0;
    QString host, program;
    return mLock->getLockInfo(&pid, &host, &program) ? pid : 0;
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
