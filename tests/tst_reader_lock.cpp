// One reader, one user at a time, between two processes on the virtual
// reader: while a window (this program, started again in a holder role) is
// connected, another window and quendel-card are refused and name it; once
// it is killed, its lock is taken over. That the holder's own transactions
// go on undisturbed shows only on a shared device: the end-to-end tests.
// And one window per user, a later start meeting the first in that role.
#include "quendel_card.h"
#include "reader_lock.h"
#include "single_instance.h"
#include "user_data_folder.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <cstring>
#include <iostream>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-shared";
const QString kInstance = QStringLiteral("tst_single_instance");

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

// The first start of a program: it answers later starts, or (`hung`)
// holds its place and never answers, as a window stopped or hung would.
int claimFirst(bool hung)
{
    SingleInstance first(kInstance);
    std::cout << (first.claim() ? "claimed" : "not first") << std::endl;
    while (hung)
        QThread::sleep(1);
    return QApplication::exec();
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
        // The machine's lock named by another kind of object: told as what it is.
        const QString name = "Global\\quendel-reader-" + QCryptographicHash::hash(kPath, QCryptographicHash::Sha1).toHex().left(16);
        const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, reinterpret_cast<const wchar_t *>(name.utf16()));
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitJournal));
        QVERIFY2(output.contains("cannot take the machine's lock " + name), qPrintable(output));
        CloseHandle(event);
#endif
        QCOMPARE(quendelCard({"read", "--reader", kPath}, &output), int(kExitOk));
        QVERIFY(connectWindow(window));  // quendel-card let go at its end
    }

    // A later start hands over to the first, which the system shows to run
    // as this user, and ends. To a first that never answers, it names it,
    // and ends at "退出". A link in place of the first's socket is not
    // followed, even to a socket of this user's: this start runs.
    void secondStart_handsOverOrNamesTheFirst()
    {
        QString message;
        QTimer quit;
        connect(&quit, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                message = box->text();
                box->buttons().constLast()->click();
            }
        });
        quit.start(100);
        for (const char *role : {"--first", "--first-hung", "--first-hung-behind-a-link"}) {
            QProcess first;  // killed, if still running, when the test ends
            first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            first.start(QCoreApplication::applicationFilePath(), {QString(role).left(12)});
            QVERIFY(first.waitForReadyRead(10000));
            QCOMPARE(first.readLine().trimmed(), QByteArray("claimed"));
            const bool behindALink = QByteArray(role).endsWith("link");
#ifdef Q_OS_WIN
            if (behindALink)
                continue;  // a named pipe is no file
#else
            const QString socket = QString("%1/quendel-writecard-%2/%3.socket").arg(QDir::tempPath()).arg(::geteuid()).arg(kInstance);
            QFile::remove(socket + ".moved");
            QVERIFY(!behindALink || (QFile::rename(socket, socket + ".moved") && QFile::link(socket + ".moved", socket)));
#endif
            message.clear();
            QCOMPARE(SingleInstance(kInstance).claim(), behindALink);
            QCOMPARE(message.contains(QString("（pid %1）").arg(first.processId())), QByteArray(role) == "--first-hung");
            first.kill();
            first.waitForFinished();
        }
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && strncmp(argv[1], "--hold", 6) == 0)
        return hold(strcmp(argv[1], "--hold-elsewhere") == 0);
    if (argc == 2 && strncmp(argv[1], "--first", 7) == 0)
        return claimFirst(strcmp(argv[1], "--first-hung") == 0);
    TestReaderLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reader_lock.moc"
