// One reader, one user at a time: a reader that another process holds is
// refused by the window and by quendel-card, its holder named and left
// undisturbed, and the lock of a process that died is taken over. The other processes are this program, started
// again in a holder role.
#include "quendel_card.h"
#include "reader.h"
#include "reader_lock.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-shared";

QStringList debugLines;

// quendel-card's exit status; its output and messages in `out`.
int quendelCard(const QStringList &args, QString *out)
{
    QTextStream stream(out);
    return run_quendel_card(QStringList{"quendel-card"} + args, stream, stream);
}

bool connected(Widget &window)
{
    return window.findChild<QPushButton *>("btnDisconnect")->isEnabled();
}

bool connectWindow(Widget &window)
{
    QMetaObject::invokeMethod(&window, "do_mScanDeviceTmr_timeout");
    window.findChild<QPushButton *>("btnConnect")->click();
    return connected(window);
}

// Holder role: the window connected to the reader, then, once told to go on,
// five heartbeats. Exits with the number of heartbeats that failed.
int holdWithWindow()
{
    vr::plug({kPath, {}, L"Card Reader", {}});
    Widget window;
    if (!connectWindow(window))
        return 100;
    std::cout << "held" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    int failed = 0;
    for (int tick = 0; tick < 5; tick++) {
        const int writes = vr::calls().write;
        QMetaObject::invokeMethod(&window, "do_mScanDeviceTmr_timeout");
        failed += !connected(window) || vr::calls().write != writes + 1;
    }
    return failed;
}

// Holder role: the lock alone, until killed.
int holdLockUntilKilled()
{
    ReaderLock lock;
    if (!lock.acquire(kPath, nullptr))
        return 100;
    std::cout << "held" << std::endl;
    for (;;)
        QThread::sleep(1);
}

}  // namespace

class TestReaderLock : public QObject
{
    Q_OBJECT

    QProcess holder;

    void startHolder(const char *role)
    {
        holder.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(role)});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
    }

    QString holderName() const
    {
        return QStringLiteral("tst_reader_lock (pid %1)").arg(holder.processId());
    }

private slots:
    void cleanup()
    {
        holder.kill();
        holder.waitForFinished();
        reader_close();
        vr::unplugAll();
    }

    // The window treats a held reader like one that cannot be opened, and
    // tells only the debug log who holds it; after the holder lets go it
    // connects.
    void heldReader_refusedAndHolderUndisturbed()
    {
        startHolder("--hold-with-window");
        QCOMPARE(ReaderLock::holderOf(kPath), holderName());

        vr::Reader &reader = vr::plug({kPath, {}, L"Card Reader", {}});
        Widget window;
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
                [](QtMsgType type, const QMessageLogContext &, const QString &message) {
                    if (type == QtDebugMsg && !message.startsWith("QMap"))
                        debugLines << message;
                });
        QVERIFY(!connectWindow(window));
        qInstallMessageHandler(previous);
        QCOMPARE(debugLines, QStringList{QStringLiteral("reader %1 is in use by %2").arg(kPath, holderName())});

        reader.layCard(vr::Card::blank({0x1A, 0x2B, 0x3C, 0x4D}));
        QString output;
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitReaderInUse));
        QVERIFY2(output.contains(holderName()), qPrintable(output));
        output.clear();
        QCOMPARE(quendelCard({"--json", "list"}, &output), int(kExitOk));
        const QJsonObject listed = QJsonDocument::fromJson(output.toUtf8()).array().at(0).toObject();
        QCOMPARE(listed["in_use_by"].toString(), holderName());
        QVERIFY(reader.received().empty());

        holder.write("go on\n");
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitCode(), 0);
        QVERIFY(ReaderLock::holderOf(kPath).isEmpty());
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitOk));
        QVERIFY(connectWindow(window));
    }

    void staleLock_takenOver()
    {
        startHolder("--hold-lock");
        ReaderLock lock;
        QString name;
        QVERIFY(!lock.acquire(kPath, &name));
        QCOMPARE(name, holderName());
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(ReaderLock::holderOf(kPath).isEmpty());
        QVERIFY(lock.acquire(kPath, nullptr));
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && strcmp(argv[1], "--hold-with-window") == 0)
        return holdWithWindow();
    if (argc == 2 && strcmp(argv[1], "--hold-lock") == 0)
        return holdLockUntilKilled();
    TestReaderLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reader_lock.moc"
