// One window per program and user: a second start hands over to the window
// that runs already, which comes to the front, and ends. When that window
// does not answer, the operator is told which process it is and chooses.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &program, QObject *parent = nullptr);

    // True for the first instance, which then listens for later starts.
    // False when one runs already and this start is to end: it was asked to
    // come to the front, or the operator chose to quit.
    bool claim();

    // The window that later starts bring to the front.
    void setWindow(QWidget *window);

private:
    enum class HandOver { Answered, Retry, Quit, NotOurs };
    struct RunningInstance {
        qint64 pid;
        bool anotherUser;
    };

    bool tryClaim();
    HandOver handOver();
    RunningInstance runningInstance(const class QLocalSocket &socket) const;
    void bringToFront();

    QString mProgram;
    QPointer<QWidget> mWindow;
    std::unique_ptr<QLockFile> mLock;  // null when no folder of this user's own was found
    QLocalServer mServer;
    QString mServerName;
};
