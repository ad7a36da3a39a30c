// One window per program and user: a second start hands over to the window
// that runs already, which comes to the front, and ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &program, QObject *parent = nullptr);

    // True for the first instance, which then listens for later starts.
    // False when one runs already; it has been asked to come to the front.
    bool claim();

    // The window that later starts bring to the front.
    void setWindow(QWidget *window);

private:
    void bringToFront();

    QPointer<QWidget> mWindow;
    QLockFile mLock;
    QLocalServer mServer;
    QString mServerName;
};
