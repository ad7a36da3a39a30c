// quendel-card run in-process over a virtual reader, with a scripted operator
// who lays, lifts and swaps cards, unplugs the reader or presses Ctrl-C
// between transactions: the lines printed, the JSON, the journal's rows, the
// exit status, and what ends up on each card.
#include "quendel_card.h"
#include "virtual_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

namespace vr = virtual_reader;

namespace {

const vr::Identity kIdentity{"/dev/hid \"card\",1", L"Maker", L"Card Reader", L"1", 0x0100};
const QString kPath = QString::fromStdString(kIdentity.path);

// The cards the operator holds: 0 blank, 1 prepared, 2 foreign, 3 and 4 blank.
std::vector<vr::Card> cardBox()
{
    return {vr::Card::blank({0x1A, 0x2B, 0x3C, 0x4D}), vr::Card::prepared({0x55, 0x66, 0x77, 0x88}),
            vr::Card::unknownKeys({0x99, 0xAA, 0xBB, 0xCC}), vr::Card::blank({0x0B, 0xAD, 0xCA, 0xFE}),
            vr::Card::blank({0x12, 0x34, 0x56, 0x78})};
}

// What the operator does at the Nth pre-request (counted from 1), before the
// reader answers it. Laying a card lifts the one on the reader.
enum Act { Lay, Lift, Unplug, Interrupt };
struct Step { int at; Act act; int card; };
using Script = std::vector<Step>;

// Cards handed in turn: each one stays for three polls, then the field is
// empty for two.
Script inTurn(std::initializer_list<int> cards, Script extra = {})
{
    int at = 1;
    for (int card : cards) {
        extra.push_back({at, Lay, card});
        extra.push_back({at + 3, Lift, 0});
        at += 5;
    }
    return extra;
}

// RFC 4180, every row ended by CRLF.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); i++) {
        if (quoted && text.mid(i, 2) == "\"\"") {
            field += text[i++];
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && (text[i] == ',' || text.mid(i, 2) == "\r\n")) {
            rows.last() << std::exchange(field, QString());
            if (text[i] == '\r' && ++i)
                rows << QStringList();
        } else {
            field += text[i];
        }
    }
    rows.removeLast();
    return rows;
}

}  // namespace

Q_DECLARE_METATYPE(Script)

class TestCli : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    vr::Reader *reader = nullptr;
    std::vector<vr::Card> box;
    int onReader = -1;
    int preRequests = 0;

    void act(const Step &step)
    {
        if (step.act == Unplug)
            vr::unplug(kIdentity.path);
        if (step.act == Interrupt)
            std::raise(SIGINT);
        if ((step.act == Lay || step.act == Lift) && onReader >= 0) {
            box[onReader] = *reader->card();
            reader->removeCard();
            onReader = -1;
        }
        if (step.act == Lay)
            reader->layCard(box[onReader = step.card]);
    }

    struct Run { int status; QString out, err; };
    Run run(const QStringList &args, const Script &script)
    {
        vr::unplugAll();
        vr::resetCalls();
        QFile::remove("cards.csv");
        box = cardBox();
        onReader = -1;
        preRequests = 0;
        reader = &vr::plug(kIdentity);
        reader->onRequest = [this, script](uint8_t command) {
            for (const Step &step : script)
                if (command == 0x10 && step.at == preRequests + 1)
                    act(step);
            preRequests += command == 0x10;
        };
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        const int status = run_quendel_card(QStringList{"quendel-card"} + args, outStream, errStream, {0, 0});
        act({0, Lift, 0});
        return {status, out, err};
    }

    // The cards that `lines` report prepared carry their number and the site
    // key, the access bytes kept; every other card is untouched.
    void checkCards(const QStringList &lines)
    {
        const std::vector<vr::Card> before = cardBox();
        for (size_t i = 0; i < box.size(); i++) {
            const vr::Uid &uid = before[i].uid();
            vr::Block block = before[i].raw(56);
            vr::Key key = before[i].keyA(14);
            if (lines.contains(QByteArray(reinterpret_cast<const char *>(uid.data()), 4).toHex().toUpper()
                               + " prepared")) {
                std::copy(uid.begin(), uid.end(), block.begin());
                key = vr::kSiteKey;
            }
            QVERIFY(box[i].raw(56) == block && box[i].keyA(14) == key && box[i].keyB(14) == key);
            QVERIFY(box[i].accessBytes(14) == before[i].accessBytes(14));
        }
    }

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(dir.path())); }
    void cleanupTestCase() { vr::unplugAll(); }

    // Each row: the lines of the cards handled, without their numbers.
    void batch_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("cards");
        QTest::addColumn<int>("status");
        QTest::newRow("three blank cards") << QStringList{"--count", "3"} << inTurn({0, 3, 4})
                << QStringList{"1A2B3C4D prepared", "0BADCAFE prepared", "12345678 prepared"} << 0;
        QTest::newRow("blank, prepared, foreign") << QStringList{"--count", "3"} << inTurn({0, 1, 2})
                << QStringList{"1A2B3C4D prepared", "55667788 already-prepared", "99AABBCC invalid"} << 6;
        QTest::newRow("card left on the reader") << QStringList() << Script{{1, Lay, 0}, {15, Interrupt, 0}}
                << QStringList{"1A2B3C4D prepared"} << 0;
        QTest::newRow("card lifted and laid again") << QStringList{"--count", "2"}
                << Script{{1, Lay, 0}, {4, Lift, 0}, {6, Lay, 0}, {9, Lift, 0}, {11, Lay, 3}}
                << QStringList{"1A2B3C4D prepared", "0BADCAFE prepared"} << 0;
        QTest::newRow("card swapped mid-write") << QStringList{"--count", "1"} << Script{{1, Lay, 0}, {2, Lay, 3}}
                << QStringList{"1A2B3C4D failed (codes 1 1 1)"} << 6;
        QTest::newRow("reader unplugged") << QStringList() << inTurn({0}, {{7, Unplug, 0}})
                << QStringList{"1A2B3C4D prepared"} << 3;
        QTest::newRow("Ctrl-C mid-write") << QStringList() << inTurn({0, 3}, {{2, Interrupt, 0}})
                << QStringList{"1A2B3C4D prepared"} << 0;
    }

    void batch()
    {
        QFETCH(QStringList, args);
        QFETCH(Script, script);
        QFETCH(QStringList, cards);
        QFETCH(int, status);
        QMap<QString, int> tally;
        for (const QString &card : cards)
            tally[card.section(' ', 1, 1)]++;

        for (bool json : {false, true}) {
            const Run result = run(QStringList{"batch", "--journal", "cards.csv"} + args
                                           + (json ? QStringList{"--json"} : QStringList()), script);
            QCOMPARE(result.status, status);
            checkCards(cards);
            QCOMPARE(reader->isOpen(), false);
            QCOMPARE(result.err.contains("lost the reader"), status == 3);
            QStringList lines = result.out.split('\n');
            QCOMPARE(lines.takeLast(), QString());
            QCOMPARE(lines.size(), cards.size() + 1);
            QFile file("cards.csv");
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString journal = QString::fromUtf8(file.readAll());
            QVERIFY(journal.endsWith("\r\n"));
            QList<QStringList> rows = parseCsv(journal);
            QCOMPARE(rows.takeFirst(), QStringList({"time", "reader", "uid", "outcome", "codes"}));
            QCOMPARE(rows.size(), cards.size());

            for (int i = 0; i < cards.size(); i++) {
                const QString uid = cards[i].section(' ', 0, 0), outcome = cards[i].section(' ', 1, 1);
                const QString codes = cards[i].section(" (codes ", 1).chopped(cards[i].contains('(') ? 1 : 0);
                QCOMPARE(rows[i].mid(1), QStringList({kPath, uid, outcome, codes}));
                QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                                .match(rows[i][0]).hasMatch());
                QJsonArray codeArray;
                for (const QString &code : codes.split(' ', Qt::SkipEmptyParts))
                    codeArray << code.toInt();
                if (json)
                    QCOMPARE(QJsonDocument::fromJson(lines[i].toUtf8()).object(),
                             QJsonObject({{"index", i + 1}, {"uid", uid}, {"outcome", outcome},
                                          {"codes", codeArray}, {"reader", kPath}, {"time", rows[i][0]}}));
                else
                    QCOMPARE(lines[i], QString::number(i + 1) + ' ' + cards[i]);
            }
            if (json)
                QCOMPARE(QJsonDocument::fromJson(lines.last().toUtf8()).object(),
                         QJsonObject({{"prepared", tally["prepared"]}, {"already_prepared", tally["already-prepared"]},
                                      {"failed", tally["failed"]}, {"invalid", tally["invalid"]}}));
            else
                QCOMPARE(lines.last(), QString("prepared: %1, already prepared: %2, failed: %3, invalid: %4")
                                 .arg(tally["prepared"]).arg(tally["already-prepared"])
                                 .arg(tally["failed"]).arg(tally["invalid"]));
        }
    }

    // A journal kept from an earlier batch, cut short in its last row, gains
    // rows: no second header, and nothing glued to the cut row.
    void batch_appendsToJournal()
    {
        QFile file("old.csv");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("time,reader,uid,outcome,codes\r\nT,R,00000000,prep");
        file.close();
        QCOMPARE(run({"batch", "--journal", "old.csv", "--count", "1"}, inTurn({0})).status, 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QStringList> rows = parseCsv(QString::fromUtf8(file.readAll()));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[1], QStringList({"T", "R", "00000000", "prep"}));
        QCOMPARE(rows[2][2], QString("1A2B3C4D"));
    }

    // The other commands, on the card laid (-1: none), in text and in JSON
    // (with ' for "; empty: nothing on stdout).
    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("card");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("json");
        const auto row = [](const char *name, const QStringList &args, int card, int status,
                            const QString &text = {}, const QString &json = {}) {
            QTest::newRow(name) << args << card << status << text << json;
        };
        row("list", {"list"}, -1, 0,
            "path: " + kPath + "\nproduct: Card Reader\nmanufacturer: Maker\nserial: 1\nrelease: 0100\n",
            "[{'path':'/dev/hid \\'card\\',1','product':'Card Reader','manufacturer':'Maker','serial':'1',"
            "'release':'0100','in_use_by':null}]");
        row("read blank", {"read"}, 0, 0, "uid: 1A2B3C4D\natqa: 0004\nsak: 08\nkey: transport\nnumber: not written\n",
            "{'uid':'1A2B3C4D','atqa':'0004','sak':'08','key':'transport','number':null}");
        row("read prepared", {"--verbose", "read", "--reader", kPath}, 1, 0,
            "uid: 55667788\natqa: 0004\nsak: 08\nkey: site\nnumber: 55667788\n",
            "{'uid':'55667788','atqa':'0004','sak':'08','key':'site','number':'55667788'}");
        row("read, no card", {"read"}, -1, 4);
        row("read foreign", {"read"}, 2, 5);
        row("read, no such reader", {"read", "--reader", "/dev/none"}, 0, 3);
        row("write blank", {"--verbose", "write"}, 0, 0, "1A2B3C4D prepared\n",
            "{'uid':'1A2B3C4D','outcome':'prepared','codes':[]}");
        row("write expected", {"write", "--expect-uid", "1a2b3c4d"}, 0, 0, "1A2B3C4D prepared\n",
            "{'uid':'1A2B3C4D','outcome':'prepared','codes':[]}");
        row("write another card", {"write", "--expect-uid", "0BADCAFE"}, 0, 7);
        row("write, bad UID", {"write", "--expect-uid", "1A2B3C4"}, 0, 2);
        row("option of another command", {"read", "--count", "1"}, 0, 2);
        row("journal in a missing folder", {"batch", "--journal", "none/cards.csv"}, 0, 9);
        row("journal is a folder", {"batch", "--journal", "."}, 0, 9);
        row("journal cannot be written", {"batch", "--journal", "/dev/full"}, 0, 9);
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(int, card);
        QFETCH(int, status);
        QFETCH(QString, text);
        QFETCH(QString, json);
        for (bool asJson : {false, true}) {
            const Run result = run(args + (asJson ? QStringList{"--json"} : QStringList()),
                                   {{1, card < 0 ? Lift : Lay, card}});
            QCOMPARE(result.status, status);
            checkCards({text.trimmed()});
            if (asJson && !json.isEmpty())
                QCOMPARE(QJsonDocument::fromJson(result.out.toUtf8()),
                         QJsonDocument::fromJson(json.replace('\'', '"').toUtf8()));
            else
                QCOMPARE(result.out, asJson ? json : text);
            QCOMPARE(result.err.isEmpty(), status == 0 && !args.contains("--verbose"));
            QCOMPARE(result.err.contains("[RD]UID: "), args.contains("--verbose"));
            // Usage and journal errors stop before the reader is opened.
            if (status == 2 || status == 9)
                QCOMPARE(vr::calls().open_path, 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
