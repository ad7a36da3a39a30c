// "读卡" and "写卡" driven through the real window over a virtual reader:
// what the operator sees, what the log says, which reports go out and what
// ends up on the card, with the reader failing at every step on the way.
#include "reader.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QComboBox>
#include <QTimer>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <functional>
#include <memory>
#include <optional>

namespace vr = virtual_reader;

using Disturbance = std::function<void(vr::Reader &)>;
Q_DECLARE_METATYPE(Disturbance)

namespace {

const char kPath[] = "/dev/hidraw-window";
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const vr::Uid kOtherUid = {0x55, 0x66, 0x77, 0x88};
// Block 56 of a blank card: anything that does not start with its UID.
const vr::Block kBlankBlock56 = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const std::array<uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};
const QString kGreen = QStringLiteral("color: rgb(0, 255, 0);font-size: 11pt;");
const QString kRed = QStringLiteral("color: rgb(255, 0, 0);font-size: 11pt;");
constexpr int kPreRequest = 0x10, kRequest = 0x14, kAuth = 0x15, kRead = 0x16, kWrite = 0x17;
// A write attempt sends 0x10 0x14 0x15 0x17 0x16 0x17, the last one to the trailer.
constexpr int kTrailerWriteOfFirstAttempt = 5;

QStringList debugLog;

void captureDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLog << message;
}

vr::Card blankCard(const vr::Uid &uid)
{
    vr::Card card = vr::Card::blank(uid);
    card.setRaw(56, kBlankBlock56);
    return card;
}

bool startsWith(const vr::Block &block, const vr::Uid &uid)
{
    return std::equal(uid.begin(), uid.end(), block.begin());
}

// Sector 14 usable, its keys a known pair, and block 56 either as delivered
// or carrying the card's own number: never another card's.
bool cardIsSound(const vr::Card &card)
{
    const vr::Key keyA = card.keyA(14);
    const bool knownKeys = keyA == card.keyB(14) && (keyA == vr::kSiteKey || keyA == vr::kTransportKey);
    const vr::Block block56 = card.raw(56);
    return !card.sectorBlocked(14) && card.accessBytes(14) == kTransportAccess && knownKeys
            && (block56 == kBlankBlock56 || startsWith(block56, card.uid()));
}

// Block 56 holds the UID and keeps the other twelve bytes; sector 14 is on the site key.
bool cardIsPrepared(const vr::Card &card)
{
    const vr::Block block56 = card.raw(56);
    return cardIsSound(card) && card.keyA(14) == vr::kSiteKey && startsWith(block56, card.uid())
            && std::equal(block56.begin() + 4, block56.end(), kBlankBlock56.begin() + 4);
}

// The log lines of failed write attempts, as the codes would produce them.
QStringList attemptErrorLines(const QList<int> &codes)
{
    QStringList lines;
    for (int code : codes) {
        if (code == 4)
            lines << QStringLiteral("ret = -1");
        lines << QStringLiteral("write card err: %1").arg(code);
    }
    return lines;
}

}  // namespace

class TestReadWrite : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;
    std::unique_ptr<Widget> window;
    QtMessageHandler previousHandler = nullptr;
    std::optional<vr::Card> takenAway;

    template <typename T>
    T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QPushButton *writeButton() { return child<QPushButton>("btnWriteCard"); }
    QString number() { return child<QLabel>("lblCardId")->text(); }
    QString tip() { return child<QLabel>("lblTip")->text(); }
    QString tipStyle() { return child<QLabel>("lblTip")->styleSheet(); }

    void read() { child<QPushButton>("btnReadCard")->click(); }
    void write() { writeButton()->click(); }

    // Starts a workflow with a clean log and report record.
    void forget()
    {
        debugLog.clear();
        reader->clearReceived();
    }

    QList<int> commandsSent() const
    {
        QList<int> commands;
        for (const vr::Report &report : reader->received())
            commands << report[2];
        return commands;
    }

    QByteArray keySent(int report) const
    {
        return QByteArray(reinterpret_cast<const char *>(&reader->received()[report][9]), 6).toHex();
    }

    int block56WritesSent() const
    {
        return int(std::count_if(reader->received().begin(), reader->received().end(),
                                 [](const vr::Report &r) { return r[2] == kWrite && r[4] == 56; }));
    }

    // Takes the card off the reader the `nth` time `command` goes out,
    // keeping what it held at that moment.
    Disturbance takeAwayAt(int command, int nth)
    {
        return [this, command, nth](vr::Reader &r) {
            // The reader calls a copy of the hook, so the count lives outside it.
            auto seen = std::make_shared<int>(0);
            r.onRequest = [this, &r, command, nth, seen](uint8_t sent) {
                if (sent == command && ++*seen == nth) {
                    takenAway = *r.card();
                    r.removeCard();
                }
            };
        };
    }

    static Disturbance fault(vr::Fault kind, int command, bool always = false)
    {
        return [=](vr::Reader &r) { always ? r.failAlways(kind, command) : r.failNext(kind, command); };
    }

    static Disturbance layAt(int command, const vr::Card &card)
    {
        return [=](vr::Reader &r) {
            r.onRequest = [&r, command, card](uint8_t sent) {
                if (sent == command) {
                    r.onRequest = nullptr;
                    r.layCard(card);
                }
            };
        };
    }

    void undisturb()
    {
        reader->clearFaults();
        reader->onRequest = nullptr;
    }

private slots:
    void init()
    {
        previousHandler = qInstallMessageHandler(captureDebug);
        reader_close();
        vr::unplugAll();
        takenAway.reset();
        reader = &vr::plug({kPath, L"Maker", L"Card Reader", L"1", 0x0100});
        window = std::make_unique<Widget>();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "do_mScanDeviceTmr_timeout"));
        QCOMPARE(child<QComboBox>("comPort")->count(), 1);
        child<QPushButton>("btnConnect")->click();
        QVERIFY(reader->isOpen());
        reader->layCard(blankCard(kUid));
        forget();
    }

    void cleanup()
    {
        qInstallMessageHandler(previousHandler);
        window.reset();
        reader_close();
        vr::unplugAll();
    }

    void blankCard_isReadWrittenAndReadAgain()
    {
        read();
        QCOMPARE(number(), QStringLiteral("未写入"));
        QCOMPARE(tip(), QStringLiteral("读卡成功"));
        QCOMPARE(tipStyle(), kGreen);
        QVERIFY(writeButton()->isEnabled());
        QCOMPARE(debugLog, QStringList({
                "[RD]UID: 1A2B3C4D, ATQA: 0004, SAK: 08, Key: d4 7e 0b 91 c6 f3",
                "[RD]S14B0: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af"}));
        QCOMPARE(commandsSent(), QList<int>({kPreRequest, kRequest, kAuth, kAuth, kRead}));
        QCOMPARE(keySent(2), QByteArray("3c5a17e29b40"));  // the site key is tried first
        QCOMPARE(keySent(3), QByteArray("d47e0b91c6f3"));

        forget();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        QCOMPARE(tipStyle(), kGreen);
        QCOMPARE(debugLog, QStringList({
                "[WR]UID: 未写入, ATQA: 0004, SAK: 08, Key: d4 7e 0b 91 c6 f3",
                "[WR]S14B0: 1a 2b 3c 4d a4 a5 a6 a7 a8 a9 aa ab ac ad ae af"}));
        QCOMPARE(commandsSent(), QList<int>({kPreRequest, kRequest, kAuth, kWrite, kRead, kWrite}));
        QVERIFY(cardIsPrepared(*reader->card()));
        QCOMPARE(reader->card()->keyB(14), vr::kSiteKey);
        QCOMPARE(number(), QStringLiteral("未写入"));  // the write leaves the record alone
        QVERIFY(writeButton()->isEnabled());

        forget();
        read();
        QCOMPARE(number(), QStringLiteral("1A2B3C4D"));
        QCOMPARE(debugLog, QStringList({
                "[RD]UID: 1A2B3C4D, ATQA: 0004, SAK: 08, Key: 3c 5a 17 e2 9b 40",
                "[RD]S14B0: 1a 2b 3c 4d a4 a5 a6 a7 a8 a9 aa ab ac ad ae af"}));
        QCOMPARE(commandsSent(), QList<int>({kPreRequest, kRequest, kAuth, kRead}));
    }

    // A read after a good read of a prepared card. Only a missing card clears
    // the record, which the read after that then logs again.
    void read_afterAGoodRead_data()
    {
        QTest::addColumn<Disturbance>("disturb");
        QTest::addColumn<QString>("expectedTip");
        QTest::addColumn<QString>("expectedNumber");
        QTest::addColumn<bool>("recordCleared");
        const QString ok = QStringLiteral("读卡成功"), noCard = QStringLiteral("未检测到卡"),
                      invalid = QStringLiteral("无效卡"), failed = QStringLiteral("读卡失败");
        const QString shown = QStringLiteral("1A2B3C4D");

        using F = vr::Fault;
        const auto none = Disturbance([](vr::Reader &) {});
        const auto removeCard = Disturbance([](vr::Reader &r) { r.removeCard(); });
        const auto unknownCard = Disturbance([](vr::Reader &r) {
            r.layCard(vr::Card::unknownKeys(kOtherUid));
        });

        QTest::newRow("same card again") << none << ok << shown << false;
        QTest::newRow("pre-request unanswered") << fault(F::NoAnswer, kPreRequest) << ok << shown << false;
        QTest::newRow("no card") << removeCard << noCard << QString() << true;
        QTest::newRow("card request answered late") << fault(F::LateAnswer, kRequest)
                                                    << noCard << QString() << true;
        QTest::newRow("unknown keys") << unknownCard << invalid << shown << false;
        QTest::newRow("other card after the request") << layAt(kAuth, blankCard(kOtherUid))
                                                      << invalid << shown << false;
        QTest::newRow("bad checksum on the block read") << fault(F::BadChecksum, kRead)
                                                        << failed << shown << false;
        QTest::newRow("card removed before the block read") << takeAwayAt(kRead, 1)
                                                            << failed << shown << false;
    }

    void read_afterAGoodRead()
    {
        QFETCH(Disturbance, disturb);
        QFETCH(QString, expectedTip);
        QFETCH(QString, expectedNumber);
        QFETCH(bool, recordCleared);
        reader->layCard(vr::Card::prepared(kUid));
        read();
        QCOMPARE(number(), QStringLiteral("1A2B3C4D"));

        disturb(*reader);
        forget();
        read();
        const bool success = expectedTip == QStringLiteral("读卡成功");
        QCOMPARE(tip(), expectedTip);
        QCOMPARE(tipStyle(), success ? kGreen : kRed);
        QCOMPARE(number(), expectedNumber);
        QCOMPARE(writeButton()->isEnabled(), success);
        QCOMPARE(debugLog, QStringList());

        undisturb();
        reader->layCard(vr::Card::prepared(kUid));
        forget();
        read();
        QCOMPARE(tip(), QStringLiteral("读卡成功"));
        QCOMPARE(number(), QStringLiteral("1A2B3C4D"));
        QCOMPARE(debugLog.size(), recordCleared ? 2 : 0);
    }

    // A blank card just read, with the reader failing along the way: each
    // failed attempt logs its code, the card is always left sound, and a new
    // read and write finish whatever the failures left undone.
    void write_retries_data()
    {
        QTest::addColumn<Disturbance>("disturb");
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<int>("blockWrites");
        using F = vr::Fault;
        using Codes = QList<int>;
        const auto trailerWriteFault = [](F kind) {
            return Disturbance([kind](vr::Reader &r) { r.failAt(kTrailerWriteOfFirstAttempt, kind); });
        };

        QTest::newRow("request refused once") << fault(F::StatusError, kRequest) << Codes{1} << true << 1;
        QTest::newRow("authentication refused once") << fault(F::StatusError, kAuth) << Codes{2} << true << 1;
        QTest::newRow("block write refused once") << fault(F::StatusError, kWrite) << Codes{4} << true << 2;
        QTest::newRow("trailer read refused once") << fault(F::StatusError, kRead) << Codes{5} << true << 2;
        QTest::newRow("block write answered late") << fault(F::LateAnswer, kWrite) << Codes{4} << true << 2;
        QTest::newRow("bad checksum on the trailer read") << fault(F::BadChecksum, kRead)
                                                          << Codes{5} << true << 2;
        QTest::newRow("block write always refused") << fault(F::StatusError, kWrite, true)
                                                    << Codes{4, 4, 4} << false << 3;
        // The number is written, the keys never move.
        QTest::newRow("trailer read always refused") << fault(F::StatusError, kRead, true)
                                                     << Codes{5, 5, 5} << false << 3;
        QTest::newRow("card removed before the block write") << takeAwayAt(kWrite, 1)
                                                             << Codes{4, 1, 1} << false << 1;
        QTest::newRow("card removed before the trailer write") << takeAwayAt(kWrite, 2)
                                                               << Codes{5, 1, 1} << false << 1;
        // The card took the new keys but the answer was lost: the retries no
        // longer open it with the recorded key.
        QTest::newRow("trailer write answered late") << trailerWriteFault(F::LateAnswer)
                                                     << Codes{5, 2, 2} << true << 1;
        QTest::newRow("bad checksum on the trailer write") << trailerWriteFault(F::BadChecksum)
                                                           << Codes{5, 2, 2} << true << 1;
    }

    void write_retries()
    {
        QFETCH(Disturbance, disturb);
        QFETCH(QList<int>, codes);
        QFETCH(bool, prepared);
        QFETCH(int, blockWrites);
        read();
        disturb(*reader);
        forget();
        write();

        const bool success = codes.size() < 3;
        QCOMPARE(tip(), success ? QStringLiteral("写卡成功") : QStringLiteral("写卡失败"));
        QCOMPARE(tipStyle(), success ? kGreen : kRed);
        QCOMPARE(debugLog.mid(2), attemptErrorLines(codes));
        QCOMPARE(block56WritesSent(), blockWrites);
        QVERIFY(writeButton()->isEnabled());

        undisturb();
        if (takenAway)
            reader->layCard(*takenAway);
        QVERIFY(cardIsSound(*reader->card()));
        QCOMPARE(cardIsPrepared(*reader->card()), prepared);
        read();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        QVERIFY(cardIsPrepared(*reader->card()));
    }

    // The write goes only to the card that was read: any other card would
    // end up carrying the read card's number.
    void write_refusesAnyCardButTheOneRead_data()
    {
        QTest::addColumn<Disturbance>("disturb");
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<QList<int>>("commands");
        const QList<int> refused = {kPreRequest, kRequest};

        QTest::newRow("no card") << Disturbance([](vr::Reader &r) { r.removeCard(); })
                                 << QList<int>{1, 1, 1} << refused + refused + refused;
        QTest::newRow("other card laid after the read")
                << Disturbance([](vr::Reader &r) { r.layCard(blankCard(kOtherUid)); })
                << QList<int>{1, 1, 1} << refused + refused + refused;
        QTest::newRow("other card laid during the write") << layAt(kWrite, blankCard(kOtherUid))
                << QList<int>{4, 1, 1}
                << QList<int>{kPreRequest, kRequest, kAuth, kWrite} + refused + refused;
    }

    void write_refusesAnyCardButTheOneRead()
    {
        QFETCH(Disturbance, disturb);
        QFETCH(QList<int>, codes);
        QFETCH(QList<int>, commands);
        read();
        disturb(*reader);
        forget();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡失败"));
        QCOMPARE(debugLog.mid(2), attemptErrorLines(codes));
        QCOMPARE(commandsSent(), commands);
        if (reader->card()) {
            QCOMPARE(reader->card()->raw(56), kBlankBlock56);
            QCOMPARE(reader->card()->keyA(14), vr::kTransportKey);
            QVERIFY(cardIsSound(*reader->card()));
        }
    }

    // The record still holds the transport key: without a new read the card
    // no longer opens. A new read records the site key, and the write then
    // leaves the trailer alone.
    void write_again_needsANewRead()
    {
        read();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        forget();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡失败"));
        QCOMPARE(debugLog.mid(2), attemptErrorLines({2, 2, 2}));
        QVERIFY(cardIsPrepared(*reader->card()));

        read();
        forget();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        QCOMPARE(debugLog.first(),
                 QStringLiteral("[WR]UID: 1A2B3C4D, ATQA: 0004, SAK: 08, Key: 3c 5a 17 e2 9b 40"));
        QCOMPARE(commandsSent(), QList<int>({kPreRequest, kRequest, kAuth, kWrite}));
        QVERIFY(cardIsPrepared(*reader->card()));
    }

    // The tip timer cannot be reached from outside, so this one waits: each
    // read restarts it, the write does not. The clearing keeps the style.
    // The tip timer is the window's own; reference timers of the same
    // interval, started just before and just after the last read, tell
    // whether that read restarted it and the write left it alone.
    void tip_clearedTwoSecondsAfterTheLastRead()
    {
        QString tipBeforeLastRead, tipAfterLastRead;
        QTimer beforeLastRead, afterLastRead;
        for (QTimer *timer : {&beforeLastRead, &afterLastRead})
            timer->setSingleShot(true);
        connect(&beforeLastRead, &QTimer::timeout, this, [&] { tipBeforeLastRead = tip(); });
        connect(&afterLastRead, &QTimer::timeout, this, [&] { tipAfterLastRead = tip(); });

        read();
        QTest::qWait(200);
        beforeLastRead.start(2000);
        read();
        afterLastRead.start(2000);
        QTest::qWait(200);
        write();
        QTRY_VERIFY_WITH_TIMEOUT(!afterLastRead.isActive(), 10000);

        QCOMPARE(tipBeforeLastRead, QStringLiteral("写卡成功"));
        QCOMPARE(tipAfterLastRead, QString());
        QCOMPARE(tipStyle(), kGreen);
    }
};

QTEST_MAIN(TestReadWrite)
#include "tst_read_write.moc"
