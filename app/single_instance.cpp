#include "single_instance.h"

#include "file_io.h"
#include "reader_lock.h"
#include "single_instance_os.h"

#include <QDir>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace {

constexpr int kHandOverMs = 2000;

}  // namespace

// A lock file decides who is first, so that two starts at the same moment
// cannot both win; the first then listens on a socket beside it for later
// starts, which ask it to come to the front.
SingleInstance::SingleInstance(const QString &program, QObject *parent)
    : QObject(parent), mProgram(program)
{
    const QString folder = single_instance_os::rendezvousFolder();
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
    // Nothing in the folder but this user's own, should another (root) have
    // put something there.
    if (const QString problem = file_io::foreignFile(mLock->fileName()); !problem.isEmpty()) {
        qWarning("%s %s; running without hand-over", qUtf8Printable(mLock->fileName()), qUtf8Printable(problem));
        return true;
    }
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
    if (const QString problem = single_instance_os::foreignSocket(mServerName); !problem.isEmpty()) {
        qWarning("%s %s; running without hand-over", qUtf8Printable(mServerName), qUtf8Printable(problem));
        return HandOver::NotOurs;
    }
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
    // Nobody but this user (and root) may make a socket in its folder:
    // another user's there means the folder was swapped after it was
    // checked. A named pipe, in no folder, anyone may make first.
    if (connected && running.anotherUser) {
        qWarning("%s is held by another user's process (pid %lld); running without hand-over",
                 qUtf8Printable(mServerName), running.pid);
        return HandOver::NotOurs;
    }
    if (connected && socket.waitForDisconnected(kHandOverMs))
        return HandOver::Answered;
    QMessageBox box(QMessageBox::Warning, mProgram,
                    QStringLiteral("写卡器程序已在运行（pid %1），但没有响应。\n"
                                   "等它恢复后按“重试”，或者按“退出”。")
                            .arg(running.pid > 0 ? QString::number(running.pid) : QStringLiteral("?")));
    QPushButton *retry = box.addButton(QStringLiteral("重试"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("退出"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == retry ? HandOver::Retry : HandOver::Quit;
}

// The process of the running instance, -1 where that cannot be told, and
// whether another user runs it. The process that listens where one does,
// else the lock's holder.
SingleInstance::RunningInstance SingleInstance::runningInstance(const QLocalSocket &socket) const
{
    qint64 pid = 0;
    bool anotherUser = false;
    if (socket.state() == QLocalSocket::ConnectedState) {
        single_instance_os::peer(socket.socketDescriptor(), &pid, &anotherUser);
        return {pid, anotherUser};
    }
    QString host, program;
    return {mLock->getLockInfo(&pid, &host, &program) ? pid : -1, false};
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
