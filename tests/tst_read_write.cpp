// "读卡" and "写卡" driven through the real window over a virtual reader: an
// operator's day, the write's codes per failing step, the tip timer, and the
// fault matrix, which fails every transaction of both workflows in every
// way a reader or a card can fail and checks what must hold whatever the
// outcome.
#include "reader.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <functional>
#include <memory>
#include <optional>

namespace vr = virtual_reader;

using Disturbance = std::function<void(vr::Reader &)>;
Q_DECLARE_METATYPE(Disturbance)

namespace {

const vr::Identity kIdentity{"/dev/hidraw-window", L"Maker", L"Card Reader", L"1", 0x0100};
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const vr::Uid kOtherUid = {0x55, 0x66, 0x77, 0x88};
const QString kGreen = QStringLiteral("color: rgb(0, 255, 0);font-size: 11pt;");
const QString kRed = QStringLiteral("color: rgb(255, 0, 0);font-size: 11pt;");
constexpr int P = 0x10, R = 0x14, A = 0x15, Rd = 0x16, W = 0x17;  // the commands

// The last three take the card away from the workflow; the test itself
// removes or swaps the card.
const std::pair<const char *, std::optional<vr::Fault>> kFaults[] = {
    {"no answer", vr::Fault::NoAnswer}, {"late answer", vr::Fault::LateAnswer},
    {"bad checksum", vr::Fault::BadChecksum}, {"wrong echo", vr::Fault::WrongEcho},
    {"bad marker", vr::Fault::BadEnd}, {"overlong length", vr::Fault::LengthBeyondReport},
    {"status error", vr::Fault::StatusError}, {"short answer", vr::Fault::ShortAnswer},
    {"card removed", {}}, {"card swapped", {}}, {"reader unplugged", vr::Fault::Unplug},
};
constexpr int kFaultCount = int(std::size(kFaults)), kCardSwapped = 9, kUnplugged = 10;

struct Scenario { const char *name; bool write; bool prepared; const char *steps; };
const Scenario kScenarios[] = {
    {"read, blank card", false, false, "pre-request,card request,auth site key,auth transport key,read 56"},
    {"read, prepared card", false, true, "pre-request,card request,auth site key,read 56"},
    {"write, blank card", true, false, "pre-request,card request,auth,write 56,read trailer,write trailer"},
    {"write, prepared card", true, true, "pre-request,card request,auth,write 56"},
};

QStringList debugLog;

// How far a write got on a card, against the card as laid. A sound card
// keeps its access bytes, has one known key as key A and key B, and block
// 56 as laid or with its own number in front: never another card's.
enum CardState { Unsound, Untouched, Numbered, Prepared };

CardState stateOf(const vr::Card &card, const vr::Card &asLaid)
{
    vr::Block numbered = asLaid.raw(56);
    std::copy(asLaid.uid().begin(), asLaid.uid().end(), numbered.begin());
    const vr::Block block = card.raw(56);
    const vr::Key key = card.keyA(14);
    if (card.sectorBlocked(14) || card.accessBytes(14) != asLaid.accessBytes(14) || key != card.keyB(14)
            || (block != numbered && block != asLaid.raw(56)))
        return Unsound;
    if (key == vr::kTransportKey)
        return block == numbered ? Numbered : Untouched;
    return key == vr::kSiteKey && block == numbered ? Prepared : Unsound;
}

QStringList errorLines(const QList<int> &codes)
{
    QStringList lines;
    for (int code : codes)
        lines << (code == 4 ? QStringList{"ret = -1", "write card err: 4"} : QStringList{QString("write card err: %1").arg(code)});
    return lines;
}

}  // namespace

class TestReadWrite : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;
    std::unique_ptr<Widget> window;
    std::unique_ptr<QTemporaryDir> journalFolder;  // each test's own
    QtMessageHandler previousHandler = nullptr;

    template <typename T>
    T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QString number() { return child<QLabel>("lblCardId")->text(); }
    QString tip() { return child<QLabel>("lblTip")->text(); }
    QString tipStyle() { return child<QLabel>("lblTip")->styleSheet(); }
    bool writable() { return child<QPushButton>("btnWriteCard")->isEnabled(); }
    void read() { child<QPushButton>("btnReadCard")->click(); }
    void write() { child<QPushButton>("btnWriteCard")->click(); }
    void forget() { debugLog.clear(); reader->clearReceived(); }
    bool scan() { return QMetaObject::invokeMethod(window.get(), "do_mScanDeviceTmr_timeout"); }

    // A tick lists the reader (or, while connected, finds it gone), and "连接" opens it.
    bool connectReader()
    {
        scan();
        child<QPushButton>("btnConnect")->click();
        return reader->isOpen();
    }

    QList<int> commandsSent() const
    {
        QList<int> commands;
        for (const vr::Report &report : reader->received())
            commands << report[2];
        return commands;
    }

private slots:
    void init()
    {
        previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &,
                                                    const QString &message) {
            if (type == QtDebugMsg)
                debugLog << message;
        });
        reader = &vr::plug(kIdentity);
        journalFolder = std::make_unique<QTemporaryDir>();
        window = std::make_unique<Widget>(nullptr, journalFolder->filePath("journal.csv"));
        QVERIFY(connectReader());
        reader->layCard(vr::Card::blank(kUid));  // block 56 does not start with the UID
        forget();
    }

    void cleanup()
    {
        qInstallMessageHandler(previousHandler);
        window.reset();
        reader_close();
        vr::unplugAll();
    }

    // The operator's day with a blank card, one read or write a step, each
    // with the card laid before it ("" leaves the reader as it is). Its
    // journal is held by another program at first, as a spreadsheet holds
    // it on Windows (elsewhere a folder stands in its place): the rows wait,
    // then go in, in order, once it is let go.
    void operatorsDay()
    {
        const QString journal = journalFolder->filePath("journal.csv");
#ifdef Q_OS_WIN
        QVERIFY(QFile(journal).open(QIODevice::WriteOnly));
        HANDLE held = CreateFileW(reinterpret_cast<const wchar_t *>(journal.utf16()), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        const auto letGo = [&] { return CloseHandle(held); };
#else
        QVERIFY(QDir().mkpath(journal));
        const auto letGo = [&] { return QDir(journal).removeRecursively(); };
#endif
        const QByteArray block = QByteArray((const char *)vr::Card::blank(kUid).raw(56).data(), 16).toHex(' ');
        const QByteArray numbered = "1a 2b 3c 4d" + block.mid(11), site = "3c 5a 17 e2 9b 40";
        const QString card = "UID: 1A2B3C4D, ATQA: 0004, SAK: 08, Key: ", transport = "d4 7e 0b 91 c6 f3";
        const QStringList readBlank = {"[RD]" + card + transport, "[RD]S14B0: " + block};
        const QStringList readPrepared = {"[RD]" + card + site, "[RD]S14B0: " + numbered};
        const QStringList writeBlank = {"[WR]UID: 未写入, ATQA: 0004, SAK: 08, Key: " + transport, "[WR]S14B0: " + numbered};
        const QStringList writePrepared = {"[WR]" + card + site, "[WR]S14B0: " + numbered};
        struct Step { const char *lay; bool write; const char *tip; const char *number; QStringList log; QList<int> sent; };
        const Step day[] = {
            // The site key is tried first.
            {"", false, "读卡成功", "未写入", readBlank, {P, R, A, A, Rd}},
            {"", true, "写卡成功", "未写入", writeBlank, {P, R, A, W, Rd, W}},
            // The record still holds the transport key: without a new read
            // the card no longer opens.
            {"", true, "写卡失败", "未写入", writeBlank + errorLines({2, 2, 2}), {P, R, A, P, R, A, P, R, A}},
            {"", false, "读卡成功", "1A2B3C4D", readPrepared, {P, R, A, Rd}},
            // On the site key already: the trailer is left alone.
            {"", true, "写卡成功", "1A2B3C4D", writePrepared, {P, R, A, W}},
            // The card recorded, or one that opens with neither key, logs
            // nothing and keeps the number; only a missing card clears it,
            // and so the next read logs again.
            {"", false, "读卡成功", "1A2B3C4D", {}, {P, R, A, Rd}},
            {"unknown", false, "无效卡", "1A2B3C4D", {}, {P, R, A, A}},
            {"written", false, "读卡成功", "1A2B3C4D", {}, {P, R, A, Rd}},
            {"none", false, "未检测到卡", "", {}, {P, R}},
            {"written", false, "读卡成功", "1A2B3C4D", readPrepared, {P, R, A, Rd}},
        };
        std::optional<vr::Card> written;
        for (const Step &step : day) {
            const QByteArray lay(step.lay);
            if (lay == "unknown")
                written = *reader->card();
            if (!lay.isEmpty())
                lay == "none" ? reader->removeCard()
                              : reader->layCard(lay == "unknown" ? vr::Card::unknownKeys(kOtherUid) : *written);
            forget();
            const bool writableBefore = writable();
            step.write ? write() : read();
            QCOMPARE(tip(), QString::fromUtf8(step.tip));
            QCOMPARE(tipStyle(), tip().endsWith("成功") ? kGreen : kRed);
            QCOMPARE(number(), QString::fromUtf8(step.number));
            QCOMPARE(debugLog, step.log);
            QCOMPARE(commandsSent(), step.sent);
            QCOMPARE(writable(), step.write ? writableBefore : tip() == "读卡成功");
            if (step.write)
                QCOMPARE(stateOf(*reader->card(), vr::Card::blank(kUid)), Prepared);
            if (step.write && tip() == "写卡失败")
                QVERIFY(letGo());
        }
        QFile rows(journal);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        QStringList outcomes;
        for (const QByteArray &row : rows.readAll().split('\n'))
            outcomes << QString(row).section(',', 3).trimmed();
        QCOMPARE(outcomes, QStringList({"outcome,codes", "writing,", "prepared,", "writing,", "failed,2 2 2", "writing,",
                                        "prepared,", ""}));
        QCOMPARE(QFileInfo(journal + ".pending").size(), 0);
    }

    // A blank card just read, with the write failing along the way: each
    // failed attempt logs its code, and the card is left sound and as far
    // as the write got. Only the card that was read is written.
    void write_codesPerFailingStep_data()
    {
        QTest::addColumn<Disturbance>("disturb");
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<int>("reached");
        // Counted from the write's first request: 0x10 0x14 0x15 0x17 0x16 0x17.
        const auto failAt = [](int request, vr::Fault fault = vr::Fault::StatusError) {
            return Disturbance([=](vr::Reader &r) { r.failAt(request, fault); });
        };
        // Refused once: the card request, the authentication, the block write, the trailer read.
        for (const auto &[request, code] : {std::pair{1, 1}, {2, 2}, {3, 4}, {4, 5}})
            QTest::addRow("request %d refused", request) << failAt(request) << QList<int>{code} << int(Prepared);
        QTest::newRow("trailer read always refused") << Disturbance([](vr::Reader &r) {
            r.failAlways(vr::Fault::StatusError, Rd); }) << QList<int>{5, 5, 5} << int(Numbered);
        // The card took the new keys but the answer was lost: the retry finds
        // it on the site key with its number, prepared.
        QTest::newRow("trailer write answered late") << failAt(5, vr::Fault::LateAnswer) << QList<int>{5}
                                                     << int(Prepared);
        QTest::newRow("other card laid after the read") << Disturbance([](vr::Reader &r) {
            r.layCard(vr::Card::blank(kOtherUid)); }) << QList<int>{1, 1, 1} << int(Untouched);
    }

    void write_codesPerFailingStep()
    {
        QFETCH(Disturbance, disturb);
        QFETCH(QList<int>, codes);
        QFETCH(int, reached);
        read();
        disturb(*reader);
        forget();
        write();
        QCOMPARE(tip(), codes.size() < 3 ? QStringLiteral("写卡成功") : QStringLiteral("写卡失败"));
        QCOMPARE(debugLog.mid(2), errorLines(codes));
        if (reached == Untouched)
            QVERIFY(!commandsSent().contains(A));
        if (reader->card())
            QCOMPARE(int(stateOf(*reader->card(), vr::Card::blank(reader->card()->uid()))), reached);
    }

    // The tip timer cannot be reached from outside, so this one waits, with
    // reference timers of the same interval and kind: each read restarts
    // the tip timer, a write does not, and it fires once. The clearing keeps
    // the style.
    void tip_clearedTwoSecondsAfterTheLastRead()
    {
        QObject scope;  // stops the reference timers when the test ends
        QStringList seen;
        read();
        QTest::qWait(200);
        QTimer::singleShot(2000, &scope, [&] { seen << tip(); });  // just before the clearing
        read();
        QTimer::singleShot(2000, &scope, [&] {  // just after it
            seen << tip() << tipStyle();
            write();  // fails: the card took the site key at the first write
            QTimer::singleShot(2000, &scope, [&] { seen << tip(); });
        });
        QTest::qWait(200);
        write();
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 4, 10000);
        QCOMPARE(seen, (QStringList{"写卡成功", "", kGreen, "写卡失败"}));
    }

    void matrix_data()
    {
        QTest::addColumn<int>("s");
        QTest::addColumn<int>("t");
        QTest::addColumn<int>("f");
        for (int s = 0; s < int(std::size(kScenarios)); ++s) {
            const QStringList steps = QString(kScenarios[s].steps).split(',');
            for (int t = 0; t < steps.size(); ++t)
                for (int f = 0; f < kFaultCount; ++f)
                    QTest::addRow("%s: %s x %s", kScenarios[s].name, qPrintable(steps[t]), kFaults[f].first)
                            << s << t << f;
        }
    }

    // Whatever the outcome: the tip's colour is its verdict's; a read shows
    // the number of the card on the reader or keeps the last one; a write
    // reports success only with the card prepared; every card is left
    // sound; the link passes the next heartbeat; and once the fault is gone
    // one clean read and write finish the card.
    void matrix()
    {
        QFETCH(int, s);
        QFETCH(int, t);
        QFETCH(int, f);
        const Scenario &scenario = kScenarios[s];
        const auto cardOf = scenario.prepared ? vr::Card::prepared : vr::Card::blank;
        const vr::Card card = cardOf(kUid), other = cardOf(kOtherUid);
        reader->layCard(card);
        read();
        QCOMPARE(tip(), QStringLiteral("读卡成功"));
        const QString numberBefore = number();

        // The fault on the workflow's t-th transaction only.
        std::optional<vr::Card> takenAway;
        if (const std::optional<vr::Fault> played = kFaults[f].second)
            reader->failAt(t, *played);
        reader->onRequest = [&](uint8_t) {
            if (kFaults[f].second || int(reader->received().size()) != t + 1)
                return;
            takenAway = *reader->card();
            f == kCardSwapped ? reader->layCard(other) : reader->removeCard();
        };
        forget();
        scenario.write ? write() : read();
        reader->onRequest = nullptr;
        reader->clearFaults();

        QCOMPARE(tipStyle(), tip().endsWith("成功") ? kGreen : kRed);
        const vr::Card *onReader = reader->card();
        if (scenario.write) {
            QCOMPARE(number(), numberBefore);
            QVERIFY(writable());
            if (tip() == "写卡成功")
                QCOMPARE(stateOf(*onReader, card), Prepared);
        } else {
            const bool done = tip() == "读卡成功";
            if (done)
                QCOMPARE(number(), scenario.prepared ? QString(QByteArray((const char *)onReader->uid().data(), 4).toHex().toUpper())
                                                     : QString("未写入"));
            else
                QCOMPARE(number(), tip() == "未检测到卡" ? QString() : numberBefore);
            QCOMPARE(writable(), done);
            QCOMPARE(debugLog.filter("[RD]").size(), done && onReader->uid() != kUid ? 2 : 0);
        }
        QVERIFY(stateOf(takenAway ? *takenAway : *onReader, card) != Unsound);
        if (f == kCardSwapped)
            QVERIFY(stateOf(*onReader, other) != Unsound);

        // An unplugged reader comes back under the same path: the heartbeat
        // finds the old one gone, and "连接" opens the new one.
        if (f == kUnplugged) {
            const vr::Card left = *onReader;
            reader = &vr::plug(kIdentity);
            reader->layCard(left);
            QVERIFY(connectReader());
        } else {
            QVERIFY(scan());
            QVERIFY(reader->isOpen());
        }
        if (takenAway)
            reader->layCard(*takenAway);
        read();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        QCOMPARE(stateOf(*reader->card(), card), Prepared);
        read();
        QCOMPARE(number(), QStringLiteral("1A2B3C4D"));
    }
};

QTEST_MAIN(TestReadWrite)
#include "tst_read_write.moc"
