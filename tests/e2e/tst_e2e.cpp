// The programs as built, unmodified and on the system hidapi, against a reader
// on an emulated /dev/hidraw0 (reader_node.h): libudev's enumeration, the
// node's open, ioctl, poll, read and write, real 1000 ms time-outs, and a
// reader that is unplugged. The window is driven through the preloaded
// window driver. Exits 77 where umockdev cannot run.
#include "reader_node.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace vr = virtual_reader;

namespace {

const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const vr::Uid kSecondUid = {0x55, 0x66, 0x77, 0x88};
const char kGreenLamp[] = "border-image: url(:/images/green.png);";
const char kRedLamp[] = "border-image: url(:/images/red.png);";
const char kMapLine[] = R"(QMap(("Arvesto Card Reader0", "/dev/hidraw0")))";
const vr::Report kConnect{0x01, 0xD1, 0x01, 0x00, 0x51, 0xD2}, kHeartbeat{0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2};

std::vector<vr::Report> received(ReaderNode &node)
{
    return node.with([](vr::Reader &reader) { return reader.received(); });
}

bool prepared(ReaderNode &node)
{
    return node.with([](vr::Reader &reader) {
        const vr::Card *card = reader.card();
        const vr::Block block = card ? card->raw(56) : vr::Block{};
        return card && std::equal(card->uid().begin(), card->uid().end(), block.begin())
                && card->keyA(14) == vr::kSiteKey && card->keyB(14) == vr::kSiteKey;
    });
}

struct Run { int exitCode; QString out, err; };

}  // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<ReaderNode> node;
    std::unique_ptr<QTemporaryDir> runtimeDir;  // the programs' locks, per test
    std::unique_ptr<QProcess> app;
    std::unique_ptr<QLocalServer> server;
    QLocalSocket *driver = nullptr;
    QStringList log;  // the window's debug lines

    QProcessEnvironment environment(const std::string &preload = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : node->environment(preload))
            env.insert(QString::fromStdString(name), QString::fromStdString(value));
        env.insert("XDG_RUNTIME_DIR", runtimeDir->path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return env;
    }

    // Starts the window and waits for its driver to call.
    void startWindow()
    {
        server = std::make_unique<QLocalServer>();
        QVERIFY(server->listen(runtimeDir->filePath("driver")));
        QProcessEnvironment env = environment(QUENDEL_E2E_DRIVER);
        env.insert("QUENDEL_E2E_SOCKET", server->fullServerName());
        app = std::make_unique<QProcess>();
        app->setProcessEnvironment(env);
        app->setProcessChannelMode(QProcess::ForwardedChannels);
        // The build's program, or another one (an installed copy) named in the environment.
        app->start(qEnvironmentVariable("QUENDEL_E2E_APP", QUENDEL_E2E_APP), {});
        QVERIFY(server->waitForNewConnection(10000));
        driver = server->nextPendingConnection();
    }

    // One line to the driver; the window's state it answers, with the debug
    // lines logged since the last answer.
    QJsonObject ask(const QJsonObject &command)
    {
        driver->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        driver->flush();
        while (!driver->canReadLine()) {
            if (!driver->waitForReadyRead(30000))
                return {};
        }
        const QJsonObject answer = QJsonDocument::fromJson(driver->readLine()).object();
        for (const QJsonValue line : answer["log"].toArray())
            log << line.toString();
        return answer;
    }

    QJsonObject state() { return ask({}); }
    // The window as the slot left it, and in "ms" how long the slot blocked
    // the window (-1: the button was disabled).
    QJsonObject click(const char *name) { return ask({{"click", name}}); }

    // Runs quendel-card; `meanwhile` plays the operator while it runs.
    Run runCli(const QStringList &args, const std::function<void()> &meanwhile = {})
    {
        QProcess cli;
        cli.setProcessEnvironment(environment());
        cli.start(qEnvironmentVariable("QUENDEL_E2E_CLI", QUENDEL_E2E_CLI), args);
        if (!cli.waitForStarted(5000))
            return {-1, {}, cli.errorString()};
        if (meanwhile)
            meanwhile();
        if (!cli.waitForFinished(15000))
            cli.kill();
        return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
                QString::fromUtf8(cli.readAllStandardOutput()), QString::fromUtf8(cli.readAllStandardError())};
    }

    // Once the reader is listed with the node's path.
    void connectWindow()
    {
        const QJsonArray listed{QJsonArray{"CardWriter0", ReaderNode::kDevNode}};
        QVERIFY(QTest::qWaitFor([&] { return state()["ports"].toArray() == listed; }, 8000));
        QCOMPARE(click("btnConnect")["lamp"].toString(), kGreenLamp);
    }

private slots:
    void init()
    {
        node = std::make_unique<ReaderNode>();
        std::string why;
        QVERIFY2(node->start(QUENDEL_READER_DESCRIPTION, &why), why.c_str());
        node->with([](vr::Reader &reader) { reader.layCard(vr::Card::blank(kUid)); });
        runtimeDir = std::make_unique<QTemporaryDir>();
        log.clear();
    }

    void cleanup()
    {
        if (driver)
            driver->disconnectFromServer();  // the driver quits the window
        driver = nullptr;
        if (app && !app->waitForFinished(5000))
            app->kill();
        app.reset();
        server.reset();
        QVERIFY(node->unknownIoctls().empty());
        node.reset();
    }

    // The first read's pre-request is answered late: after its time-out,
    // just after the card request went out, ahead of that one's own answer.
    void window_preparesABlankCard()
    {
        startWindow();
        connectWindow();
        node->holdAnswer(0x10);
        QJsonObject after = click("btnReadCard");
        qInfo("late answer: the read took %.0f ms", after["ms"].toDouble());
        QVERIFY(after["ms"].toDouble() >= 900);  // the pre-request really timed out
        QCOMPARE(after["card"].toString(), QString("未写入"));
        QCOMPARE(after["tip"].toString(), QString("读卡成功"));
        QCOMPARE(click("btnWriteCard")["tip"].toString(), QString("写卡成功"));
        QVERIFY(prepared(*node));
        after = click("btnReadCard");
        QCOMPARE(after["card"].toString(), QString("1A2B3C4D"));
        QCOMPARE(after["tip"].toString(), QString("读卡成功"));
        QVERIFY(!log.filter("[RD]").isEmpty() && !log.filter("[WR]").isEmpty());
    }

    // Every card command unanswered: the slots block the window for their
    // time-outs. Then the heartbeat too: the window lets the reader go.
    void window_silentReader()
    {
        startWindow();
        connectWindow();
        QVERIFY(click("btnReadCard")["btnWriteCard"].toBool());
        node->with([](vr::Reader &reader) {
            for (int command : {0x10, 0x14, 0x15, 0x16, 0x17})
                reader.failAlways(vr::Fault::NoAnswer, command);
        });
        QJsonObject after = click("btnWriteCard");
        const double write = after["ms"].toDouble();
        QCOMPARE(after["tip"].toString(), QString("写卡失败"));
        after = click("btnReadCard");
        const double read = after["ms"].toDouble();
        QCOMPARE(after["tip"].toString(), QString("未检测到卡"));
        node->with([](vr::Reader &reader) { reader.failAlways(vr::Fault::NoAnswer, 0x02); });
        QElapsedTimer silent;
        silent.start();
        QVERIFY(QTest::qWaitFor([&] { return state()["lamp"] == kRedLamp; }, 6000));
        const qint64 dropped = silent.elapsed();
        qInfo("silent reader: the write blocked the window %.0f ms, the read %.0f ms; "
              "the heartbeat let the reader go after %lld ms", write, read, dropped);
        QVERIFY(write >= 5500 && write < 15000);  // 3 attempts of 2 time-outs
        QVERIFY(read >= 1800 && read < 6000);     // pre-request, card request
        QVERIFY(dropped >= 900 && dropped < 4000);  // at most a tick, then a time-out
    }

    // Unplugged while connected: transactions fail at once with hidapi's
    // error, the window disconnects at the next tick and the list empties.
    void window_unplugged()
    {
        startWindow();
        connectWindow();
        // Right after a heartbeat, so that the read runs before the next one.
        const size_t before = received(*node).size();
        QVERIFY(QTest::qWaitFor([&] { return received(*node).size() > before; }, 5000));
        node->unplug();
        const QJsonObject after = click("btnReadCard");
        const double read = after["ms"].toDouble();
        QCOMPARE(after["tip"].toString(), QString("未检测到卡"));
        QElapsedTimer sinceRead;
        sinceRead.start();
        QVERIFY(QTest::qWaitFor([&] { return state()["lamp"] == kRedLamp; }, 5000));
        qInfo("unplugged: the read took %.0f ms, the window disconnected after %lld ms more", read,
              sinceRead.elapsed());
        QVERIFY(read >= 0 && read < 500);
        QVERIFY(QTest::qWaitFor([&] { return state()["ports"].toArray().isEmpty(); }, 5000));
        QCOMPARE(log.last(), QString("QMap()"));
    }

    // Connected: the connect report, then heartbeats, byte for byte. While
    // the window holds the reader, quendel-card lists it with every string
    // the enumeration sees and names the window as its holder, and refuses
    // to write: none of its reports reach the reader. After "断开" the same
    // command prepares the card, and a scan of the unchanged list logs
    // nothing more.
    void window_connectsAndHoldsItsReader()
    {
        startWindow();
        connectWindow();
        const QString holder = QString("QuendelWriteCard (pid %1)").arg(app->processId());
        QCOMPARE(runCli({"list"}).out, "path: /dev/hidraw0\nproduct: Arvesto Card Reader\nmanufacturer: Quendel\n"
                           "serial: QCR-0001\nrelease: 0100\nin use by: " + holder + "\n");
        const Run refused = runCli({"write"});
        QCOMPARE(refused.exitCode, 8);
        QVERIFY2(refused.err.contains(holder), qPrintable(refused.err));
        const size_t before = received(*node).size();
        QVERIFY(QTest::qWaitFor([&] { return received(*node).size() >= before + 2; }, 5000));
        QCOMPARE(state()["lamp"].toString(), kGreenLamp);
        const std::vector<vr::Report> reports = received(*node);
        QVERIFY(reports[0] == kConnect);
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i] == kHeartbeat);

        QCOMPARE(click("btnDisconnect")["lamp"].toString(), kRedLamp);
        const Run write = runCli({"write"});
        QCOMPARE(write.exitCode, 0);
        QCOMPARE(write.out, QString("1A2B3C4D prepared\n"));
        QVERIFY(prepared(*node));
        QTest::qWait(1100);
        QCOMPARE(state()["lamp"].toString(), kRedLamp);
        QCOMPARE(log.filter("QMap").join('\n'), kMapLine);
    }

    // Two blank cards, one after the other, then the reader is unplugged:
    // the batch ends with its message, and both cards are in the journal.
    void cli_batch()
    {
        QFile journal(runtimeDir->filePath("cards.csv"));
        const Run batch = runCli({"batch", "--journal", journal.fileName()}, [&] {
            QVERIFY(QTest::qWaitFor([&] { return prepared(*node); }, 10000));
            node->with([](vr::Reader &reader) { reader.removeCard(); });
            QTest::qWait(600);  // the field is seen empty
            node->with([](vr::Reader &reader) { reader.layCard(vr::Card::blank(kSecondUid)); });
            QVERIFY(QTest::qWaitFor([&] { return prepared(*node); }, 10000));
            QTest::qWait(300);  // the row is written before the next card is looked at
            node->unplug();
        });
        qInfo("unplugged batch: %s", qPrintable(batch.err.trimmed()));
        QCOMPARE(batch.exitCode, 3);
        QVERIFY(batch.err.contains("/dev/hidraw0"));
        QCOMPARE(batch.out, QString("1 1A2B3C4D prepared\n2 55667788 prepared\n"
                                    "prepared: 2, already prepared: 0, failed: 0, invalid: 0\n"));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QRegularExpression rows("^time,reader,uid,outcome,codes\r\n[^,]+,/dev/hidraw0,1A2B3C4D,prepared,\r\n"
                                      "[^,]+,/dev/hidraw0,55667788,prepared,\r\n$");
        QVERIFY(rows.match(QString::fromUtf8(journal.readAll())).hasMatch());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    {
        ReaderNode probe;
        std::string why;
        if (!probe.start(QUENDEL_READER_DESCRIPTION, &why) || !probe.preloadTakes(&why)) {
            std::printf("SKIP: %s\n", why.c_str());
            return 77;
        }
    }
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e.moc"
