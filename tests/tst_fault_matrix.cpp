// Every transaction of "读卡" and "写卡", through the real window, failing in
// every way a reader or a card can fail, one pair at a time. For each pair:
// what the operator sees, that the card is left in a state from which a new
// read and write finish the job, and that they do once the fault is gone.
// The outcomes are printed as one table per workflow and card.
#include "reader.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

namespace vr = virtual_reader;

namespace {

const vr::Identity kIdentity{"/dev/hidraw-matrix", L"Maker", L"Card Reader", L"1", 0x0100};
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const vr::Uid kOtherUid = {0x55, 0x66, 0x77, 0x88};

const QString kReadOk = QStringLiteral("读卡成功");
const QString kNoCard = QStringLiteral("未检测到卡");
const QString kInvalidCard = QStringLiteral("无效卡");
const QString kReadFailed = QStringLiteral("读卡失败");
const QString kWriteOk = QStringLiteral("写卡成功");
const QString kWriteFailed = QStringLiteral("写卡失败");
const QString kGreen = QStringLiteral("color: rgb(0, 255, 0);font-size: 11pt;");
const QString kRed = QStringLiteral("color: rgb(255, 0, 0);font-size: 11pt;");
constexpr int kWriteAttempts = 3;

enum class Fault {
    NoAnswer, LateAnswer, BadChecksum, WrongEcho, BadMarker, OverlongLength,
    StatusError, ShortAnswer, CardRemoved, CardSwapped, ReaderUnplugged,
};
const char *const kFaultNames[] = {
    "no answer", "late answer", "bad checksum", "wrong echo", "bad marker", "overlong length",
    "status error", "short answer", "card removed", "card swapped", "reader unplugged",
};
constexpr int kFaultCount = int(std::size(kFaultNames));

// What the virtual reader plays; none for what happens to the card.
std::optional<vr::Fault> readerFault(Fault fault)
{
    switch (fault) {
    case Fault::NoAnswer: return vr::Fault::NoAnswer;
    case Fault::LateAnswer: return vr::Fault::LateAnswer;
    case Fault::BadChecksum: return vr::Fault::BadChecksum;
    case Fault::WrongEcho: return vr::Fault::WrongEcho;
    case Fault::BadMarker: return vr::Fault::BadEnd;
    case Fault::OverlongLength: return vr::Fault::LengthBeyondReport;
    case Fault::StatusError: return vr::Fault::StatusError;
    case Fault::ShortAnswer: return vr::Fault::ShortAnswer;
    case Fault::ReaderUnplugged: return vr::Fault::Unplug;
    case Fault::CardRemoved:
    case Fault::CardSwapped: break;
    }
    return std::nullopt;
}

// The transactions of the workflows, in the order they go out.
enum class Step {
    PreRequest, Request, AuthSite, AuthTransport, AuthRecorded,
    ReadBlock, WriteBlock, TrailerRead, TrailerWrite,
};
const char *const kStepNames[] = {
    "pre-request", "card request", "auth site key", "auth transport key", "auth recorded key",
    "read block 56", "write block 56", "read trailer", "write trailer",
};

struct Scenario {
    const char *name;
    bool write;
    bool prepared;  // else blank, on the transport key
    std::vector<Step> steps;
};
const Scenario kScenarios[] = {
    {"read, blank card", false, false,
     {Step::PreRequest, Step::Request, Step::AuthSite, Step::AuthTransport, Step::ReadBlock}},
    {"read, prepared card", false, true,
     {Step::PreRequest, Step::Request, Step::AuthSite, Step::ReadBlock}},
    {"write, blank card", true, false,
     {Step::PreRequest, Step::Request, Step::AuthRecorded, Step::WriteBlock, Step::TrailerRead,
      Step::TrailerWrite}},
    {"write, prepared card", true, true,
     {Step::PreRequest, Step::Request, Step::AuthRecorded, Step::WriteBlock}},
};

// What a fault does to its transaction, as the workflow sees it.
enum class Effect {
    None,         // the transaction passes, or its failure does not count
    Refused,      // it fails and the card did nothing
    AnswerLost,   // it fails although the card carried the command out
    WrongUid,     // a card is found, with part of its UID missing
    CardGone,     // nothing answers from this transaction on
    CardSwapped,  // another card answers from this transaction on
};

Effect effectOf(Step step, Fault fault)
{
    if (fault == Fault::CardRemoved || fault == Fault::ReaderUnplugged)
        return Effect::CardGone;
    if (fault == Fault::CardSwapped)
        return Effect::CardSwapped;
    if (step == Step::PreRequest)
        return Effect::None;  // its result is ignored
    if (fault == Fault::StatusError)
        return Effect::Refused;
    if (fault == Fault::ShortAnswer) {
        if (step == Step::Request)
            return Effect::WrongUid;
        // A block is sixteen bytes: part of one must not pass for all of it.
        const bool blockRead = step == Step::ReadBlock || step == Step::TrailerRead;
        return blockRead ? Effect::Refused : Effect::None;  // the others carry no data
    }
    return Effect::AnswerLost;
}

QString expectedReadTip(const Scenario &scenario, Step step, Effect effect)
{
    if (effect == Effect::None || (effect == Effect::CardSwapped && step <= Step::Request))
        return kReadOk;  // of the other card, when swapped
    switch (step) {
    case Step::PreRequest:
    case Step::Request:
        // The card refuses an authentication that names another UID.
        return effect == Effect::WrongUid ? kInvalidCard : kNoCard;
    case Step::AuthSite: {
        // A blank card then opens with the transport key, as it would anyway.
        const bool sameCard = effect != Effect::CardGone && effect != Effect::CardSwapped;
        return !scenario.prepared && sameCard ? kReadOk : kInvalidCard;
    }
    case Step::AuthTransport:
        return kInvalidCard;
    default:
        return kReadFailed;
    }
}

int expectedFailedAttempts(Step step, Effect effect)
{
    switch (effect) {
    case Effect::None:
        return 0;
    case Effect::CardGone:
    case Effect::CardSwapped:
        return kWriteAttempts;
    case Effect::AnswerLost:
        // The card took the site key: the retries no longer open it with the
        // recorded key. A new read finds it prepared.
        return step == Step::TrailerWrite ? kWriteAttempts : 1;
    default:
        return 1;
    }
}

vr::Card cardOf(bool prepared, const vr::Uid &uid)
{
    return prepared ? vr::Card::prepared(uid) : vr::Card::blank(uid);
}

// Block 56 of a card as laid, with the card's own number in front.
vr::Block numbered(const vr::Card &asLaid)
{
    vr::Block block = asLaid.raw(56);
    std::copy(asLaid.uid().begin(), asLaid.uid().end(), block.begin());
    return block;
}

// Usable, on a known pair of keys with its access bytes as laid, and block 56
// either as laid or carrying the card's own number: never another card's.
bool isSound(const vr::Card &card, const vr::Card &asLaid)
{
    const vr::Key key = card.keyA(14);
    const vr::Block block = card.raw(56);
    return !card.sectorBlocked(14) && card.accessBytes(14) == asLaid.accessBytes(14)
            && key == card.keyB(14) && (key == vr::kSiteKey || key == vr::kTransportKey)
            && (block == asLaid.raw(56) || block == numbered(asLaid));
}

bool isPrepared(const vr::Card &card, const vr::Card &asLaid)
{
    return isSound(card, asLaid) && card.raw(56) == numbered(asLaid) && card.keyA(14) == vr::kSiteKey;
}

QString uidText(const vr::Uid &uid)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(uid.data()), 4).toHex().toUpper());
}

QString numberShownFor(const vr::Card &card)
{
    return card.raw(56) == numbered(card) ? uidText(card.uid()) : QStringLiteral("未写入");
}

QStringList debugLog;
QtMessageHandler testHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        debugLog << message;
    else
        testHandler(type, context, message);
}

int linesStartingWith(const QString &prefix)
{
    return int(std::count_if(debugLog.cbegin(), debugLog.cend(),
                             [&prefix](const QString &line) { return line.startsWith(prefix); }));
}

// Terminal columns: the Chinese tips take two each.
int displayWidth(const QString &text)
{
    int width = 0;
    for (const QChar c : text)
        width += c.unicode() >= 0x2E80 ? 2 : 1;
    return width;
}

QString padded(const QString &text, int width)
{
    return text + QString(qMax(0, width - displayWidth(text)), QLatin1Char(' '));
}

}  // namespace

class TestFaultMatrix : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;
    std::unique_ptr<Widget> window;
    std::optional<vr::Card> takenAway;  // the card the workflow started on, once off the reader
    std::map<std::tuple<int, int, int>, QString> outcomes;  // scenario, step, fault
    QString *currentOutcome = nullptr;

    template <typename T>
    T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QPushButton *button(const char *name) { return child<QPushButton>(name); }
    QString number() { return child<QLabel>("lblCardId")->text(); }
    QString tip() { return child<QLabel>("lblTip")->text(); }
    QString tipStyle() { return child<QLabel>("lblTip")->styleSheet(); }
    void read() { button("btnReadCard")->click(); }
    void write() { button("btnWriteCard")->click(); }
    bool tick() { return QMetaObject::invokeMethod(window.get(), "do_mScanDeviceTmr_timeout"); }

    void connectReader()
    {
        QVERIFY(tick());
        QCOMPARE(child<QComboBox>("comPort")->count(), 1);
        button("btnConnect")->click();
        QVERIFY(reader->isOpen());
        QVERIFY(button("btnReadCard")->isEnabled());
    }

    // The fault on the workflow's `index`-th transaction only.
    void inject(int index, Fault fault, const vr::Card &other)
    {
        if (const auto played = readerFault(fault)) {
            reader->failAt(index, *played);
            return;
        }
        // The reader calls a copy of the hook, so the count lives outside it.
        auto seen = std::make_shared<int>(0);
        reader->onRequest = [this, index, fault, other, seen](uint8_t) {
            if ((*seen)++ != index)
                return;
            takenAway = *reader->card();
            if (fault == Fault::CardSwapped)
                reader->layCard(other);
            else
                reader->removeCard();
        };
    }

    // The heartbeat finds the reader gone; it comes back under the same path.
    void replugAndReconnect()
    {
        QVERIFY(tick());
        QVERIFY(button("btnConnect")->isEnabled());
        const vr::Card card = *reader->card();
        reader = &vr::plug(kIdentity);
        reader->layCard(card);
        connectReader();
    }

private slots:
    void init()
    {
        testHandler = qInstallMessageHandler(captureDebug);
        debugLog.clear();
        reader_close();
        vr::unplugAll();
        takenAway.reset();
        currentOutcome = nullptr;
        reader = &vr::plug(kIdentity);
        window = std::make_unique<Widget>();
        connectReader();
    }

    void cleanup()
    {
        if (currentOutcome && QTest::currentTestFailed())
            *currentOutcome += QStringLiteral(" ✗");
        qInstallMessageHandler(testHandler);
        window.reset();
        reader_close();
        vr::unplugAll();
    }

    void cleanupTestCase()
    {
        for (int s = 0; s < int(std::size(kScenarios)); ++s) {
            const Scenario &scenario = kScenarios[s];
            QStringList header{QStringLiteral("fault \\ transaction")};
            for (const Step step : scenario.steps)
                header << QString::fromLatin1(kStepNames[int(step)]);
            QList<QStringList> rows{header};
            for (int f = 0; f < kFaultCount; ++f) {
                QStringList row{QString::fromLatin1(kFaultNames[f])};
                for (int t = 0; t < int(scenario.steps.size()); ++t) {
                    const auto cell = outcomes.find({s, t, f});
                    row << (cell == outcomes.end() ? QStringLiteral("-") : cell->second);
                }
                rows << row;
            }
            QList<int> widths(header.size(), 0);
            for (const QStringList &row : rows) {
                for (int c = 0; c < row.size(); ++c)
                    widths[c] = qMax(widths[c], displayWidth(row[c]));
            }
            std::printf("\n%s\n", scenario.name);
            for (const QStringList &row : rows) {
                QString line;
                for (int c = 0; c < row.size(); ++c)
                    line += padded(row[c], widths[c] + 2);
                std::printf("%s\n", line.trimmed().toUtf8().constData());
            }
        }
        std::printf("\n/n: failed write attempts. ✗: the pair failed. !: known fault, failing as expected.\n");
        std::fflush(stdout);
    }

    void matrix_data()
    {
        QTest::addColumn<int>("scenarioIndex");
        QTest::addColumn<int>("stepIndex");
        QTest::addColumn<int>("faultIndex");
        for (int s = 0; s < int(std::size(kScenarios)); ++s) {
            const Scenario &scenario = kScenarios[s];
            for (int t = 0; t < int(scenario.steps.size()); ++t) {
                for (int f = 0; f < kFaultCount; ++f) {
                    QTest::addRow("%s: %s x %s", scenario.name, kStepNames[int(scenario.steps[t])],
                                  kFaultNames[f]) << s << t << f;
                }
            }
        }
    }

    void matrix()
    {
        QFETCH(int, scenarioIndex);
        QFETCH(int, stepIndex);
        QFETCH(int, faultIndex);
        const Scenario &scenario = kScenarios[scenarioIndex];
        const Step step = scenario.steps[stepIndex];
        const Fault fault = Fault(faultIndex);
        const Effect effect = effectOf(step, fault);
        const vr::Card card = cardOf(scenario.prepared, kUid);
        const vr::Card other = cardOf(scenario.prepared, kOtherUid);

        // Both workflows start from a good read of the card.
        reader->layCard(card);
        read();
        QCOMPARE(tip(), kReadOk);
        const QString numberBefore = number();

        inject(stepIndex, fault, other);
        debugLog.clear();
        scenario.write ? write() : read();
        const int failedAttempts = linesStartingWith(QStringLiteral("write card err: "));
        QString &outcome = outcomes[{scenarioIndex, stepIndex, faultIndex}];
        outcome = scenario.write ? tip() + QStringLiteral("/%1").arg(failedAttempts) : tip();
        currentOutcome = &outcome;

        // What the operator sees.
        if (scenario.write) {
            const int expectedFailures = expectedFailedAttempts(step, effect);
            QCOMPARE(tip(), expectedFailures < kWriteAttempts ? kWriteOk : kWriteFailed);
            QCOMPARE(failedAttempts, expectedFailures);
            QCOMPARE(number(), numberBefore);
            QVERIFY(button("btnWriteCard")->isEnabled());
        } else {
            const QString expectedTip = expectedReadTip(scenario, step, effect);
            const bool success = expectedTip == kReadOk;
            const bool otherCardRead = success && effect == Effect::CardSwapped;
            QCOMPARE(tip(), expectedTip);
            QCOMPARE(number(), otherCardRead ? numberShownFor(other)
                                             : expectedTip == kNoCard ? QString() : numberBefore);
            QCOMPARE(button("btnWriteCard")->isEnabled(), success);
            QCOMPARE(linesStartingWith(QStringLiteral("[RD]")), otherCardRead ? 2 : 0);
        }
        QCOMPARE(tipStyle(), tip().endsWith(QStringLiteral("成功")) ? kGreen : kRed);

        // Each card is left where a new read and write finish the job.
        const bool swapped = effect == Effect::CardSwapped;
        QVERIFY(isSound(takenAway ? *takenAway : *reader->card(), card));
        if (swapped)
            QVERIFY(isSound(*reader->card(), other));

        // The fault is gone: the operation that follows succeeds.
        reader->clearFaults();
        reader->onRequest = nullptr;
        if (fault == Fault::ReaderUnplugged) {
            replugAndReconnect();
            if (QTest::currentTestFailed())
                return;
        }
        if (!scenario.write && button("btnWriteCard")->isEnabled()) {
            // A good read is followed by a write of what it recorded.
            write();
            QCOMPARE(tip(), kWriteOk);
            QVERIFY(isPrepared(*reader->card(), swapped ? other : card));
        }
        if (takenAway)
            reader->layCard(*takenAway);
        read();
        QCOMPARE(tip(), kReadOk);
        write();
        QCOMPARE(tip(), kWriteOk);
        QVERIFY(isPrepared(*reader->card(), card));
        read();
        QCOMPARE(number(), uidText(kUid));
    }
};

QTEST_MAIN(TestFaultMatrix)
#include "tst_fault_matrix.moc"
