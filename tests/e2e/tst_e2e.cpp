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
const QString kGreenTip = "color: rgb(0, 255, 0);font-size: 11pt;";
const QString kRedTip = "color: rgb(255, 0, 0);font-size: 11pt;";

// The build's programs, or others (an installed copy) named in the environment.
QString program(const char *variable, const char *built)
{
    const QString named = qEnvironmentVariable(variable);
    return named.isEmpty() ? QString::fromUtf8(built) : named;
}

vr::Report report(std::initializer_list<uint8_t> head)
{
    vr::Report r{};
    std::copy(head.begin(), head.end(), r.begin());
    return r;
}

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

struct Run {
    int exitCode;
    QString out, err;
};

// Waits, with the event loop running, until `done` holds; the time it took,
// or -1 when it did not within `timeoutMs`.
qint64 waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.elapsed() > timeoutMs)
            return -1;
        QTest::qWait(20);
    }
    return elapsed.elapsed();
}

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
        app->start(program("QUENDEL_E2E_APP", QUENDEL_E2E_APP), {});
        QVERIFY(server->waitForNewConnection(10000));
        driver = server->nextPendingConnection();
    }

    // One command to the driver; its answer, the debug lines before it logged.
    QJsonObject ask(const QJsonObject &command)
    {
        driver->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        driver->flush();
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < 30000) {
            while (driver->canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(driver->readLine()).object();
                if (!answer.contains("log"))
                    return answer;
                log << answer["log"].toString();
            }
            driver->waitForReadyRead(100);
        }
        return {};
    }

    QJsonObject state() { return ask({{"do", "state"}})["state"].toObject(); }

    // The window as the slot left it, and in "ms" how long the slot blocked
    // the window (-1: the button was disabled).
    QJsonObject click(const char *name)
    {
        const QJsonObject answer = ask({{"do", "click"}, {"name", name}});
        QJsonObject after = answer["state"].toObject();
        after["ms"] = answer["clicked"].toBool() ? answer["ms"].toDouble() : -1.0;
        return after;
    }

    qint64 waitForWindow(const std::function<bool(const QJsonObject &)> &done, int timeoutMs)
    {
        return waitUntil([&] { return done(state()); }, timeoutMs);
    }

    // Runs quendel-card; `meanwhile` plays the operator while it runs.
    Run runCli(const QStringList &args, const std::function<void()> &meanwhile = {})
    {
        QProcess cli;
        cli.setProcessEnvironment(environment());
        cli.start(program("QUENDEL_E2E_CLI", QUENDEL_E2E_CLI), args);
        if (!cli.waitForStarted(5000))
            return {-1, {}, cli.errorString()};
        if (meanwhile)
            meanwhile();
        if (!cli.waitForFinished(15000))
            cli.kill();
        return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
                QString::fromUtf8(cli.readAllStandardOutput()), QString::fromUtf8(cli.readAllStandardError())};
    }

    QStringList journalRows() const
    {
        QFile file(runtimeDir->filePath("cards.csv"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    }

    void waitForListing()
    {
        const QJsonArray listed{QJsonArray{"CardWriter0", ReaderNode::kDevNode}};
        QVERIFY(waitForWindow([&](const QJsonObject &s) { return s["ports"].toArray() == listed; }, 8000) >= 0);
    }

    void connectWindow()
    {
        waitForListing();
        const QJsonObject after = click("btnConnect");
        QCOMPARE(after["lamp"].toString(), kGreenLamp);
        QVERIFY(after["btnReadCard"].toBool());
    }

    static void checkTip(const QJsonObject &after, const QString &text, const QString &style)
    {
        QCOMPARE(after["tip"].toString(), text);
        QCOMPARE(after["tipStyle"].toString(), style);
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

    void window_listsAndConnects()
    {
        startWindow();
        waitForListing();
        QTest::qWait(1100);  // a further scan, which finds the same reader
        connectWindow();
        QCOMPARE(log.filter("QMap").join('\n'), kMapLine);
        QVERIFY(waitUntil([&] { return received(*node).size() >= 3; }, 5000) >= 0);
        const std::vector<vr::Report> reports = received(*node);
        QVERIFY(reports[0] == report({0x01, 0xD1, 0x01, 0x00, 0x51, 0xD2}));
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i] == report({0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2}));
        QCOMPARE(state()["lamp"].toString(), kGreenLamp);
    }

    void window_preparesABlankCard()
    {
        startWindow();
        connectWindow();
        QJsonObject after = click("btnReadCard");
        QCOMPARE(after["card"].toString(), QString("未写入"));
        checkTip(after, "读卡成功", kGreenTip);
        QVERIFY(after["btnWriteCard"].toBool());
        checkTip(click("btnWriteCard"), "写卡成功", kGreenTip);
        QVERIFY(prepared(*node));
        after = click("btnReadCard");
        QCOMPARE(after["card"].toString(), QString("1A2B3C4D"));
        checkTip(after, "读卡成功", kGreenTip);
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
        checkTip(after, "写卡失败", kRedTip);
        after = click("btnReadCard");
        const double read = after["ms"].toDouble();
        checkTip(after, "未检测到卡", kRedTip);
        node->with([](vr::Reader &reader) { reader.failAlways(vr::Fault::NoAnswer, 0x02); });
        const qint64 dropped = waitForWindow([](const QJsonObject &s) { return s["lamp"] == kRedLamp; }, 6000);
        qInfo("silent reader: the write blocked the window %.0f ms, the read %.0f ms; "
              "the heartbeat let the reader go after %lld ms",
              write, read, dropped);
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
        QVERIFY(waitUntil([&] { return received(*node).size() > before; }, 5000) >= 0);
        node->unplug();
        const QJsonObject after = click("btnReadCard");
        const double read = after["ms"].toDouble();
        checkTip(after, "未检测到卡", kRedTip);
        const qint64 dropped = waitForWindow([](const QJsonObject &s) { return s["lamp"] == kRedLamp; }, 5000);
        const qint64 emptied = waitForWindow([](const QJsonObject &s) { return s["ports"].toArray().isEmpty(); }, 5000);
        qInfo("unplugged: the read took %.0f ms, the window disconnected after %lld ms more", read, dropped);
        QVERIFY(read >= 0 && read < 500);
        QVERIFY(dropped >= 0 && emptied >= 0);
        QCOMPARE(log.last(), QString("QMap()"));
    }

    // The pre-request's answer comes after its time-out, just after the card
    // request went out, ahead of the card request's own answer.
    void window_lateAnswer()
    {
        startWindow();
        connectWindow();
        node->holdAnswer(0x10);
        const QJsonObject after = click("btnReadCard");
        qInfo("late answer: the read took %.0f ms", after["ms"].toDouble());
        QVERIFY(after["ms"].toDouble() >= 900);  // the pre-request really timed out
        checkTip(after, "读卡成功", kGreenTip);
        QCOMPARE(after["card"].toString(), QString("未写入"));
    }

    // While the window is connected, quendel-card is refused and names it;
    // nothing of its reaches the reader, and the window's heartbeats keep
    // passing. After "断开" the same command succeeds.
    void window_holdsItsReader()
    {
        startWindow();
        connectWindow();
        const Run refused = runCli({"read"});
        QCOMPARE(refused.exitCode, 8);
        QVERIFY2(refused.err.contains(QString("QuendelWriteCard (pid %1)").arg(app->processId())),
                 qPrintable(refused.err));
        const size_t before = received(*node).size();
        QVERIFY(waitUntil([&] { return received(*node).size() >= before + 2; }, 5000) >= 0);
        QCOMPARE(state()["lamp"].toString(), kGreenLamp);
        const std::vector<vr::Report> reports = received(*node);
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i] == report({0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2}));

        QCOMPARE(click("btnDisconnect")["lamp"].toString(), kRedLamp);
        const Run read = runCli({"read"});
        QCOMPARE(read.exitCode, 0);
        QVERIFY(read.out.endsWith("number: not written\n"));
    }

    // The enumeration sees every string of the reader; a blank card is
    // prepared.
    void cli_listsAndWrites()
    {
        const Run list = runCli({"list"});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, QString("path: /dev/hidraw0\nproduct: Arvesto Card Reader\nmanufacturer: Quendel\n"
                                   "serial: QCR-0001\nrelease: 0100\n"));
        const Run write = runCli({"write"});
        QCOMPARE(write.exitCode, 0);
        QCOMPARE(write.out, QString("1A2B3C4D prepared\n"));
        QVERIFY(prepared(*node));
    }

    // Two blank cards, one after the other.
    void cli_batch()
    {
        const Run batch = runCli({"batch", "--count", "2", "--journal", runtimeDir->filePath("cards.csv")}, [&] {
            QVERIFY(waitUntil([&] { return prepared(*node); }, 10000) >= 0);
            node->with([](vr::Reader &reader) { reader.removeCard(); });
            QTest::qWait(600);  // the field is seen empty
            node->with([](vr::Reader &reader) { reader.layCard(vr::Card::blank(kSecondUid)); });
        });
        QCOMPARE(batch.exitCode, 0);
        QCOMPARE(batch.out, QString("1 1A2B3C4D prepared\n2 55667788 prepared\n"
                                    "prepared: 2, already prepared: 0, failed: 0, invalid: 0\n"));
        QVERIFY(prepared(*node));
        const QStringList rows = journalRows();
        QCOMPARE(rows.size(), 3);
        QVERIFY(rows[1].endsWith(",/dev/hidraw0,1A2B3C4D,prepared,"));
        QVERIFY(rows[2].endsWith(",/dev/hidraw0,55667788,prepared,"));
    }

    // Unplugged after the first card: the batch ends with its message, and
    // the card it prepared is in the journal.
    void cli_batchUnplugged()
    {
        const Run batch = runCli({"batch", "--journal", runtimeDir->filePath("cards.csv")}, [&] {
            QVERIFY(waitUntil([&] { return prepared(*node); }, 10000) >= 0);
            QTest::qWait(300);  // the row is written before the next card is looked at
            node->unplug();
        });
        qInfo("unplugged batch: %s", qPrintable(batch.err.trimmed()));
        QCOMPARE(batch.exitCode, 3);
        QVERIFY(batch.err.contains("/dev/hidraw0"));
        QVERIFY(batch.out.startsWith("1 1A2B3C4D prepared\n"));
        QVERIFY(batch.out.endsWith("prepared: 1, already prepared: 0, failed: 0, invalid: 0\n"));
        const QStringList rows = journalRows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0], QString("time,reader,uid,outcome,codes"));
        QVERIFY(rows[1].endsWith(",/dev/hidraw0,1A2B3C4D,prepared,"));
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
