// Preloaded into the unmodified QuendelWriteCard: connects to the test's
// local socket (QUENDEL_E2E_SOCKET) once the event loop runs, clicks buttons
// by object name, reports the window's state, and passes on every debug line,
// which still reaches stderr too. One JSON object per line each way.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocalSocket>
#include <QTimer>

namespace {

QLocalSocket *gSocket = nullptr;
QtMessageHandler gPrevious = nullptr;

void send(const QJsonObject &message)
{
    gSocket->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    gSocket->flush();
}

void passOn(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (gSocket && type == QtDebugMsg)
        send({{"log", text}});
    gPrevious(type, context, text);
}

template <class T>
T *widget(const QString &name)
{
    for (QWidget *w : QApplication::allWidgets()) {
        if (w->objectName() == name)
            return qobject_cast<T *>(w);
    }
    return nullptr;
}

QJsonObject windowState()
{
    QJsonObject state;
    for (const char *name : {"btnConnect", "btnDisconnect", "btnReadCard", "btnWriteCard"}) {
        if (auto *button = widget<QAbstractButton>(name))
            state[name] = button->isEnabled();
    }
    if (auto *lamp = widget<QLabel>("labelStatus"))
        state["lamp"] = lamp->styleSheet();
    if (auto *card = widget<QLabel>("lblCardId"))
        state["card"] = card->text();
    if (auto *tip = widget<QLabel>("lblTip")) {
        state["tip"] = tip->text();
        state["tipStyle"] = tip->styleSheet();
    }
    if (auto *ports = widget<QComboBox>("comPort")) {
        QJsonArray items;
        for (int i = 0; i < ports->count(); ++i)
            items.append(QJsonArray{ports->itemText(i), ports->itemData(i).toString()});
        state["ports"] = items;
    }
    return state;
}

void handle(const QByteArray &line)
{
    const QJsonObject command = QJsonDocument::fromJson(line).object();
    if (command["do"] == "click") {
        auto *button = widget<QAbstractButton>(command["name"].toString());
        const bool enabled = button && button->isEnabled();
        QElapsedTimer blocked;
        blocked.start();
        if (enabled)
            button->click();  // runs the slot to its end
        // The state as the slot left it, before any timer that came due meanwhile.
        send({{"clicked", enabled}, {"ms", double(blocked.elapsed())}, {"state", windowState()}});
    } else if (command["do"] == "state") {
        send({{"state", windowState()}});
    }
}

void connectToTest()
{
    const QString path = qEnvironmentVariable("QUENDEL_E2E_SOCKET");
    if (path.isEmpty())
        return;
    gSocket = new QLocalSocket(qApp);
    gSocket->connectToServer(path);
    if (!gSocket->waitForConnected(5000))
        qFatal("window driver: no test at %s", qPrintable(path));
    QObject::connect(gSocket, &QLocalSocket::readyRead, [] {
        while (gSocket->canReadLine())
            handle(gSocket->readLine());
    });
    QObject::connect(gSocket, &QLocalSocket::disconnected, qApp, &QCoreApplication::quit);
}

void start()
{
    gPrevious = qInstallMessageHandler(passOn);
    QTimer::singleShot(0, connectToTest);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
