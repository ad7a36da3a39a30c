// One reader, one user at a time, between two processes on the virtual
// reader: while a window (this program, started again in a holder role) is
// connected, another window and quendel-card are refused and name it; once
// it is killed, its lock is taken over. That the holder's own transactions
// go on undisturbed shows only on a shared device: the end-to-end tests.
#include "quendel_card.h"
#include "reader_lock.h"
#include "user_data_folder.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QApplication>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <cstring>
#include <iostream>

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-shared";

// quendel-card's exit status; its output and messages in `out`.
int quendelCard(const QStringList &args, QString *out)
{
    QTextStream stream(out);
    return run_quendel_card(QStringList{"quendel-card"} + args, stream, stream);
}

// A scan, then "连接".
bool connectWindow(Widget &window)
{
    QMetaObject::invokeMethod(&window, "do_mScanDeviceTmr_timeout");
    window.findChild<QPushButton *>("btnConnect")->click();
    return window.findChild<QPushButton *>("btnDisconnect")->isEnabled();
}

// Holder role: the window connected to the reader, until killed; with
// `elsewhere`, as another user's would, with a data folder of its own.
int hold(bool elsewhere)
{
    QStandardPaths::setTestModeEnabled(elsewhere);
    vr::plug({kPath, {}, L"Card Reader", {}});
    Widget window;
    std::cout << (connectWindow(window) ? "held" : "not connected") << std::endl;
    for (;;)
        QThread::sleep(1);
}

}  // namespace

class TestReaderLock : public QObject
{
    Q_OBJECT

private slots:
    void heldReader_refusedUntilTheHolderDies()
    {
        // Lock files that killed holders left (Windows shares the folder
        // between the suites); one that is held cannot be removed there.
        QDir locks(userDataFolder(), "quendel-reader-*.lock");
        for (const QString &stale : locks.entryList())
            locks.remove(stale);
        QProcess holder;  // killed, if still running, when the test ends
        // Its messages to the log: on Windows, data on either channel ends a
        // wait for stdout.
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        holder.start(QCoreApplication::applicationFilePath(), {"--hold"});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
        locks.refresh();
        QCOMPARE(locks.entryList().size(), 1);
        const QString holderName = QStringLiteral("tst_reader_lock (pid %1)").arg(holder.processId());

        // The window treats a held reader like one that cannot be opened, and
        // tells only the debug log who holds it.
        vr::Reader &reader = vr::plug({kPath, {}, L"Card Reader", {}});
        reader.layCard(vr::Card::blank({0x1A, 0x2B, 0x3C, 0x4D}));
        Widget window;
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QString("reader %1 is in use by %2").arg(kPath, holderName)));
        QVERIFY(!connectWindow(window));

        QString output;
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitReaderInUse));
        QVERIFY2(output.contains(holderName), qPrintable(output));
        QVERIFY(reader.received().empty());

        holder.kill();  // its lock stays behind
        QVERIFY(holder.waitForFinished());
        QVERIFY(ReaderLock::holderOf(kPath).isEmpty());
#ifdef Q_OS_WIN
        // Still free when this process has been given the dead holder's pid.
        QFile left(locks.filePath(locks.entryList().value(0)));
        QVERIFY(left.open(QIODevice::ReadWrite));
        QByteArray info = left.readAll();
        info.replace(0, info.indexOf('\n'), QByteArray::number(QCoreApplication::applicationPid()));
        QVERIFY(left.resize(0) && left.write(info) == info.size());
        left.close();
        QVERIFY(ReaderLock::holderOf(kPath).isEmpty());
        // Another user's holder, its lock file in its own folder: the reader
        // is the machine's, and free again once that holder is killed.
        QProcess other;
        other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        other.start(QCoreApplication::applicationFilePath(), {"--hold-elsewhere"});
        QVERIFY(other.waitForReadyRead(10000));
        QCOMPARE(other.readLine().trimmed(), QByteArray("held"));
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitReaderInUse));
        QCOMPARE(quendelCard({"list"}, &output), int(kExitOk));
        QVERIFY2(output.contains("in use by another user's process\n")
                         && output.contains("in use by: another user's process\n"), qPrintable(output));
        other.kill();
        QVERIFY(other.waitForFinished());
#endif
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitOk));
        QVERIFY(connectWindow(window));  // quendel-card let go at its end
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && strncmp(argv[1], "--hold", 6) == 0)
        return hold(strcmp(argv[1], "--hold-elsewhere") == 0);
    TestReaderLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reader_lock.moc"
