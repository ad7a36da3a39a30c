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
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>
#include <optional>

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

// The answer to the next trailer write, the second block write from now, is
// lost: the card has taken the site key all the same.
void loseTrailerAnswer(ReaderNode &node)
{
    node.with([](vr::Reader &reader) {
        reader.onRequest = [&reader](uint8_t command) {
            if (command == 0x17) {
                reader.failNext(vr::Fault::NoAnswer, 0x17);
                reader.onRequest = nullptr;
            }
        };
    });
}

QString contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Any three bytes that begin or end a key: what is left of one cut off too.
bool holdsAKey(const QString &text)
{
    for (const vr::Key &key : {vr::kSiteKey, vr::kTransportKey}) {
        const QString hex = QByteArray(reinterpret_cast<const char *>(key.data()), 6).toHex(' ');
        if (text.contains(hex.left(8)) || text.contains(hex.right(8)))
            return true;
    }
    return false;
}

// A trace of the link, a file for its user alone, names the program and
// every key it holds by a marker, never by its bytes; after the last key of
// a frame, whatever its length byte says, only checksum markers and the end
// marker that a sound frame ends with.
void checkTrace(const QString &file, const char *program, const char *marker)
{
    const QString trace = contents(file);
    QVERIFY2(trace.contains(QString("program: %1 ").arg(program)) && trace.contains(marker), qPrintable(trace));
    QVERIFY(trace.contains("reader: /dev/hidraw0\nproduct: Arvesto Card Reader\n"));
    QVERIFY(!holdsAKey(trace));
    for (const QString &line : trace.split('\n'))
        QVERIFY2(QRegularExpression("^(( \\[crc\\])+( d2)?)?$").match(line.section("-key]", 1).section("-key]", -1))
                         .hasMatch(), qPrintable(line));
    QCOMPARE(QFileInfo(file).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
}

// The batch of cli_batch, and of its recorded trace replayed.
const QString kBatchOut = "1 1A2B3C4D prepared (codes 5)\n2 55667788 failed (codes 4 4 4)\n3 55667788 prepared\n"
                          "4 1A2B3C4D already-prepared\nprepared: 2, already prepared: 1, failed: 1, invalid: 0\n";
const QStringList kBatchRows = {"reader,uid,outcome,codes", "/dev/hidraw0,1A2B3C4D,writing,",
                                "/dev/hidraw0,1A2B3C4D,prepared,5", "/dev/hidraw0,55667788,writing,",
                                "/dev/hidraw0,55667788,failed,4 4 4", "/dev/hidraw0,55667788,writing,",
                                "/dev/hidraw0,55667788,prepared,", "/dev/hidraw0,1A2B3C4D,already-prepared,", ""};

// A journal's rows without their times.
QStringList rowsOf(const QString &journal)
{
    QStringList rows = contents(journal).split("\r\n");
    for (QString &row : rows)
        row = row.section(',', 1);
    return rows;
}

struct Run { int exitCode; QString out, err; };

// The local user that the cases named "...AnotherUser..." act as: made for
// them, and removed after.
QString otherUser;

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
        env.insert("TMPDIR", runtimeDir->path());
        env.insert("XDG_DATA_HOME", runtimeDir->filePath("data"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return env;
    }

    QString umockdevDir() const
    {
        for (const auto &[name, value] : node->environment())
            if (name == "UMOCKDEV_DIR")
                return QString::fromStdString(value);
        return {};
    }

    // Starts the window and waits for its driver to call.
    // With `display`, the batch window on that X server; else the window.
    void startWindow(const QStringList &args = {}, const std::function<void()> &inChild = {},
                     const QString &display = {})
    {
        server = std::make_unique<QLocalServer>();
        QVERIFY(server->listen(runtimeDir->filePath("driver")));
        QProcessEnvironment env = environment(QUENDEL_E2E_DRIVER);
        env.insert("QUENDEL_E2E_SOCKET", server->fullServerName());
        if (!display.isEmpty()) {
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", display);
        }
        app = std::make_unique<QProcess>();
        app->setProcessEnvironment(env);
        app->setProcessChannelMode(QProcess::ForwardedChannels);
        if (inChild)
            app->setChildProcessModifier(inChild);
        // The build's program, or another one (an installed copy) named in the environment.
        app->start(display.isEmpty() ? qEnvironmentVariable("QUENDEL_E2E_APP", QUENDEL_E2E_APP)
                                     : qEnvironmentVariable("QUENDEL_E2E_BATCH", QUENDEL_E2E_BATCH), args);
        QVERIFY(server->waitForNewConnection(10000));
        driver = server->nextPendingConnection();
    }

    // A private X server, on which a person clicks and types (xdotool).
    std::unique_ptr<QProcess> xServer;
    QString startX()
    {
        xServer = std::make_unique<QProcess>();
        xServer->start("Xvfb", {"-displayfd", "1", "-screen", "0", "900x700x24", "-nolisten", "tcp"});
        return xServer->waitForReadyRead(10000) ? ':' + xServer->readAll().trimmed() : QString();
    }
    void asAPerson(const QStringList &args)
    {
        QProcess xdotool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", app->processEnvironment().value("DISPLAY"));
        xdotool.setProcessEnvironment(env);
        xdotool.start("xdotool", args);
        QVERIFY(xdotool.waitForFinished(10000) && xdotool.exitCode() == 0);
    }
    // Clicks the middle of the named widget as a person would.
    void clickAt(const char *name)
    {
        const QJsonObject at = ask({{"where", name}});
        asAPerson({"mousemove", "1", "1", "mousemove", QString::number(at["x"].toInt()),
                   QString::number(at["y"].toInt()), "click", "1"});
    }
    bool promptBecomes(const QString &prompt, int ms = 10000)
    {
        const bool became = QTest::qWaitFor([&] { return state()["prompt"].toString() == prompt; }, ms);
        if (!became)
            qWarning() << "prompt:" << state();
        return became;
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
    // `setup` may change how it is started.
    Run runCli(const QStringList &args, const std::function<void(QProcess &)> &meanwhile = {},
               const std::function<void(QProcess &)> &setup = {})
    {
        QProcess cli;
        cli.setProcessEnvironment(environment());
        cli.setProgram(qEnvironmentVariable("QUENDEL_E2E_CLI", QUENDEL_E2E_CLI));
        cli.setArguments(args);
        if (setup)
            setup(cli);
        cli.start();
        if (!cli.waitForStarted(5000))
            return {-1, {}, cli.errorString()};
        if (meanwhile)
            meanwhile(cli);
        if (!cli.waitForFinished(15000))
            cli.kill();
        return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
                QString::fromUtf8(cli.readAllStandardOutput()), QString::fromUtf8(cli.readAllStandardError())};
    }

    // After a kill: a card that a write reached, its number or its keys
    // changed, has a row that names it. Whether it has no outcome row yet.
    bool writtenUnfinished(const vr::Card &blank, const QString &journal, const QString &context)
    {
        const bool written = node->with([&](vr::Reader &reader) {
            return reader.card()->raw(56) != blank.raw(56) || reader.card()->keyA(14) != vr::kTransportKey;
        });
        const QString rows = contents(journal),
                      uid = ',' + QByteArray(reinterpret_cast<const char *>(blank.uid().data()), 4).toHex().toUpper() + ',';
        [&] { QVERIFY2(!written || rows.contains(uid), qPrintable(context)); }();
        return written && !rows.contains(uid + "prepared");
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
        if (xServer) {
            xServer->kill();
            xServer->waitForFinished();
        }
        xServer.reset();
        QVERIFY(node->unknownIoctls().empty());
        node.reset();
    }

    // The first read's pre-request is answered late: after its time-out,
    // just after the card request went out, ahead of that one's own answer.
    // The write's key change is answered to nobody, yet the card is
    // prepared, and so the write succeeds and is journalled.
    void window_preparesABlankCard()
    {
        startWindow({"--trace", runtimeDir->filePath("window.trace")});
        connectWindow();
        node->holdAnswer(0x10);
        QJsonObject after = click("btnReadCard");
        qInfo("late answer: the read took %.0f ms", after["ms"].toDouble());
        QVERIFY(after["ms"].toDouble() >= 900);  // the pre-request really timed out
        QCOMPARE(after["card"].toString(), QString("未写入"));
        QCOMPARE(after["tip"].toString(), QString("读卡成功"));
        loseTrailerAnswer(*node);
        QCOMPARE(click("btnWriteCard")["tip"].toString(), QString("写卡成功"));
        QVERIFY(prepared(*node));
        QVERIFY(QRegularExpression("^time,reader,uid,outcome,codes\r\n[^,]+,/dev/hidraw0,1A2B3C4D,writing,\r\n"
                                       "[^,]+,/dev/hidraw0,1A2B3C4D,prepared,5\r\n$")
                        .match(contents(runtimeDir->filePath("data/quendel-writecard/journal.csv"))).hasMatch());
        after = click("btnReadCard");
        QCOMPARE(after["card"].toString(), QString("1A2B3C4D"));
        QCOMPARE(after["tip"].toString(), QString("读卡成功"));
        QVERIFY(!log.filter("[RD]").isEmpty() && !log.filter("[WR]").isEmpty());
        checkTrace(runtimeDir->filePath("window.trace"), "QuendelWriteCard", "[site-key] [crc] d2\n");
    }

    // Every card command unanswered: the slots block the window for their
    // time-outs. Then the heartbeat too: the window lets the reader go, and
    // quendel-card finds a reader that does not answer.
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
        QElapsedTimer quiet;
        quiet.start();
        QVERIFY(QTest::qWaitFor([&] { return state()["lamp"] == kRedLamp; }, 6000));
        const qint64 dropped = quiet.elapsed();
        qInfo("silent reader: the write blocked the window %.0f ms, the read %.0f ms; "
              "the heartbeat let the reader go after %lld ms", write, read, dropped);
        QVERIFY(write >= 5500 && write < 15000);  // 3 attempts of 2 time-outs
        QVERIFY(read >= 1800 && read < 6000);     // pre-request, card request
        QVERIFY(dropped >= 900 && dropped < 4000);  // at most a tick, then a time-out
        node->with([](vr::Reader &reader) { reader.failAlways(vr::Fault::NoAnswer); });
        const Run silent = runCli({"read"});
        QCOMPARE(silent.exitCode, 3);
        QVERIFY2(silent.err.contains("does not answer"), qPrintable(silent.err));
    }

    // Unplugged while connected: transactions fail at once with hidapi's
    // error, the window disconnects at the next tick and the list empties.
    void window_unplugged()
    {
        startWindow();
        connectWindow();
        // Right after a heartbeat and its answer, so that the read runs before
        // the next one.
        const size_t before = received(*node).size();
        QVERIFY(QTest::qWaitFor([&] { return received(*node).size() > before; }, 5000));
        QTest::qWait(200);
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
        // Refused whatever runtime folder it has, and by another name of the node.
        QVERIFY(QFile::link("hidraw0", umockdevDir() + "/dev/hidraw-quendel"));
        const auto runtimeDir = [](const char *dir) {
            return [dir](QProcess &cli) {
                QProcessEnvironment env = cli.processEnvironment();
                dir ? env.insert("XDG_RUNTIME_DIR", dir) : env.remove("XDG_RUNTIME_DIR");
                cli.setProcessEnvironment(env);
            };
        };
        for (const auto &[args, setup] : {std::pair{QStringList{"write"}, runtimeDir(nullptr)},
                                          {QStringList{"write"}, runtimeDir("/tmp")},
                                          {QStringList{"write", "--reader", "/dev/hidraw-quendel"}, runtimeDir(nullptr)}}) {
            const Run refused = runCli(args, {}, setup);
            QCOMPARE(refused.exitCode, 8);
            QVERIFY2(refused.err.contains(holder), qPrintable(refused.err));
        }
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

    // The operator's batch: the first card's key change is answered to
    // nobody, yet it is prepared; it is swapped for a card that the reader
    // fails to write; that card, laid again, is retried and prepared; the
    // first card, laid again, is reported prepared already; then the reader
    // is unplugged. Every card that a write reached has a "writing" row.
    void cli_batch()
    {
        const QString journal = runtimeDir->filePath("cards.csv");
        const auto journalled = [&](const char *row) {
            return QTest::qWaitFor([&] { return contents(journal).contains(row); }, 10000);
        };
        std::optional<vr::Card> first;
        // After a quick swap, or once the field was seen empty; with block writes refused, or not.
        const auto lay = [&](const vr::Card &card, int afterMs, bool refuseWrites = false) {
            node->with([&](vr::Reader &reader) { reader.removeCard(); });
            QTest::qWait(afterMs);
            node->with([&](vr::Reader &reader) {
                reader.clearFaults();
                if (refuseWrites)
                    reader.failAlways(vr::Fault::StatusError, 0x17);
                reader.layCard(card);
            });
        };
        loseTrailerAnswer(*node);
        const Run batch = runCli({"batch", "--journal", journal, "--trace", journal + ".trace"}, [&](QProcess &) {
            QVERIFY(journalled("1A2B3C4D,prepared,5\r\n"));
            first = node->with([](vr::Reader &reader) { return *reader.card(); });
            lay(vr::Card::blank(kSecondUid), 0, true);
            QVERIFY(journalled("55667788,failed,4 4 4\r\n"));
            lay(vr::Card::blank(kSecondUid), 600);
            QVERIFY(journalled("55667788,prepared,\r\n"));
            lay(*first, 600);
            QVERIFY(journalled("already-prepared"));
            node->unplug();
        });
        qInfo("unplugged batch: %s", qPrintable(batch.err.trimmed()));
        QCOMPARE(batch.exitCode, 3);
        QVERIFY(batch.err.startsWith("quendel-card: reader /dev/hidraw0, journal " + journal + "\n"));
        QVERIFY(batch.err.contains("lay a card on the reader"));
        QCOMPARE(batch.out, kBatchOut);
        QCOMPARE(rowsOf(journal), kBatchRows);
        checkTrace(journal + ".trace", "quendel-card", " < timeout\n");
    }

    // Ctrl-C and SIGHUP while a block write waits for its answer: each is
    // acknowledged at once, the card in hand is finished, prepared and
    // journalled, and the batch ends after it. A signal never cuts the
    // transaction short: it runs to its time-out. A closed output ends the
    // batch too, and no card goes unjournalled.
    void cli_stopsAfterTheCardInHand()
    {
        const QString journal = runtimeDir->filePath("cards.csv");
        const auto closeOutput = [](QProcess &cli) {
            cli.setArguments(QStringList{"-c", "\"$0\" \"$@\" | true; exit ${PIPESTATUS[0]}", cli.program()}
                             + cli.arguments());
            cli.setProgram("/bin/bash");
        };
        for (const int signal : {SIGINT, SIGHUP, 0}) {
            const vr::Uid uid{0x5E, 0x1F, 0x00, uint8_t(signal)};
            const QString hex = QByteArray(reinterpret_cast<const char *>(uid.data()), 4).toHex().toUpper();
            node->with([&](vr::Reader &reader) { reader.layCard(vr::Card::blank(uid)); });
            node->holdAnswer(0x17);
            const auto sent = [&] { return received(*node).size(); };
            const size_t before = sent();
            qint64 waited = 1000;
            bool acknowledgedAtOnce = true;
            const Run batch = runCli({"batch", "--journal", journal}, [&](QProcess &cli) {
                const auto blockWritten = [&] { return received(*node).back()[2] == 0x17; };
                if (!signal || !QTest::qWaitFor([&] { return sent() > before && blockWritten(); }, 10000))
                    return;
                const size_t written = sent();
                QElapsedTimer sinceSignal;
                sinceSignal.start();
                ::kill(static_cast<pid_t>(cli.processId()), signal);
                cli.setReadChannel(QProcess::StandardError);
                QVERIFY(QTest::qWaitFor([&] { return cli.peek(1 << 16).contains("stopping after this card"); }));
                acknowledgedAtOnce = sent() == written;
                QVERIFY(QTest::qWaitFor([&] { return sent() > written; }, 5000));
                waited = sinceSignal.elapsed();
            }, signal ? std::function<void(QProcess &)>() : closeOutput);
            QCOMPARE(batch.exitCode, 0);
            QVERIFY2(batch.err.contains(signal ? "quendel-card: stopping after this card\n"
                                               : "quendel-card: the output is closed"), qPrintable(batch.err));
            QCOMPARE(batch.out, signal ? "1 " + hex + " prepared (codes 4)\nprepared: 1, already prepared: 0, "
                                         "failed: 0, invalid: 0\n" : QString());
            QCOMPARE(contents(journal).endsWith(",/dev/hidraw0," + hex + ",prepared,4\r\n"), prepared(*node));
            QVERIFY(prepared(*node) || !signal);
            QVERIFY(acknowledgedAtOnce);
            QVERIFY2(waited >= 300, qPrintable(QString::number(waited)));
        }
    }

    // kill -9 at random instants of a batch, the first one while a block
    // write waits for its answer: every card that a write reached has a row.
    void cli_killed()
    {
        const QString journal = runtimeDir->filePath("cards.csv");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        int reached = 0;
        for (uint8_t i = 0; i < 20; i++) {
            const vr::Card blank = vr::Card::blank({0xC0, 0xFF, 0xEE, i});
            node->with([&](vr::Reader &reader) {
                reader.layCard(blank);
                reader.clearReceived();
            });
            if (i == 0)
                node->holdAnswer(0x17);
            runCli({"batch", "--journal", journal}, [&](QProcess &cli) {
                // From the connect command on, over the span of one card.
                QVERIFY(QTest::qWaitFor([&] {
                    return !received(*node).empty() && (i > 0 || received(*node).back()[2] == 0x17);
                }));
                QTest::qWait(i > 0 ? int(random.bounded(25)) : 0);
                cli.kill();
            });
            reached += writtenUnfinished(blank, journal, QString("seed %1, card %2").arg(seed).arg(i));
        }
        qInfo("kill -9: %d of 20 cards written but not finished (seed %u)", reached, seed);
        // The last one killed has let go of the reader. A card that opens with
        // neither key, read with a trace and its frames on the logging category.
        node->with([](vr::Reader &reader) { reader.layCard(vr::Card::unknownKeys(kUid)); });
        const QString trace = runtimeDir->filePath("read.trace");
        const Run read = runCli({"--trace", trace, "read"}, {}, [](QProcess &cli) {
            QProcessEnvironment env = cli.processEnvironment();
            env.insert("QT_LOGGING_RULES", "quendel.reader.frames.debug=true");
            cli.setProcessEnvironment(env);
        });
        QCOMPARE(read.exitCode, 5);
        checkTrace(trace, "quendel-card", "[transport-key]");
        QVERIFY(read.err.contains(contents(trace).section('\n', -2, -2)) && !holdsAKey(read.err));  // the last frame
    }

    // The journal meets a file size limit after the card's "writing" row:
    // the card, written, is named in it; the outcome row is taken back whole;
    // quendel-card says why, with the journal's exit status.
    void cli_journalFull()
    {
        QFile journal(runtimeDir->filePath("cards.csv"));
        const QByteArray header = "time,reader,uid,outcome,codes\r\n";
        QVERIFY(journal.open(QIODevice::WriteOnly) && journal.write(header) == header.size());
        journal.close();
        const rlim_t limit = header.size() + QByteArray("2026-12-07T09:00:00+01:00,/dev/hidraw0,1A2B3C4D,writing,\r\n")
                .size() + 10;
        const Run write = runCli({"write", "--journal", journal.fileName()}, {}, [&](QProcess &cli) {
            cli.setChildProcessModifier([limit] {
                const rlimit size{limit, limit};
                setrlimit(RLIMIT_FSIZE, &size);
            });
        });
        QCOMPARE(write.exitCode, 9);
        QVERIFY2(write.err.contains("cannot write the journal") && write.err.contains("File too large"),
                 qPrintable(write.err));
        QVERIFY(prepared(*node));
        QVERIFY(QRegularExpression("^time,reader,uid,outcome,codes\r\n[^,]+,/dev/hidraw0,1A2B3C4D,writing,\r\n$")
                        .match(contents(journal.fileName())).hasMatch());
    }

    // Faulty answers to the trailer read, with a length byte that lies and
    // with a block echo that does: neither the trace nor --verbose shows a
    // key, and the write is retried to success. Then a card whose key B is
    // none of ours, which reads back as a marker too, and whose UID gives
    // the site key's authentication the end marker's value as its checksum;
    // the answer to its read of block 56 ends with what is left of a key.
    void cli_faultyTrailerAnswersKeepTheKeys()
    {
        vr::Card foreignKeyB = vr::Card::blank({0x1A, 0x2B, 0x3C, 0xFF});
        vr::Block trailer = foreignKeyB.raw(59);
        std::fill(trailer.begin() + 10, trailer.end(), 0x5A);
        foreignKeyB.setRaw(59, trailer);
        for (const vr::Fault fault : {vr::Fault::LengthBeyondReport, vr::Fault::WrongBlock, vr::Fault::StaleTail}) {
            const bool retried = fault != vr::Fault::StaleTail;
            node->with([&](vr::Reader &reader) {
                reader.layCard(retried ? vr::Card::blank(kUid) : foreignKeyB);
                reader.onRequest = [&reader, fault](uint8_t command) {
                    if (command == 0x17) {  // block 56: the trailer is read next
                        reader.failNext(fault, 0x16);
                        reader.onRequest = nullptr;
                    }
                };
                if (!retried) {  // block 56's answer, in which no key stands
                    reader.onRequest = nullptr;
                    reader.failNext(fault, 0x16);
                }
            });
            const QString trace = runtimeDir->filePath("write.trace");
            const Run write = runCli({"--verbose", "--trace", trace, "write", "--no-journal"});
            QCOMPARE(write.out, retried ? QString("1A2B3C4D prepared (codes 5)\n") : QString("1A2B3CFF prepared\n"));
            checkTrace(trace, "quendel-card", retried ? "[transport-key] [crc] d2\n" : "ff 07 80 69 [other-key] [crc] d2\n");
            QVERIFY2(write.err.contains("Key: [transport-key]\n") && !holdsAKey(write.err), qPrintable(write.err));
        }
    }

    // What the user set holds: a FIFO as the journal is refused at once,
    // never written into until it blocks; SIGHUP and SIGINT ignored by the
    // shell (nohup, a background job) stay ignored, and SIGTERM still stops
    // the batch after the card in hand.
    void cli_whatTheUserSetHolds()
    {
        const QString fifo = runtimeDir->filePath("fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        const Run piped = runCli({"batch", "--count", "1", "--journal", fifo});
        QCOMPARE(piped.exitCode, 9);
        QVERIFY2(piped.err.contains("not a regular file"), qPrintable(piped.err));
        const QString journal = runtimeDir->filePath("cards.csv");
        const Run batch = runCli({"batch", "--journal", journal}, [&](QProcess &cli) {
            QVERIFY(QTest::qWaitFor([&] { return contents(journal).contains("prepared"); }, 10000));
            for (const int signal : {SIGHUP, SIGINT, 0, SIGTERM}) {
                if (!signal)
                    QVERIFY(!QTest::qWaitFor([&] { return cli.state() != QProcess::Running; }, 500));
                ::kill(static_cast<pid_t>(cli.processId()), signal);
            }
        }, [](QProcess &cli) {
            cli.setArguments(QStringList{"-c", "trap '' HUP INT; exec \"$0\" \"$@\"", cli.program()} + cli.arguments());
            cli.setProgram("/bin/sh");
        });
        QCOMPARE(batch.exitCode, 0);
        QCOMPARE(batch.err.count("stopping after this card"), 1);
        QVERIFY(batch.out.endsWith("prepared: 1, already prepared: 0, failed: 0, invalid: 0\n"));
    }

    // A file size limit that the journal meets kills no window: the card is
    // written, and no row is left torn.
    void window_fileSizeLimit()
    {
        startWindow({}, [] {
            const rlimit size{40, 40};  // the header, and a few bytes more
            setrlimit(RLIMIT_FSIZE, &size);
        });
        connectWindow();
        QCOMPARE(click("btnReadCard")["card"].toString(), QString("未写入"));
        QCOMPARE(click("btnWriteCard")["tip"].toString(), QString("写卡成功"));
        QVERIFY(prepared(*node));
        QCOMPARE(contents(runtimeDir->filePath("data/quendel-writecard/journal.csv")),
                 QString("time,reader,uid,outcome,codes\r\n"));
    }

    // kill -9 at random instants of a "写卡", the first one while the
    // trailer write, taken by the card, waits for its lost answer: every
    // card that a write reached has a row.
    void window_killedMidWrite()
    {
        const QString journal = runtimeDir->filePath("data/quendel-writecard/journal.csv");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        int reached = 0;
        for (uint8_t i = 0; i < 10; i++) {
            const vr::Card blank = vr::Card::blank({0xC0, 0xFF, 0xEE, i});
            node->with([&](vr::Reader &reader) { reader.layCard(blank); });
            startWindow();
            connectWindow();
            QCOMPARE(click("btnReadCard")["card"].toString(), QString("未写入"));
            if (i == 0)
                loseTrailerAnswer(*node);
            const size_t before = received(*node).size();
            driver->write("{\"click\":\"btnWriteCard\"}\n");
            driver->flush();
            if (i == 0) {
                const auto blockWrites = [&] {
                    const std::vector<vr::Report> sent = received(*node);
                    return std::count_if(sent.begin() + long(before), sent.end(),
                                         [](const vr::Report &report) { return report[2] == 0x17; });
                };
                QVERIFY(QTest::qWaitFor([&] { return blockWrites() == 2; }));
            } else {  // from the write's first request on, within the few ms it takes
                QElapsedTimer waited;
                waited.start();
                while (received(*node).size() == before && waited.elapsed() < 5000)
                    QThread::usleep(50);
                QThread::usleep(random.bounded(4000));
            }
            ::kill(static_cast<pid_t>(app->processId()), SIGKILL);
            QVERIFY(app->waitForFinished(5000));
            driver = nullptr;
            reached += writtenUnfinished(blank, journal, QString("seed %1, card %2").arg(seed).arg(i));
        }
        qInfo("kill -9: %d of 10 cards written but not finished (seed %u)", reached, seed);
    }

    // A reader node this user may not open: said so, with what to do, and
    // the exit status of its own. The node is a root-only file, opened by
    // quendel-card run as nobody.
    void cli_permissionDenied()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to run quendel-card as another user");
        QVERIFY(QFile::setPermissions(runtimeDir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                  | QFile::ExeOther));
        QFile reader(runtimeDir->filePath("hidraw9"));
        QVERIFY(reader.open(QIODevice::WriteOnly) && reader.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const Run denied = runCli({"read", "--reader", reader.fileName()}, {}, [](QProcess &cli) {
            cli.setArguments(QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", cli.program()}
                             + cli.arguments());
            cli.setProgram("setpriv");
        });
        QCOMPARE(denied.exitCode, 10);
        QVERIFY2(denied.err.contains("no permission to open the reader " + reader.fileName() + ": install the "
                                     "package's udev rule"), qPrintable(denied.err));
    }

    // The first window stopped (SIGSTOP): a second start waits two seconds
    // for it, then names it in a message, instead of ending in silence.
    void window_secondStartNamesAStoppedFirst()
    {
        startWindow();
        QVERIFY(!state().isEmpty());  // its event loop runs: it has claimed its place
        QLocalSocket *first = driver;
        ::kill(static_cast<pid_t>(app->processId()), SIGSTOP);
        QProcess second;
        second.setProcessEnvironment(app->processEnvironment());
        second.start(app->program(), {});
        QVERIFY(server->waitForNewConnection(10000));
        driver = server->nextPendingConnection();
        const QString message = state()["message"].toString();
        second.kill();
        second.waitForFinished();
        driver = first;
        ::kill(static_cast<pid_t>(app->processId()), SIGCONT);
        QVERIFY2(message.contains(QString("（pid %1）").arg(app->processId())), qPrintable(message));
    }

    // Another user holds what it can of the first window's claim: the
    // abstract socket name once used for it, and the window's folder, made
    // first with a lock file held in it. The window starts all the same, in
    // a folder in the user's data folder, and is still the only one; in a
    // folder of its own, that user cannot bring it to the front.
    void window_anotherUserCanNeitherBlockNorRaiseIt()
    {
        const QString python = QStandardPaths::findExecutable("python3", {"/usr/bin", "/usr/local/bin"});
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty() || python.isEmpty())
            QSKIP("needs root, setpriv and python3 to act as another user");
        QVERIFY(::chmod(QFile::encodeName(runtimeDir->path()), 01777) == 0);  // the window's TMPDIR, open to all as /tmp is
        const QString folder = runtimeDir->filePath(QString("quendel-writecard-%1").arg(::geteuid()));
        QProcess squatter;
        squatter.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", python, "-c", R"(
import fcntl, os, socket, sys
os.mkdir(sys.argv[1], 0o700)
lock = open(sys.argv[1] + '/QuendelWriteCard.lock', 'w')
fcntl.flock(lock, fcntl.LOCK_EX)
name = socket.socket(socket.AF_UNIX)
name.bind('\0QuendelWriteCard-' + sys.argv[2])
print('holding', flush=True)
sys.stdin.readline()
try: socket.socket(socket.AF_UNIX).connect(sys.argv[1] + '/QuendelWriteCard.socket')
except PermissionError: print('refused')
)", folder, QString::number(::geteuid())});
        QVERIFY(squatter.waitForReadyRead(5000));
        startWindow();
        QCOMPARE(state()["lamp"].toString(), kRedLamp);  // the window, not a message
        QProcess second;  // and the one window still: a second start hands over to it
        second.setProcessEnvironment(app->processEnvironment());
        second.start(app->program(), {});
        QVERIFY(second.waitForFinished(5000) && second.exitCode() == 0);
        driver->disconnectFromServer();
        QVERIFY(app->waitForFinished(5000));
        server.reset();
        driver = nullptr;
        QVERIFY(QDir(folder).removeRecursively());
        startWindow();
        QCOMPARE(state()["lamp"].toString(), kRedLamp);
        QLocalSocket raise;
        raise.connectToServer(folder + "/QuendelWriteCard.socket");
        QVERIFY(raise.waitForConnected(1000));
        squatter.closeWriteChannel();
        QVERIFY(squatter.waitForFinished(5000));
        QCOMPARE(squatter.readAll(), QByteArray("holding\nrefused\n"));
    }

    // What stands at the name of a file that the programs make for
    // themselves, if it is not theirs, is refused before a byte of it, or of
    // what a link leads to, is read or changed: a pending file or a lock
    // file that is a link, a folder, or another user's file in a folder
    // open to all; a trace over a link, over another user's file, or over
    // the journal or its pending file. A new trace is a new file: a process
    // that holds the old one open reads none of it.
    void cli_filesOfAnotherUserRefused()
    {
        const QString journal = runtimeDir->filePath("cards.csv"), pending = journal + ".pending",
                      notes = runtimeDir->filePath("notes"), trace = runtimeDir->filePath("old.trace");
        const uid_t other = ::getpwnam(qPrintable(otherUser))->pw_uid;
        const auto make = [](const QString &file, QFile::Permissions modes, uid_t owner) {
            QFile made(file);
            return made.open(QIODevice::WriteOnly) && made.write("DEADBEEF,prepared\r\n") > 0
                    && made.setPermissions(modes) && ::chown(QFile::encodeName(file), owner, -1) == 0;
        };
        QVERIFY(make(notes, QFile::ReadOwner | QFile::WriteOwner, ::geteuid()));
        QVERIFY(::chmod(QFile::encodeName(runtimeDir->path()), 01777) == 0);  // as /tmp is
        const QString lock = runtimeDir->filePath("data/quendel-writecard/quendel-reader-%1.lock")
                .arg(QString(QCryptographicHash::hash("/dev/hidraw9", QCryptographicHash::Sha1).toHex().left(16)));
        QVERIFY(QDir().mkpath(QFileInfo(lock).path()));
        const auto refused = [&](const QString &name, const std::function<bool()> &put, const QStringList &args,
                                 int status, const QString &says) {
            QVERIFY(put());
            const Run run = runCli(args);
            QCOMPARE(run.exitCode, status);
            QVERIFY2(run.err.contains(name + says), qPrintable(run.err));
            QCOMPARE(contents(notes), QString("DEADBEEF,prepared\r\n"));
            QCOMPARE(QFileInfo(notes).permissions() & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);
            QVERIFY(!contents(journal).contains("DEADBEEF"));
            QVERIFY(QFile::remove(name) || QDir().rmdir(name));
        };
        const QStringList write{"write", "--journal", journal}, traced{"--trace", trace, "write", "--journal", journal};
        refused(pending, [&] { return QFile::link(notes, pending); }, write, 9, " is a link: remove it");
        refused(pending, [&] { return QDir().mkdir(pending); }, write, 9, " is a folder: remove it");
        refused(pending, [&] { return make(pending, QFile::Permissions(0x6666), other); }, write, 9,
                " belongs to user " + otherUser + ": remove it");
        refused(lock, [&] { return QFile::link(notes, lock); }, {"read", "--reader", "/dev/hidraw9"}, 9, " is a link");
        refused(trace, [&] { return QFile::link(notes, trace); }, traced, 2, " is a link");
        refused(trace, [&] { return make(trace, QFile::Permissions(0x6666), other); }, traced, 2, " belongs to user");
        for (const QString &kept : {journal, pending}) {
            const Run run = runCli({"--trace", kept, "write", "--journal", journal});
            QVERIFY2(run.exitCode == 2 && run.err.contains("keeps the journal's rows"), qPrintable(run.err));
        }
        QVERIFY(make(trace, QFile::Permissions(0x6644), ::geteuid()));
        QFile old(trace);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(runCli(traced).exitCode, 0);
        QCOMPARE(old.readAll(), QByteArray("DEADBEEF,prepared\r\n"));
        checkTrace(trace, "quendel-card", "[transport-key]");
    }

    // A drain of the pending rows stopped dead at each of its steps, or
    // whose pending file cannot be emptied: the next write puts each pending
    // row into the journal once, in order, ahead of its own. A row cut short
    // at the journal's end is no row of theirs.
    void cli_pendingRowsGoInOnce()
    {
        const QString strace = QStandardPaths::findExecutable("strace");
        if (strace.isEmpty())
            QSKIP("needs strace to stop a drain at each step");
        const QString journal = runtimeDir->filePath("cards.csv"), pending = journal + ".pending";
        const QByteArray rows = "2026-12-07T09:00:00+01:00,/dev/hidraw0,0BADCAFE,writing,\r\n"
                                "2026-12-07T09:00:01+01:00,/dev/hidraw0,0BADCAFE,prepared,\r\n";
        for (const char *stop : {"flock:signal=KILL:when=2", "fsync:signal=KILL", "ftruncate:signal=KILL",
                                 "fsync:signal=KILL:when=2", "unlink:signal=KILL", "ftruncate:error=EIO"}) {
            QFile::remove(journal);
            for (const auto &[file, bytes, modes] : {std::tuple{journal, QByteArray("time,reader,uid,outcome,codes\r\n"), 0x6600},
                                                    {pending, rows, 0x6666}}) {
                QFile made(file);
                QVERIFY(made.open(QIODevice::WriteOnly) && made.write(bytes) == bytes.size()
                        && made.setPermissions(QFile::Permissions(modes)));
            }
            const Run stopped = runCli({"write", "--journal", journal}, {}, [&](QProcess &cli) {
                cli.setArguments(QStringList{"-f", "-o", "/dev/null", "-e", QString("inject=") + stop, cli.program()}
                                 + cli.arguments());
                cli.setProgram(strace);
            });
            QVERIFY2(QByteArray(stop).contains("KILL") || stopped.err.contains("cannot empty " + pending),
                     qPrintable(stopped.err));
            QVERIFY(!QFile::exists(pending) || QFileInfo(pending).permissions() == QFileInfo(journal).permissions());
            QCOMPARE(runCli({"write", "--journal", journal}).exitCode, 0);
            QCOMPARE(rowsOf(journal), QStringList({"reader,uid,outcome,codes", "/dev/hidraw0,0BADCAFE,writing,",
                                                   "/dev/hidraw0,0BADCAFE,prepared,", "/dev/hidraw0,1A2B3C4D,writing,",
                                                   "/dev/hidraw0,1A2B3C4D,prepared,", ""}));
            QVERIFY2(!QFile::exists(pending), stop);
        }
        // A drain cut short by a power cut, half a row at the journal's end;
        // and pending rows that begin with a bare line end, into a new journal.
        const QByteArray header = "time,reader,uid,outcome,codes\r\n";
        for (const QByteArray &before : {header + rows.left(rows.indexOf('\n') + 20), QByteArray()}) {
            for (const auto &[file, bytes] : {std::pair{journal, before}, {pending, (before.isEmpty() ? "\n" : "") + rows}}) {
                QFile made(file);
                QVERIFY(made.open(QIODevice::WriteOnly) && made.write(bytes) == bytes.size());
            }
            QCOMPARE(runCli({"write", "--journal", journal}).exitCode, 0);
            QCOMPARE(contents(journal).count("0BADCAFE,writing,\r\n") + contents(journal).count("0BADCAFE,prepared,\r\n"), 2);
        }
    }

    // The batch window, clicked and typed at as a person does: "开始", then
    // four cards laid and lifted in turn, the second with its writes refused
    // and then laid again and retried, then Space. Its rows, its counts and
    // the journal's rows agree. While quendel-card holds the reader, "开始"
    // names it and starts nothing; a reader unplugged mid-batch is told.
    void batchWindow_aBoxOfCards()
    {
        const QString display = startX();
        QVERIFY2(!display.isEmpty(), "no X server");
        startWindow({}, {}, display);
        QVERIFY(promptBecomes("按“开始”或空格键开始批量写卡"));
        clickAt("btnStart");
        const vr::Card blank = vr::Card::blank(kSecondUid), third = vr::Card::blank({0x0B, 0xAD, 0xCA, 0xFE});
        for (const auto &[card, refused] : {std::pair{std::optional<vr::Card>(), false}, {blank, true},
                                            {blank, false}, {third, false}}) {
            node->with([&, card = card, refused = refused](vr::Reader &reader) {
                reader.clearFaults();
                if (refused)
                    reader.failAlways(vr::Fault::StatusError, 0x17);
                if (card)
                    reader.layCard(*card);
            });
            QVERIFY(promptBecomes("请拿走卡片"));
            node->with([](vr::Reader &reader) { reader.removeCard(); });
            QVERIFY(promptBecomes("请放卡"));
        }
        asAPerson({"key", "space"});
        QVERIFY(promptBecomes("已停止"));
        const QJsonObject after = state();
        QCOMPARE(after["rows"].toArray(), (QJsonArray{"1 T 1A2B3C4D 已写好", "2 T 55667788 失败 4 4 4",
                                                      "3 T 55667788 已写好", "4 T 0BADCAFE 已写好"}));
        QCOMPARE(after["counts"].toString() + after["failed"].toString() + after["total"].toString(),
                 QString("已写好：3失败：1合计：4"));
        QCOMPARE(rowsOf(runtimeDir->filePath("data/quendel-writecard/journal.csv")),
                 QStringList({"reader,uid,outcome,codes", "/dev/hidraw0,1A2B3C4D,writing,",
                              "/dev/hidraw0,1A2B3C4D,prepared,", "/dev/hidraw0,55667788,writing,",
                              "/dev/hidraw0,55667788,failed,4 4 4", "/dev/hidraw0,55667788,writing,",
                              "/dev/hidraw0,55667788,prepared,", "/dev/hidraw0,0BADCAFE,writing,",
                              "/dev/hidraw0,0BADCAFE,prepared,", ""}));
        runCli({"batch", "--no-journal"}, [&](QProcess &cli) {
            QTest::qWait(500);
            clickAt("btnStart");
            QVERIFY(promptBecomes(QString("读写器正被命令行程序 quendel-card（pid %1）使用：先在那边断开或结束，再按“开始”")
                                          .arg(cli.processId())));
            cli.kill();
        });
        clickAt("btnStart");
        QVERIFY(promptBecomes("请放卡"));
        node->unplug();
        QVERIFY(promptBecomes("读写器已拔出：请插好后按开始"));
    }

    // kill -9 at random instants of the batch window's batch, from its
    // first request on, the first one while the trailer write, taken by the
    // card, waits for its lost answer: every card that a write reached has
    // a row.
    void batchWindow_killed()
    {
        const QString display = startX();
        QVERIFY2(!display.isEmpty(), "no X server");
        const QString journal = runtimeDir->filePath("data/quendel-writecard/journal.csv");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        int reached = 0;
        for (uint8_t i = 0; i < 10; i++) {
            const vr::Card blank = vr::Card::blank({0xBA, 0x7C, 0x00, i});
            node->with([&](vr::Reader &reader) { reader.layCard(blank); });
            startWindow({}, {}, display);
            QVERIFY(promptBecomes("按“开始”或空格键开始批量写卡"));
            if (i == 0)
                loseTrailerAnswer(*node);
            const size_t before = received(*node).size();
            clickAt("btnStart");
            QVERIFY(QTest::qWaitFor([&] {
                const std::vector<vr::Report> sent = received(*node);
                return i > 0 ? sent.size() > before
                             : std::count_if(sent.begin() + long(before), sent.end(),
                                             [](const vr::Report &report) { return report[2] == 0x17; }) == 2;
            }, 5000));
            QTest::qWait(i > 0 ? int(random.bounded(20)) : 0);
            ::kill(static_cast<pid_t>(app->processId()), SIGKILL);
            QVERIFY(app->waitForFinished(5000));
            driver = nullptr;
            reached += writtenUnfinished(blank, journal, QString("seed %1, card %2").arg(seed).arg(i));
        }
        qInfo("kill -9: %d of 10 cards written but not finished (seed %u)", reached, seed);
    }

    // Recorded traces (traces/) served back to the programs as built: the
    // same outcome. An answer edited changes it, and the requests left over
    // are told; a request off the trace stops the replay, and the message
    // shows no key.
    void replay_recordedTraces()
    {
        const QString traces = QUENDEL_E2E_TRACES, read = contents(traces + "/read-card-with-unknown-keys.trace");
        const auto replay = [&](const QString &trace) {
            QFile file(runtimeDir->filePath("replayed.trace"));
            std::string why;
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(trace.toUtf8()) == trace.toUtf8().size());
            file.close();
            QVERIFY2(node->replay(file.fileName().toStdString(), &why), why.c_str());
        };
        replay(read);
        const Run invalid = runCli({"read"});
        QVERIFY(invalid.exitCode == 5 && invalid.err.contains("opens with neither key"));
        QVERIFY(node->replayVerdict().empty());
        replay(QString(read).replace("< 01 d1 14 00 07 04 00 1a 2b 3c 4d 08 93 d2", "< 01 d1 14 01 00 [crc] d2"));
        QCOMPARE(runCli({"read"}).exitCode, 4);
        QVERIFY(QString::fromStdString(node->replayVerdict()).startsWith("the program ended before request 4"));

        replay(contents(traces + "/window-prepares-a-blank-card.trace"));
        startWindow();
        connectWindow();
        QCOMPARE(click("btnReadCard")["card"].toString(), QString("未写入"));
        QCOMPARE(click("btnWriteCard")["tip"].toString(), QString("写卡成功"));
        QCOMPARE(click("btnReadCard")["card"].toString(), QString("1A2B3C4D"));
        QCOMPARE(click("btnDisconnect")["lamp"].toString(), kRedLamp);

        replay(contents(traces + "/batch-lost-answer-swap-unplug.trace"));
        const QString journal = runtimeDir->filePath("cards.csv");
        const Run batch = runCli({"batch", "--journal", journal});
        QCOMPARE(batch.exitCode, 3);
        QCOMPARE(batch.out, kBatchOut);
        QCOMPARE(rowsOf(journal), kBatchRows);
        QVERIFY(node->replayVerdict().empty());

        // On a node of its own: the batch unplugged this one, and a
        // mismatch unplugs too.
        node = std::make_unique<ReaderNode>();
        std::string why;
        QVERIFY2(node->start(QUENDEL_READER_DESCRIPTION, &why), why.c_str());
        replay(QString(read).replace("38 [site-key]", "38 [other-key]"));
        runCli({"read"});
        const QString mismatch = QString::fromStdString(node->replayVerdict());
        QVERIFY2(mismatch.contains("request 4 differs from the trace:\n  trace: ")
                         && mismatch.endsWith("actual: 01 d1 15 0b 1a 2b 3c 4d 38 [site-key] [crc] d2"),
                 qPrintable(mismatch));
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
    // As root, where useradd makes a user; else the case is skipped.
    const bool asAnotherUser = argc > 1 && QByteArray(argv[1]).contains("AnotherUser");
    otherUser = QString("quendel-e2e-%1").arg(QCoreApplication::applicationPid());
    if (asAnotherUser && (::geteuid() != 0 || QProcess::execute("useradd", {"--no-create-home", otherUser}) != 0)) {
        std::printf("SKIP: cannot make a local user to act as another user\n");
        return 77;
    }
    TestEndToEnd test;
    const int status = QTest::qExec(&test, argc, argv);
    if (asAnotherUser)
        QProcess::execute("userdel", {otherUser});
    return status;
}

#include "tst_e2e.moc"
