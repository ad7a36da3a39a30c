// Preloaded into the unmodified QuendelWriteCard or QuendelBatch: connects
// to the test's local socket (QUENDEL_E2E_SOCKET) as the application starts,
// clicks buttons by object name or tells where one is on the screen, and
// answers with the window's state and the debug lines logged since, which
// still reach stderr too. One JSON object per line each way.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTableWidget>

#include <algorithm>

namespace {

QLocalSocket *gSocket = nullptr;
QtMessageHandler gPrevious = nullptr;
QJsonArray gLog;  // the debug lines since the last answer

// The state the test reads: its key, the widget's object name, the property.
const char *const kState[][3] = {
    {"btnConnect", "btnConnect", "enabled"}, {"btnDisconnect", "btnDisconnect", "enabled"},
    {"btnReadCard", "btnReadCard", "enabled"}, {"btnWriteCard", "btnWriteCard", "enabled"},
    {"lamp", "labelStatus", "styleSheet"}, {"card", "lblCardId", "text"}, {"tip", "lblTip", "text"},
    {"btnStart", "btnStart", "enabled"}, {"btnStop", "btnStop", "enabled"}, {"prompt", "lblPrompt", "text"},
    {"counts", "lblPrepared", "text"}, {"failed", "lblFailed", "text"}, {"total", "lblTotal", "text"},
};

// Kept for the next answer.
void passOn(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg)
        gLog.append(text);
    gPrevious(type, context, text);
}

QWidget *widget(const QString &name)
{
    const QWidgetList all = QApplication::allWidgets();
    const auto found = std::find_if(all.begin(), all.end(), [&](QWidget *w) { return w->objectName() == name; });
    return found == all.end() ? nullptr : *found;
}

QJsonObject windowState()
{
    QJsonObject state;
    for (const auto &[key, name, property] : kState) {
        if (QWidget *w = widget(name))
            state[key] = QJsonValue::fromVariant(w->property(property));
    }
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
        state["message"] = box->text();
    if (auto *ports = qobject_cast<QComboBox *>(widget("comPort"))) {
        QJsonArray items;
        for (int i = 0; i < ports->count(); ++i)
            items.append(QJsonArray{ports->itemText(i), ports->itemData(i).toString()});
        state["ports"] = items;
    }
    if (auto *table = qobject_cast<QTableWidget *>(widget("tableCards"))) {
        QJsonArray rows;
        for (int row = 0; row < table->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < table->columnCount(); ++column)
                cells << (column == 1 ? QStringLiteral("T") : table->item(row, column)->text());
            rows.append(cells.join(' ').trimmed());
        }
        state["rows"] = rows;
    }
    return state;
}

// Clicks the button a line names, if it is enabled, and answers with the state
// as the slot left it, before any timer that came due meanwhile, and in "ms"
// how long the slot blocked the window (-1: no click). A line naming no
// button asks for the state alone; one naming a widget "where", for the
// screen position of its centre, where a person would click it.
void handle(const QByteArray &line)
{
    const QString name = QJsonDocument::fromJson(line)["click"].toString();
    const QString where = QJsonDocument::fromJson(line)["where"].toString();
    if (QWidget *shown = where.isEmpty() ? nullptr : widget(where)) {
        const QPoint center = shown->mapToGlobal(shown->rect().center());
        gSocket->write(QJsonDocument(QJsonObject{{"x", center.x()}, {"y", center.y()}}).toJson(QJsonDocument::Compact) + '\n');
        gSocket->flush();
        return;
    }
    auto *button = name.isEmpty() ? nullptr : qobject_cast<QAbstractButton *>(widget(name));
    const bool enabled = button && button->isEnabled();
    QElapsedTimer blocked;
    blocked.start();
    if (enabled)
        button->click();  // runs the slot to its end
    QJsonObject state = windowState();
    state["ms"] = enabled ? double(blocked.elapsed()) : -1.0;
    state["log"] = gLog;
    gLog = {};
    gSocket->write(QJsonDocument(state).toJson(QJsonDocument::Compact) + '\n');
    gSocket->flush();
}

// Runs in the application's constructor; the lines the test sends are
// handled once the event loop runs, with the window in place.
void start()
{
    gSocket = new QLocalSocket(qApp);
    gSocket->connectToServer(qEnvironmentVariable("QUENDEL_E2E_SOCKET"));
    if (!gSocket->waitForConnected(5000))
        qFatal("window driver: no test at %s", qPrintable(gSocket->serverName()));
    QObject::connect(gSocket, &QLocalSocket::readyRead, [] {
        while (gSocket->canReadLine())
            handle(gSocket->readLine());
    });
    QObject::connect(gSocket, &QLocalSocket::disconnected, qApp, &QCoreApplication::quit);
    gPrevious = qInstallMessageHandler(passOn);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
