// quendel-card run in-process over a virtual reader, with a scripted operator
// who lays, lifts and swaps cards or unplugs the reader between
// transactions: the lines printed, the JSON, the journal's rows, the
// exit status, and what ends up on each card. Each batch the same again in
// the batch window: its table, its counts and its journal.
#include "batch_window.h"
#include "journal.h"
#include "quendel_card.h"
#include "user_data_folder.h"
#include "virtual_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <dlfcn.h>
#include <unistd.h>

// A disk that fails under the row: the Nth sync from now on fails, when set.
int syncsBeforeFailure = -1;
extern "C" int fsync(int fd)
{
    static const auto realSync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (syncsBeforeFailure >= 0 && syncsBeforeFailure-- == 0) {
        errno = EIO;
        return -1;
    }
    return realSync(fd);
}
#endif

namespace vr = virtual_reader;

namespace {

// A path that the journal has to quote, its quotes doubled (RFC 4180). A
// product string beyond ASCII and beyond 16 bits: a pair of UTF-16 units in
// Windows' wchar_t.
const vr::Identity kIdentity{"/dev/hid \"card\",1", L"Maker", L"\u8BFB\u5361\u5668 \U0001F4B3", L"1", 0x0100};
const QString kProduct = QStringLiteral("读卡器 💳");
const QString kPath = QString::fromStdString(kIdentity.path);
const QString kPathInJournal = R"("/dev/hid ""card"",1")";
// ISO 8601 with the UTC offset spelt out.
const QRegularExpression kTime("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$");

// The cards the operator holds: 0 blank, 1 prepared, 2 foreign, 3 and 4 blank.
std::vector<vr::Card> cardBox()
{
    return {vr::Card::blank({0x1A, 0x2B, 0x3C, 0x4D}), vr::Card::prepared({0x55, 0x66, 0x77, 0x88}),
            vr::Card::unknownKeys({0x99, 0xAA, 0xBB, 0xCC}), vr::Card::blank({0x0B, 0xAD, 0xCA, 0xFE}),
            vr::Card::blank({0x12, 0x34, 0x56, 0x78})};
}

// What the operator does at the Nth pre-request (counted from 1), before the
// reader answers it. Laying a card lifts the one on the reader. Ctrl-C goes
// to the process as a terminal or a console sends it, so that it lands on
// another thread, at its own time.
enum Act { Lay, Lift, Unplug, CtrlC };
struct Step { int at; Act act; int card; };
using Script = std::vector<Step>;

// Cards handed in turn: each one stays for three polls (a blank card's read,
// write and read-back), then the field is empty for two.
Script inTurn(std::initializer_list<int> cards, Script extra = {})
{
    int at = 1;
    for (int card : cards) {
        extra.insert(extra.end(), {{at, Lay, card}, {at + 3, Lift, 0}});
        at += 5;
    }
    return extra;
}

// A card's line, "1A2B3C4D failed (codes 4 4 4)", as its uid, outcome and codes.
QStringList fieldsOf(const QString &line)
{
    return QString(line).remove(QRegularExpression("\\(codes|\\)")).split(' ', Qt::SkipEmptyParts);
}

// The journal's rows, without their times, for the cards' lines: a card that
// a write reached has a "writing" row before its outcome.
QStringList rowsOf(const QStringList &cards)
{
    QStringList rows;
    for (const QString &line : cards) {
        const QStringList card = fieldsOf(line);
        if (card[1] == "prepared" || card.size() > 2)
            rows << QStringList{kPathInJournal, card[0], "writing", ""}.join(',');
        rows << QStringList({kPathInJournal, card[0], card[1], card.mid(2).join(' ')}).join(',');
    }
    return rows;
}

QStringList untimed(QStringList rows)
{
    for (QString &row : rows) {
        if (!kTime.match(row.section(',', 0, 0)).hasMatch())
            return {"a row without its time: " + row};
        row = row.section(',', 1);
    }
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

    std::function<void()> stopFromOutside;  // the window's "停止"; else Ctrl-C

    void act(const Step &step)
    {
        if (step.act == CtrlC && stopFromOutside) {
            stopFromOutside();
            return;
        }
        if (step.act == CtrlC) {
#ifdef Q_OS_WIN
            const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
#else
            const bool sent = kill(getpid(), SIGINT) == 0;
#endif
            if (!sent)
                vr::unplug(kIdentity.path);  // or the batch would wait for it forever
            QVERIFY(sent);
            return;
        }
        if (step.act == Unplug) {
            vr::unplug(kIdentity.path);
        } else if (onReader >= 0) {
            box[std::exchange(onReader, -1)] = *reader->card();
            reader->removeCard();
        }
        if (step.act == Lay)
            reader->layCard(box[onReader = step.card]);
    }

    // The cards in their box, the reader plugged and empty, the operator's script set.
    void setUp(const Script &script)
    {
        vr::unplugAll();
        vr::resetCalls();
        box = cardBox();
        onReader = -1;
        preRequests = 0;
        reader = &vr::plug(kIdentity);
        reader->onRequest = [this, script](uint8_t command) {
            preRequests += command == 0x10;
            for (const Step &step : script)
                if (command == 0x10 && step.at == preRequests)
                    act(step);
        };
    }

    struct Run { int status; QString out, err; };
    Run run(const QStringList &args, const Script &script)
    {
        setUp(script);
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        const int status = run_quendel_card(QStringList{"quendel-card"} + args, outStream, errStream, {0, 0});
        act({0, Lift, 0});
        return {status, out, err};
    }

    // The cards that `out` reports prepared, or written but not read back,
    // are now as a prepared card is; every other card is untouched, block
    // for block.
    void checkCards(const QString &out)
    {
        const std::vector<vr::Card> before = cardBox();
        for (size_t i = 0; i < box.size(); i++) {
            const vr::Uid &uid = before[i].uid();
            const QString hex = QByteArray(reinterpret_cast<const char *>(uid.data()), 4).toHex().toUpper();
            const bool written = out.contains(hex + " prepared") || out.contains(hex + " failed (codes 6)");
            const vr::Card expected = written ? vr::Card::prepared(uid) : before[i];
            for (int block = 0; block < 64; block++)
                QVERIFY(box[i].raw(block) == expected.raw(block));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(dir.path()));
#ifdef Q_OS_WIN
        // Ctrl-C goes to every process of a console: this test takes one of
        // its own (Wine gives a program started without a terminal a
        // headless one, which takes none), and keeps its output where it was.
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE), error = GetStdHandle(STD_ERROR_HANDLE);
        FreeConsole();
        QVERIFY(AllocConsole());
        SetStdHandle(STD_OUTPUT_HANDLE, output);
        SetStdHandle(STD_ERROR_HANDLE, error);
        SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl-C may come ignored from the parent
        // Called only when no handler of the batch takes Ctrl-C: the row then
        // fails (the batch runs on to the unplug) instead of the test
        // ending at once, unseen.
        SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
#endif
    }
    void cleanupTestCase()
    {
        vr::unplugAll();
        QDir::setCurrent(QDir::tempPath());  // Windows removes no folder in use
    }

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
        // Missed by one poll only: the same card, not a new one.
        QTest::newRow("card left on the reader") << QStringList()
                << Script{{1, Lay, 0}, {6, Lift, 0}, {7, Lay, 0}, {15, Unplug, 0}}
                << QStringList{"1A2B3C4D prepared"} << 3;
        // A card swapped in mid-write is taken at once; the failed card laid
        // again is retried, and once prepared, laid again, reported so again.
        QTest::newRow("swapped, retried, laid again") << QStringList{"--count", "4"}
                << Script{{1, Lay, 0}, {2, Lay, 3}, {8, Lift, 0}, {10, Lay, 0}, {13, Lift, 0}, {15, Lay, 0}}
                << QStringList{"1A2B3C4D failed (codes 1 1 1)", "0BADCAFE prepared", "1A2B3C4D prepared",
                               "1A2B3C4D already-prepared"} << 6;
        // Written, but another card answers the read-back.
        QTest::newRow("swapped before the read-back") << QStringList{"--count", "2"} << Script{{1, Lay, 0}, {3, Lay, 3}}
                << QStringList{"1A2B3C4D failed (codes 6)", "0BADCAFE prepared"} << 6;
        QTest::newRow("reader unplugged") << QStringList() << inTurn({0}, {{7, Unplug, 0}})
                << QStringList{"1A2B3C4D prepared"} << 3;
        // Mid-write: the card in hand is finished and journaled, then the
        // batch ends, whenever the signal lands (the process is not killed).
        QTest::newRow("Ctrl-C") << QStringList() << inTurn({0}, {{2, CtrlC, 0}, {100000, Unplug, 0}})
                << QStringList{"1A2B3C4D prepared"} << 0;
    }

    void batch()
    {
        QFETCH(QStringList, args);
        QFETCH(Script, script);
        QFETCH(QStringList, cards);
        QFETCH(int, status);
        const auto tally = [&](const char *outcome) { return int(cards.filter(QString(' ') + outcome).size()); };

        QFile::remove("cards.csv");
        for (bool json : {false, true}) {
            // The second run appends to the first one's journal, whose last row
            // a crash cut short of its line end: no second header, no row glued on.
            if (json)
                QVERIFY(QFile::resize("cards.csv", QFileInfo("cards.csv").size() - 2));
            const Run result = run(QStringList{"batch", "--journal", "cards.csv"} + args
                                           + (json ? QStringList{"--json"} : QStringList()), script);
            QCOMPARE(result.status, status);
            checkCards(cards.join('\n'));
            QVERIFY(!reader->isOpen());
            QCOMPARE(result.err.contains("lost the reader"), status == 3);
            QFile journal("cards.csv");
            QVERIFY(journal.open(QIODevice::ReadOnly));
            QStringList lines = result.out.split('\n');
            QStringList rows = QString::fromUtf8(journal.readAll()).split("\r\n");
            QCOMPARE(lines.takeLast(), QString());
            QCOMPARE(lines.size(), cards.size() + 1);
            QCOMPARE(rows.takeLast(), QString());  // every row ended by CRLF
            QCOMPARE(rows.takeFirst(), QString("time,reader,uid,outcome,codes"));
            const QStringList expected = rowsOf(cards);
            for (int i = 0; i < cards.size(); i++) {
                const QStringList card = fieldsOf(cards[i]);
                const QJsonArray codes = QJsonDocument::fromJson(('[' + card.mid(2).join(',') + ']').toUtf8()).array();
                QJsonObject object = QJsonDocument::fromJson(lines[i].toUtf8()).object();
                QVERIFY(!json || kTime.match(object.take("time").toString()).hasMatch());
                if (json)
                    QCOMPARE(object, QJsonObject({{"index", i + 1}, {"uid", card[0]}, {"outcome", card[1]},
                                                  {"codes", codes}, {"reader", kPath}}));
                else
                    QCOMPARE(lines[i], QString::number(i + 1) + ' ' + cards[i]);
            }
            QCOMPARE(rows.size(), expected.size() * (json ? 2 : 1));
            QCOMPARE(untimed(rows).mid(rows.size() - expected.size()), expected);
            if (json)
                QCOMPARE(QJsonDocument::fromJson(lines.last().toUtf8()).object(),
                         QJsonObject({{"prepared", tally("prepared")}, {"already_prepared", tally("already-prepared")},
                                      {"failed", tally("failed")}, {"invalid", tally("invalid")}}));
            else
                QCOMPARE(lines.last(), QString("prepared: %1, already prepared: %2, failed: %3, invalid: %4")
                                 .arg(tally("prepared")).arg(tally("already-prepared"))
                                 .arg(tally("failed")).arg(tally("invalid")));
        }
    }

    // Each batch again in the batch window, its reader listed and chosen by
    // itself, "停止" standing in for Ctrl-C: a table row per card, in the
    // operator's words, the counts, the journal's rows, and what ends up on
    // each card, as quendel-card has them; and what it says at the end.
    void batchWindow_data() { batch_data(); }
    void batchWindow()
    {
        QFETCH(QStringList, args);
        QFETCH(Script, script);
        QFETCH(QStringList, cards);
        QFETCH(int, status);
        QFile::remove("window.csv");
        setUp(script);
        BatchWindow window(nullptr, "window.csv", {0, 0, 4000});
        const auto button = [&](const char *name) { return window.findChild<QPushButton *>(name); };
        stopFromOutside = [&] { QMetaObject::invokeMethod(button("btnStop"), "click", Qt::QueuedConnection); };
        QTRY_VERIFY(button("btnStart")->isEnabled());
        window.findChild<QLineEdit *>("editCount")->setText(args.value(args.indexOf("--count") + 1));
        button("btnStart")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!button("btnStop")->isEnabled(), 20000);
        stopFromOutside = nullptr;
        act({0, Lift, 0});
        const auto *table = window.findChild<QTableWidget *>("tableCards");
        const QStringList english{"prepared", "already-prepared", "failed", "invalid"},
                chinese{"已写好", "已写过", "失败", "无效"};
        QStringList shown;
        for (int row = 0; row < table->rowCount(); row++) {
            const QString codes = table->item(row, 4)->text();
            QCOMPARE(table->item(row, 0)->text(), QString::number(row + 1));
            shown << table->item(row, 2)->text() + ' ' + english.value(chinese.indexOf(table->item(row, 3)->text()))
                            + (codes.isEmpty() ? QString() : " (codes " + codes + ')');
        }
        QCOMPARE(shown, cards);
        QCOMPARE(window.findChild<QLabel *>("lblTotal")->text(), QString("合计：%1").arg(cards.size()));
        QCOMPARE(window.findChild<QLabel *>("lblPrompt")->text(),
                 status == 3 ? QString("读写器已拔出：请插好后按开始")
                             : args.contains("--count") ? QString("本批完成") : QString("已停止"));
        QFile journal("window.csv");
        QVERIFY(journal.open(QIODevice::ReadOnly));
        QStringList rows = QString::fromUtf8(journal.readAll()).split("\r\n");
        QCOMPARE(untimed(rows.mid(1, rows.size() - 2)), rowsOf(cards));
        checkCards(cards.join('\n'));
    }

    // Refused before any card is touched: a journal that another program
    // holds, as a spreadsheet does on Windows, with the likely cause named;
    // one whose "writing" row cannot be synced, which is taken back rather
    // than left to name a card that was never written. A journal deleted
    // while open is made anew for the next row.
    void journal_refusedOrMadeAnew()
    {
        const QByteArray header = "time,reader,uid,outcome,codes\r\n";
        const auto contents = [](const QString &name) {
            QFile file(name);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QFile::remove("cards.csv");
        QCOMPARE(run({"write", "--journal", "cards.csv"}, {}).status, 4);
#ifdef Q_OS_WIN
        HANDLE held = CreateFileW(L"cards.csv", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        const Run failed = run({"write", "--journal", "cards.csv"}, {{1, Lay, 0}});
        CloseHandle(held);
        QVERIFY2(failed.err.contains("another program holds the journal, for example a spreadsheet: close it"),
                 qPrintable(failed.err));
#else
        syncsBeforeFailure = 0;  // the "writing" row's
        const Run failed = run({"write", "--journal", "cards.csv"}, {{1, Lay, 0}});
        syncsBeforeFailure = -1;
        QVERIFY2(failed.err.contains("Input/output error"), qPrintable(failed.err));
#endif
        QCOMPARE(failed.status, 9);
        checkCards({});
        QCOMPARE(contents("cards.csv"), header);
#ifndef Q_OS_WIN  // where a file in use can be deleted
        Journal journal;
        QString error;
        QVERIFY(journal.open("cards.csv", error) && QFile::remove("cards.csv"));
        QVERIFY(journal.append({"a", "b"}, error));
        QCOMPARE(contents("cards.csv"), header + "a,b\r\n");
#endif
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
            "path: " + kPath + "\nproduct: " + kProduct + "\nmanufacturer: Maker\nserial: 1\nrelease: 0100\n",
            "[{'path':'/dev/hid \\'card\\',1','product':'" + kProduct + "','manufacturer':'Maker','serial':'1',"
            "'release':'0100','in_use_by':null,'may_open':true}]");
        row("read blank", {"read"}, 0, 0, "uid: 1A2B3C4D\natqa: 0004\nsak: 08\nkey: transport\nnumber: not written\n",
            "{'uid':'1A2B3C4D','atqa':'0004','sak':'08','key':'transport','number':null}");
        row("read prepared", {"--verbose", "read", "--reader", kPath}, 1, 0,
            "uid: 55667788\natqa: 0004\nsak: 08\nkey: site\nnumber: 55667788\n",
            "{'uid':'55667788','atqa':'0004','sak':'08','key':'site','number':'55667788'}");
        row("read, no card", {"read"}, -1, 4);
        row("read foreign", {"read"}, 2, 5);
        row("read, no such reader", {"read", "--reader", "/dev/none"}, 0, 3);
        row("write expected", {"--verbose", "write", "--expect-uid", "1a2b3c4d"}, 0, 0, "1A2B3C4D prepared\n",
            "{'uid':'1A2B3C4D','outcome':'prepared','codes':[]}");
        row("write another card", {"write", "--expect-uid", "0BADCAFE"}, 0, 7);
        row("write, bad UID", {"write", "--expect-uid", "1A2B3C4"}, 0, 2);
        row("option of another command", {"read", "--count", "1"}, 0, 2);
        row("journal, or none?", {"write", "--journal", "cards.csv", "--no-journal"}, 0, 2);
        row("write, no journal", {"write", "--no-journal"}, 0, 0, "1A2B3C4D prepared\n",
            "{'uid':'1A2B3C4D','outcome':'prepared','codes':[]}");
        row("journal in a missing folder", {"batch", "--journal", "none/cards.csv"}, 0, 9);
        row("journal cannot be written", {"batch", "--journal", "/dev/full"}, 0, 9);
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(int, card);
        QFETCH(int, status);
        QFETCH(QString, text);
        QFETCH(QString, json);
        // Writes go into the default journal, created with its folder. On
        // Windows it is the user's own: looked at only past what it held.
        const QString defaultJournal = userDataFolder() + "/journal.csv";
        const qint64 before = QFileInfo(defaultJournal).size();
        for (bool asJson : {false, true}) {
            const Run result = run(args + (asJson ? QStringList{"--json"} : QStringList()),
                                   {{1, card < 0 ? Lift : Lay, card}});
            QCOMPARE(result.status, status);
            checkCards(text);
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
        QFile journal(defaultJournal);
        const bool journalled = status == 0 && args.contains("write") && !args.contains("--no-journal");
        QCOMPARE(journal.open(QIODevice::ReadOnly) && journal.seek(before)
                         && journal.readAll().contains(",1A2B3C4D,prepared,\r\n"),
                 journalled);
    }
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
