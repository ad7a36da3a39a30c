// The virtual card against the MIFARE Classic 1K access tables, and what of
// the virtual reader's frames the link tests cannot see: malformed requests,
// the card slot and late answers. Access bytes and frames are built here by
// hand so that the model is not checked against itself.
#include "reader.h"
#include "virtual_reader.h"

#include <QtTest>

using namespace virtual_reader;

namespace {

constexpr Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
constexpr Key kFactory = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Key kKeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr Key kKeyB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
constexpr Block kPattern = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr std::array<uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};

// Access bytes 6-9 for the C1 C2 C3 conditions (as 3-bit numbers) of
// blocks 0 to 3, the last being the trailer's.
std::array<uint8_t, 4> accessFor(int b0, int b1, int b2, int trailer)
{
    const int cond[4] = {b0, b1, b2, trailer};
    uint8_t b6 = 0, b7 = 0, b8 = 0;
    for (int i = 0; i < 4; ++i) {
        const int c1 = cond[i] >> 2 & 1, c2 = cond[i] >> 1 & 1, c3 = cond[i] & 1;
        b6 |= (!c1) << i | (!c2) << (4 + i);
        b7 |= (!c3) << i | c1 << (4 + i);
        b8 |= c2 << i | c3 << (4 + i);
    }
    return {b6, b7, b8, 0x69};
}

Block trailer(const Key &a, const std::array<uint8_t, 4> &access, const Key &b)
{
    Block t{};
    std::copy(a.begin(), a.end(), t.begin());
    std::copy(access.begin(), access.end(), t.begin() + 6);
    std::copy(b.begin(), b.end(), t.begin() + 10);
    return t;
}

bool opened(Card &card, int block, KeyType type, const Key &key)
{
    card.select();
    return card.authenticate(block, type, key);
}

Report request(uint8_t command, std::vector<uint8_t> data = {})
{
    Report r{0x01, 0xD1, command, uint8_t(data.size())};
    std::copy(data.begin(), data.end(), r.begin() + 4);
    r[4 + data.size()] = reader_crc8(&r[1], 3 + int(data.size()));
    r[5 + data.size()] = 0xD2;
    return r;
}

// Report id, start marker, echo, status and length of the answer to `req`.
QByteArray answerHead(hid_device *dev, const Report &req)
{
    Report answer{};
    if (hid_write(dev, req.data(), req.size()) != 64 || hid_read_timeout(dev, answer.data(), 64, 1000) != 64)
        return "none";
    return QByteArray(reinterpret_cast<const char *>(answer.data()), 5).toHex(' ');
}

}  // namespace

class TestVirtualCard : public QObject {
    Q_OBJECT

    Reader *reader = nullptr;
    hid_device *dev = nullptr;

private slots:
    void init()
    {
        unplugAll();
        reader = &plug({"vr-0", {}, {}, {}});
        dev = hid_open_path("vr-0");
    }

    void cleanup()
    {
        hid_close(dev);
        unplugAll();
    }

    // Per C1 C2 C3, as the datasheet gives them: who may read / write a data
    // block; who may write key A, read and write the access bytes, read and
    // write key B ("-": nobody).
    void accessConditions_data()
    {
        QTest::addColumn<QByteArrayList>("dataRights");
        QTest::addColumn<QByteArrayList>("trailerRights");
        QTest::newRow("000") << QByteArrayList{"AB", "AB"} << QByteArrayList{"A", "A", "-", "A", "A"};
        QTest::newRow("010") << QByteArrayList{"AB", "-"} << QByteArrayList{"-", "A", "-", "A", "-"};
        QTest::newRow("100") << QByteArrayList{"AB", "B"} << QByteArrayList{"B", "AB", "-", "-", "B"};
        QTest::newRow("110") << QByteArrayList{"AB", "B"} << QByteArrayList{"-", "AB", "-", "-", "-"};
        QTest::newRow("001") << QByteArrayList{"AB", "-"} << QByteArrayList{"A", "A", "A", "A", "A"};
        QTest::newRow("011") << QByteArrayList{"B", "B"} << QByteArrayList{"B", "AB", "B", "-", "B"};
        QTest::newRow("101") << QByteArrayList{"B", "-"} << QByteArrayList{"-", "AB", "B", "-", "-"};
        QTest::newRow("111") << QByteArrayList{"-", "-"} << QByteArrayList{"-", "AB", "-", "-", "-"};
    }

    void accessConditions()
    {
        const int condition = QByteArray(QTest::currentDataTag()).toInt(nullptr, 2);
        QFETCH(QByteArrayList, dataRights);
        QFETCH(QByteArrayList, trailerRights);
        const auto access = accessFor(0, 0, 0, condition);
        const Block stored = trailer(kKeyA, access, kKeyB), changed = trailer(kSiteKey, access, kSiteKey);
        for (const char name : {'A', 'B'}) {
            const KeyType type = name == 'A' ? KeyType::A : KeyType::B;
            const Key &key = name == 'A' ? kKeyA : kKeyB;
            // A data block, under a trailer that keeps key B secret so that key B may authenticate.
            Card card(kUid);
            card.setRaw(7, trailer(kKeyA, accessFor(0, condition, 0, 0b011), kKeyB));
            QVERIFY(opened(card, 5, type, key));
            QCOMPARE(card.read(5).has_value(), dataRights[0].contains(name));
            QCOMPARE(card.write(5, kPattern), dataRights[1].contains(name));

            // The trailer. A readable key B cannot authenticate; key A never
            // reads back; a write needs every part writable with the key.
            const auto may = [&](int part) { return trailerRights[part].contains(name); };
            card.setRaw(11, stored);
            const bool opens = opened(card, 8, type, key);
            QCOMPARE(opens, name == 'A' || trailerRights[3] == "-");
            if (!opens)
                continue;
            const Block seen = trailer({}, may(1) ? access : decltype(access){}, may(3) ? kKeyB : Key{});
            QCOMPARE(*card.read(11), seen);
            QCOMPARE(card.write(11, changed), may(0) && may(2) && may(4));
            QCOMPARE(card.raw(11), may(0) && may(2) && may(4) ? changed : stored);
        }
    }

    void blockZeroAndReadyMadeCards()
    {
        QCOMPARE(accessFor(0, 0, 0, 1), kTransportAccess);  // checks the helper against the datasheet
        Card blank = Card::blank(kUid), prepared = Card::prepared(kUid), unknown = Card::unknownKeys(kUid);
        QVERIFY(opened(blank, 1, KeyType::A, kFactory));
        QVERIFY(!blank.write(0, kPattern));  // block 0, never written

        QCOMPARE(blank.raw(59), trailer(kTransportKey, kTransportAccess, kTransportKey));
        QCOMPARE(prepared.raw(59), trailer(kSiteKey, kTransportAccess, kSiteKey));
        QVERIFY(!std::equal(kUid.begin(), kUid.end(), blank.raw(56).begin()));
        QVERIFY(std::equal(kUid.begin(), kUid.end(), prepared.raw(56).begin()));
        for (const Key &key : {kTransportKey, kSiteKey, kFactory})
            QVERIFY(!opened(unknown, 56, KeyType::A, key));
    }

    // By a select, a failed authentication or leaving the field; for good by
    // a malformed trailer.
    void authenticationLost()
    {
        Card card(kUid);
        QVERIFY(opened(card, 4, KeyType::A, kFactory));
        QVERIFY(!card.write(8, kPattern));  // another sector
        card.select();
        QVERIFY(!card.read(4));
        QVERIFY(card.authenticate(4, KeyType::A, kFactory));
        QVERIFY(!card.authenticate(4, KeyType::A, kKeyA));
        QVERIFY(!card.read(4));
        QVERIFY(card.authenticate(4, KeyType::A, kFactory));
        card.leaveField();
        QVERIFY(!card.write(4, kPattern));

        QVERIFY(opened(card, 12, KeyType::A, kFactory));
        // One access bit without its inverted copy: the card takes the write.
        QVERIFY(card.write(15, trailer(kFactory, {0xFF, 0x07, 0x81, 0x69}, kFactory)));
        // Irreversible, even for whoever rewrites the memory directly.
        card.setRaw(15, trailer(kFactory, kTransportAccess, kFactory));
        QVERIFY(card.sectorBlocked(3));
        QVERIFY(!opened(card, 12, KeyType::A, kFactory));
        QVERIFY(opened(card, 8, KeyType::A, kFactory));
    }

    // Answered with status 1 and no data, the command echoed as received: a
    // silent reader would pass for a time-out.
    void malformedRequestsAreRefused()
    {
        QCOMPARE(answerHead(dev, request(0x02)), QByteArray("01 d1 02 00 00"));
        const auto spoilt = [](Report r, int at, uint8_t value) { r[at] = value; return r; };
        // Checksum, end marker, start marker, length past the report; unknown
        // command, data too short for the command.
        const std::pair<Report, const char *> malformed[] = {
            {spoilt(request(0x01), 4, 0x50), "01"}, {spoilt(request(0x10), 5, 0xD3), "10"},
            {spoilt(request(0x02), 1, 0xD0), "02"}, {spoilt(request(0x16, {56}), 3, 0xFA), "16"},
            {request(0x33), "33"}, {request(0x16), "16"}, {request(0x17, {56, 1, 2}), "17"},
        };
        for (const auto &[report, echo] : malformed)
            QCOMPARE(answerHead(dev, report), "01 d1 " + QByteArray(echo) + " 01 00");
    }

    // A card is idle until a card request selects it, and authenticates only
    // under its own UID; laid anew, it has lost its authentication.
    void cardSlot()
    {
        const auto auth = [](uint8_t uid0) {
            return request(0x15, {uid0, 0x2B, 0x3C, 0x4D, 56, 0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3});
        };
        reader->layCard(Card::blank(kUid));
        QCOMPARE(answerHead(dev, auth(0x1A)), QByteArray("01 d1 15 01 00"));
        QCOMPARE(answerHead(dev, request(0x14)), QByteArray("01 d1 14 00 07"));
        QCOMPARE(answerHead(dev, auth(0x1B)), QByteArray("01 d1 15 01 00"));
        QCOMPARE(answerHead(dev, auth(0x1A)), QByteArray("01 d1 15 00 00"));
        reader->layCard(Card(*reader->card()));
        QCOMPARE(answerHead(dev, request(0x16, {57})), QByteArray("01 d1 16 01 01"));
    }

    // Only a read that waits lets a late answer arrive, and only after it
    // gave up: the next read takes it, even one that does not wait.
    void lateAnswerWaitsForAWaitingRead()
    {
        Report answer{};
        const auto read = [&](int ms) { return hid_read_timeout(dev, answer.data(), answer.size(), ms); };
        reader->failNext(Fault::LateAnswer);
        QCOMPARE(hid_write(dev, request(0x02).data(), 64), 64);
        QCOMPARE(read(0), 0);
        QCOMPARE(read(1000), 0);
        QCOMPARE(read(0), 64);
        QCOMPARE(read(0), 0);
    }
};

QTEST_GUILESS_MAIN(TestVirtualCard)
#include "tst_virtual_card.moc"
