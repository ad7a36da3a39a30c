// Every transaction of "读卡" and "写卡", through the real window, failing in
// every way a reader or a card can fail, one pair at a time. For each pair:
// what the operator sees, that the card is left in a state from which a new
// read and write finish the job, and that they do once the fault is gone.
// The outcomes are printed as one table per workflow and card.
#include "reader.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace vr = virtual_reader;

namespace {

const vr::Identity kIdentity{"/dev/hidraw-matrix", L"Maker", L"Card Reader", L"1", 0x0100};
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const vr::Uid kOtherUid = {0x55, 0x66, 0x77, 0x88};

const QString kReadOk = QStringLiteral("读卡成功");
const QString kNoCard = QStringLiteral("未检测到卡");

// The last three take the card away from the workflow.
enum class Fault { NoAnswer, LateAnswer, BadChecksum, WrongEcho, BadMarker, OverlongLength,
                   StatusError, ShortAnswer, CardRemoved, CardSwapped, ReaderUnplugged };
// In the same order: the name, and what the virtual reader plays; the test
// itself removes or swaps the card.
const std::pair<const char *, std::optional<vr::Fault>> kFaults[] = {
    {"no answer", vr::Fault::NoAnswer}, {"late answer", vr::Fault::LateAnswer},
    {"bad checksum", vr::Fault::BadChecksum}, {"wrong echo", vr::Fault::WrongEcho},
    {"bad marker", vr::Fault::BadEnd}, {"overlong length", vr::Fault::LengthBeyondReport},
    {"status error", vr::Fault::StatusError}, {"short answer", vr::Fault::ShortAnswer},
    {"card removed", {}}, {"card swapped", {}}, {"reader unplugged", vr::Fault::Unplug},
};
constexpr int kFaultCount = int(std::size(kFaults));

// The transactions of the workflows, in the order they go out.
enum class Step { PreRequest, Request, AuthSite, AuthTransport, AuthRecorded,
                  ReadBlock, WriteBlock, TrailerRead, TrailerWrite };
const char *const kStepNames[] = {
    "pre-request", "card request", "auth site key", "auth transport key", "auth recorded key",
    "read block 56", "write block 56", "read trailer", "write trailer",
};

// A workflow on a prepared card, or on a blank one on the transport key.
struct Scenario { const char *name; bool write; bool prepared; std::vector<Step> steps; };
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

// The outcome the operator sees, as the table shows it: the tip, and for a
// write the number of failed attempts.
QString expectedOutcome(const Scenario &scenario, Step step, Fault fault)
{
    const bool cardLeaves = fault >= Fault::CardRemoved;
    // The pre-request's result is ignored. Only answers that carry data can
    // be short; part of a UID or of a block must not pass for all of it.
    const bool carriesData =
            step == Step::Request || step == Step::ReadBlock || step == Step::TrailerRead;
    const bool fails = cardLeaves
            || (step != Step::PreRequest && (fault != Fault::ShortAnswer || carriesData));
    if (scenario.write) {
        // A lost trailer-write answer: the card took the site key, and the
        // retries no longer open it with the recorded key.
        const bool keysMoved = step == Step::TrailerWrite && fault != Fault::StatusError;
        const int failures = !fails ? 0 : cardLeaves || keysMoved ? 3 : 1;
        return QStringLiteral("%1/%2").arg(failures < 3 ? "写卡成功" : "写卡失败").arg(failures);
    }
    // The other card is read when swapped early; a blank card still there
    // opens with the transport key after the site key failed, as it would anyway.
    if (!fails || (fault == Fault::CardSwapped && step <= Step::Request)
            || (step == Step::AuthSite && !scenario.prepared && !cardLeaves))
        return kReadOk;
    if (step <= Step::Request)
        return kNoCard;
    return step == Step::ReadBlock ? QStringLiteral("读卡失败") : QStringLiteral("无效卡");
}

// Usable, on one known key as key A and key B with its access bytes as laid,
// and block 56 as laid or carrying the card's own number: never another
// card's. Prepared: numbered and on the site key.
bool isSound(const vr::Card &card, const vr::Card &asLaid, bool prepared = false)
{
    vr::Block numbered = asLaid.raw(56);
    std::copy(asLaid.uid().begin(), asLaid.uid().end(), numbered.begin());
    const vr::Key key = card.keyA(14);
    const vr::Block block = card.raw(56);
    return !card.sectorBlocked(14) && card.accessBytes(14) == asLaid.accessBytes(14)
            && key == card.keyB(14) && (key == vr::kSiteKey || (!prepared && key == vr::kTransportKey))
            && (block == numbered || (!prepared && block == asLaid.raw(56)));
}

QStringList debugLog;
QtMessageHandler testHandler = nullptr;

// A table cell as wide as its column's header, and at least as wide as the
// widest outcome; "-" for a pair not run. The Chinese tips take two
// terminal columns a character.
QString padded(const QString &text, const char *header)
{
    int width = 0;
    for (const QChar c : text)
        width += c.unicode() >= 0x2E80 ? 2 : 1;
    const QString padding(qMax(int(qstrlen(header)), 12) + 2 - qMax(width, 1), QLatin1Char(' '));
    return (text.isEmpty() ? QStringLiteral("-") : text) + padding;
}

}  // namespace

class TestFaultMatrix : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;
    std::unique_ptr<Widget> window;
    std::optional<vr::Card> takenAway;  // the card the workflow started on, once off the reader
    QString outcomes[std::size(kScenarios)][6][kFaultCount];  // six steps at most

    template <typename T>
    T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QPushButton *button(const char *name) { return child<QPushButton>(name); }
    QString number() { return child<QLabel>("lblCardId")->text(); }
    QString tip() { return child<QLabel>("lblTip")->text(); }
    void read() { button("btnReadCard")->click(); }
    void write() { button("btnWriteCard")->click(); }

    // A tick lists the reader (or, while connected, finds it gone), and "连接" opens it.
    bool connectReader()
    {
        QMetaObject::invokeMethod(window.get(), "do_mScanDeviceTmr_timeout");
        button("btnConnect")->click();
        return reader->isOpen();
    }

    // The fault on the workflow's `index`-th transaction only.
    void inject(int index, Fault fault, const vr::Card &other)
    {
        if (const std::optional<vr::Fault> played = kFaults[int(fault)].second)
            return reader->failAt(index, *played);
        // Each request is on record by the time the hook sees it.
        reader->clearReceived();
        reader->onRequest = [this, index, fault, other](uint8_t) {
            if (int(reader->received().size()) != index + 1)
                return;
            takenAway = *reader->card();
            fault == Fault::CardSwapped ? reader->layCard(other) : reader->removeCard();
        };
    }

private slots:
    void init()
    {
        testHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                                                const QString &message) {
            if (type == QtDebugMsg)
                debugLog << message;
            else
                testHandler(type, context, message);
        });
        takenAway.reset();
        reader = &vr::plug(kIdentity);
        window = std::make_unique<Widget>();
        QVERIFY(connectReader());
    }

    void cleanup()
    {
        qInstallMessageHandler(testHandler);
        window.reset();
        reader_close();
        vr::unplugAll();
    }

    void cleanupTestCase()
    {
        const char corner[] = "fault \\ transaction";
        for (int s = 0; s < int(std::size(kScenarios)); ++s) {
            const std::vector<Step> &steps = kScenarios[s].steps;
            QString table = QStringLiteral("\n%1\n").arg(kScenarios[s].name) + padded(corner, corner);
            for (const Step step : steps)
                table += padded(kStepNames[int(step)], kStepNames[int(step)]);
            for (int f = 0; f < kFaultCount; ++f) {
                table += QLatin1Char('\n') + padded(kFaults[f].first, corner);
                for (int t = 0; t < int(steps.size()); ++t)
                    table += padded(outcomes[s][t][f], kStepNames[int(steps[t])]);
            }
            std::printf("%s\n", table.toUtf8().constData());
        }
        std::printf("\n/n: failed write attempts. ✗: the pair failed.\n");
        std::fflush(stdout);
    }

    void matrix_data()
    {
        QTest::addColumn<int>("scenarioIndex");
        QTest::addColumn<int>("stepIndex");
        QTest::addColumn<int>("faultIndex");
        for (int s = 0; s < int(std::size(kScenarios)); ++s) {
            const Scenario &scenario = kScenarios[s];
            for (int t = 0; t < int(scenario.steps.size()); ++t)
                for (int f = 0; f < kFaultCount; ++f)
                    QTest::addRow("%s: %s x %s", scenario.name, kStepNames[int(scenario.steps[t])],
                                  kFaults[f].first) << s << t << f;
        }
    }

    void matrix()
    {
        QFETCH(int, scenarioIndex);
        QFETCH(int, stepIndex);
        QFETCH(int, faultIndex);
        const Scenario &scenario = kScenarios[scenarioIndex];
        const Fault fault = Fault(faultIndex);
        const auto cardOf = [&](const vr::Uid &uid) {
            return scenario.prepared ? vr::Card::prepared(uid) : vr::Card::blank(uid);
        };
        const vr::Card card = cardOf(kUid), other = cardOf(kOtherUid);

        // Both workflows start from a good read of the card.
        reader->layCard(card);
        read();
        QCOMPARE(tip(), kReadOk);
        const QString numberBefore = number();

        inject(stepIndex, fault, other);
        debugLog.clear();
        scenario.write ? write() : read();
        const int failedAttempts = debugLog.filter(QStringLiteral("write card err: ")).size();
        const QString outcome = scenario.write ? tip() + QStringLiteral("/%1").arg(failedAttempts) : tip();
        // The cell loses its mark only once every check below has passed.
        QString &cell = outcomes[scenarioIndex][stepIndex][faultIndex];
        cell = outcome + QStringLiteral(" ✗");

        // What the operator sees. A write leaves the number and its button alone.
        QCOMPARE(outcome, expectedOutcome(scenario, scenario.steps[stepIndex], fault));
        const bool swapped = fault == Fault::CardSwapped;
        const bool otherCardRead = swapped && tip() == kReadOk;
        const QString otherNumber = QString::fromUtf8(scenario.prepared ? "55667788" : "未写入");
        QCOMPARE(number(), otherCardRead ? otherNumber : tip() == kNoCard ? QString() : numberBefore);
        QCOMPARE(button("btnWriteCard")->isEnabled(), scenario.write || tip() == kReadOk);
        QCOMPARE(debugLog.filter(QStringLiteral("[RD]")).size(), otherCardRead ? 2 : 0);
        const char *colour = tip().endsWith(QStringLiteral("成功")) ? "0, 255, 0" : "255, 0, 0";
        QCOMPARE(child<QLabel>("lblTip")->styleSheet(),
                 QStringLiteral("color: rgb(%1);font-size: 11pt;").arg(QLatin1String(colour)));

        // Each card is left where a new read and write finish the job.
        QVERIFY(isSound(takenAway ? *takenAway : *reader->card(), card));
        if (swapped)
            QVERIFY(isSound(*reader->card(), other));

        // The fault is gone: the operation that follows succeeds. An unplugged
        // reader comes back under the same path; the heartbeat finds the old
        // one gone, and "连接" opens the new one.
        reader->clearFaults();
        reader->onRequest = nullptr;
        if (fault == Fault::ReaderUnplugged) {
            const vr::Card left = *reader->card();
            reader = &vr::plug(kIdentity);
            reader->layCard(left);
            QVERIFY(connectReader());
        }
        if (!scenario.write && button("btnWriteCard")->isEnabled()) {
            // A good read is followed by a write of what it recorded.
            write();
            QCOMPARE(tip(), QStringLiteral("写卡成功"));
            QVERIFY(isSound(*reader->card(), swapped ? other : card, true));
        }
        if (takenAway)
            reader->layCard(*takenAway);
        read();
        write();
        QCOMPARE(tip(), QStringLiteral("写卡成功"));
        QVERIFY(isSound(*reader->card(), card, true));
        read();
        QCOMPARE(number(), QStringLiteral("1A2B3C4D"));
        cell = outcome;
    }
};

QTEST_MAIN(TestFaultMatrix)
#include "tst_fault_matrix.moc"
