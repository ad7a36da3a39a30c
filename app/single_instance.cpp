#include "single_instance.h"

#include "reader_lock.h"

#include <QDir>
#include <QLocalSocket>
#include <QThread>

namespace {

constexpr int kHandOverMs = 2000;

}  // namespace

// The lock decides who is first, so two starts at the same moment cannot
// both win; the socket only carries the request to come to the front.
SingleInstance::SingleInstance(const QString &program, QObject *parent)
    : QObject(parent),
      mLock(QDir(runtime_dir()).filePath(program + QStringLiteral(".lock"))),
      mServerName(QDir(runtime_dir()).filePath(program + QStringLiteral(".socket")))
{
    mLock.setStaleLockTime(0);
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
    if (mLock.tryLock(0)) {
        // A socket file left by a crashed instance would make listen() fail.
        QLocalServer::removeServer(mServerName);
        mServer.listen(mServerName);
        return true;
    }
    // The first instance may still be starting: give it a moment to listen.
    QLocalSocket socket;
    for (int waited = 0; waited < kHandOverMs; waited += 100) {
        socket.connectToServer(mServerName);
        if (socket.waitForConnected(100)) {
            socket.waitForDisconnected(kHandOverMs);
            break;
        }
        // Refused or not there yet: the connect fails at once.
        QThread::msleep(100);
    }
    return false;
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
