// The virtual card against the MIFARE Classic 1K access tables, and the
// virtual reader's frames and registry as seen through hidapi. Frames are
// built here by hand so that the model is not checked against itself.
#include <virtual_reader.h>

#include <hidapi.h>

#include <QtTest>

using namespace virtual_reader;

namespace {

constexpr Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
constexpr Key kFactory = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Key kKeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr Key kKeyB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
constexpr Block kPattern = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

template <typename Bytes>
QByteArray hex(const Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex(' ');
}

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

uint8_t crc8(const uint8_t *data, int length)
{
    uint8_t crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

Report request(uint8_t command, const std::vector<uint8_t> &data = {})
{
    Report r{0x01, 0xD1, command, uint8_t(data.size())};
    std::copy(data.begin(), data.end(), r.begin() + 4);
    r[4 + data.size()] = crc8(&r[1], 3 + int(data.size()));
    r[5 + data.size()] = 0xD2;
    return r;
}

std::vector<uint8_t> withUid(uint8_t block, const Key &key)
{
    std::vector<uint8_t> data(kUid.begin(), kUid.end());
    data.push_back(block);
    data.insert(data.end(), key.begin(), key.end());
    return data;
}

struct Answer {
    int result = 0;
    Report bytes{};
    uint8_t command() const { return bytes[2]; }
    uint8_t status() const { return bytes[3]; }
    int length() const { return bytes[4]; }
    QByteArray data() const { return hex(std::vector<uint8_t>(&bytes[5], &bytes[5] + length())); }
    bool wellFormed() const
    {
        return result == 64 && bytes[0] == 0x01 && bytes[1] == 0xD1 && length() <= 57
               && bytes[5 + length()] == crc8(&bytes[1], 4 + length()) && bytes[6 + length()] == 0xD2;
    }
};

Identity at(const std::string &path)
{
    Identity identity;
    identity.path = path;
    return identity;
}

Answer readAnswer(hid_device *dev, int timeoutMs = 1000)
{
    Answer a;
    a.result = hid_read_timeout(dev, a.bytes.data(), a.bytes.size(), timeoutMs);
    return a;
}

Answer transact(hid_device *dev, const Report &req)
{
    if (hid_write(dev, req.data(), req.size()) != 64)
        return {-1, {}};
    return readAnswer(dev);
}

}  // namespace

class TestVirtualCard : public QObject {
    Q_OBJECT

private slots:
    void init() { unplugAll(); }
    void cleanup()
    {
        unplugAll();
        QCOMPARE(openHandles(), 0);
    }

    void cardLayout();
    void dataBlockAccess_data();
    void dataBlockAccess();
    void trailerAccess_data();
    void trailerAccess();
    void readyMadeCards();
    void malformedTrailerBlocksSector();
    void authenticationDropped();

    void linkFramesAndMalformedRequests();
    void cardCommandsOverHid();
    void answerFaults();
    void lateAnswerAndTimeOuts();
    void registryAcrossUnplug();
};

void TestVirtualCard::cardLayout()
{
    QCOMPARE(hex(accessFor(0, 0, 0, 1)), QByteArray("ff 07 80 69"));  // the datasheet's transport bytes
    Card card(kUid);
    const Block block0 = card.raw(0);
    QCOMPARE(hex(std::vector<uint8_t>(block0.begin(), block0.begin() + 8)),
             QByteArray("1a 2b 3c 4d 40 08 04 00"));
    QCOMPARE(card.sak(), uint8_t(0x08));
    QCOMPARE(hex(card.atqa()), QByteArray("04 00"));
    for (int sector = 0; sector < 16; ++sector) {
        QCOMPARE(card.keyA(sector), kFactory);
        QCOMPARE(card.keyB(sector), kFactory);
        QCOMPARE(hex(card.accessBytes(sector)), QByteArray("ff 07 80 69"));
    }
    // Block 0 reads with the sector's key but is never written.
    card.select();
    QVERIFY(card.authenticate(1, KeyType::A, kFactory));
    QCOMPARE(card.read(0), std::optional<Block>(block0));
    QVERIFY(!card.write(0, kPattern));
    QVERIFY(card.write(1, kPattern));
    QCOMPARE(card.raw(0), block0);
}

void TestVirtualCard::dataBlockAccess_data()
{
    QTest::addColumn<int>("condition");
    QTest::addColumn<bool>("readA");
    QTest::addColumn<bool>("writeA");
    QTest::addColumn<bool>("readB");
    QTest::addColumn<bool>("writeB");
    QTest::newRow("000 transport") << 0b000 << true << true << true << true;
    QTest::newRow("010") << 0b010 << true << false << true << false;
    QTest::newRow("100") << 0b100 << true << false << true << true;
    QTest::newRow("110") << 0b110 << true << false << true << true;
    QTest::newRow("001") << 0b001 << true << false << true << false;
    QTest::newRow("011") << 0b011 << false << false << true << true;
    QTest::newRow("101") << 0b101 << false << false << true << false;
    QTest::newRow("111") << 0b111 << false << false << false << false;
}

void TestVirtualCard::dataBlockAccess()
{
    QFETCH(int, condition);
    QFETCH(bool, readA);
    QFETCH(bool, writeA);
    QFETCH(bool, readB);
    QFETCH(bool, writeB);
    // Trailer 011 keeps key B secret, so that key B may authenticate.
    Card card(kUid);
    card.setRaw(7, trailer(kKeyA, accessFor(0, condition, 0, 0b011), kKeyB));
    const struct {
        KeyType type;
        Key key;
        bool read, write;
    } cases[] = {{KeyType::A, kKeyA, readA, writeA}, {KeyType::B, kKeyB, readB, writeB}};
    for (const auto &c : cases) {
        card.setRaw(5, {});
        card.select();
        QVERIFY(card.authenticate(5, c.type, c.key));
        QCOMPARE(card.read(5).has_value(), c.read);
        QCOMPARE(card.write(5, kPattern), c.write);
        QCOMPARE(card.raw(5), c.write ? kPattern : Block{});
        QVERIFY(card.read(4).has_value());  // the neighbour stays on 000
    }
}

void TestVirtualCard::trailerAccess_data()
{
    QTest::addColumn<int>("condition");
    QTest::addColumn<bool>("keyBReadable");
    QTest::addColumn<bool>("accessReadB");
    QTest::addColumn<bool>("writeA");
    QTest::addColumn<bool>("writeB");
    // Key B is readable under 000, 010 and 001, and cannot authenticate there.
    // Access bytes are readable with every key that can authenticate. A
    // trailer write needs every part writable with the key.
    QTest::newRow("000") << 0b000 << true << false << false << false;
    QTest::newRow("010") << 0b010 << true << false << false << false;
    QTest::newRow("100") << 0b100 << false << true << false << false;
    QTest::newRow("110") << 0b110 << false << true << false << false;
    QTest::newRow("001 transport") << 0b001 << true << false << true << false;
    QTest::newRow("011") << 0b011 << false << true << false << true;
    QTest::newRow("101") << 0b101 << false << true << false << false;
    QTest::newRow("111") << 0b111 << false << true << false << false;
}

void TestVirtualCard::trailerAccess()
{
    QFETCH(int, condition);
    QFETCH(bool, keyBReadable);
    QFETCH(bool, accessReadB);
    QFETCH(bool, writeA);
    QFETCH(bool, writeB);
    const auto access = accessFor(0, 0, 0, condition);
    const Block stored = trailer(kKeyA, access, kKeyB);
    const Block changed = trailer(kSiteKey, access, kSiteKey);
    Card card(kUid);
    card.setRaw(11, stored);

    card.select();
    QVERIFY(card.authenticate(8, KeyType::A, kKeyA));
    const Block seenWithA = trailer(Key{}, access, keyBReadable ? kKeyB : Key{});
    QCOMPARE(hex(*card.read(11)), hex(seenWithA));
    QCOMPARE(card.write(11, changed), writeA);
    QCOMPARE(card.raw(11), writeA ? changed : stored);

    card.setRaw(11, stored);
    card.select();
    QCOMPARE(card.authenticate(8, KeyType::B, kKeyB), !keyBReadable);
    if (keyBReadable)
        return;
    const Block seenWithB = trailer(Key{}, accessReadB ? access : std::array<uint8_t, 4>{}, Key{});
    QCOMPARE(hex(*card.read(11)), hex(seenWithB));
    QCOMPARE(card.write(11, changed), writeB);
    QCOMPARE(card.raw(11), writeB ? changed : stored);
    QVERIFY(!card.sectorBlocked(2));
}

void TestVirtualCard::readyMadeCards()
{
    const Card blank = Card::blank(kUid);
    QCOMPARE(blank.keyA(14), kTransportKey);
    QCOMPARE(blank.keyB(14), kTransportKey);
    QCOMPARE(hex(blank.accessBytes(14)), QByteArray("ff 07 80 69"));
    const Block blank56 = blank.raw(56);
    QVERIFY(!std::equal(kUid.begin(), kUid.end(), blank56.begin()));

    Card prepared = Card::prepared(kUid);
    QCOMPARE(prepared.keyA(14), kSiteKey);
    QCOMPARE(prepared.keyB(14), kSiteKey);
    QCOMPARE(hex(prepared.accessBytes(14)), QByteArray("ff 07 80 69"));
    Block expected56 = blank56;
    std::copy(kUid.begin(), kUid.end(), expected56.begin());
    QCOMPARE(prepared.raw(56), expected56);
    QCOMPARE(prepared.keyA(13), kFactory);

    Card unknown = Card::unknownKeys(kUid);
    for (const Key &key : {kTransportKey, kSiteKey, kFactory}) {
        unknown.select();
        QVERIFY(!unknown.authenticate(56, KeyType::A, key));
    }
    prepared.select();
    QVERIFY(!prepared.authenticate(56, KeyType::A, kTransportKey));
    QVERIFY(prepared.authenticate(56, KeyType::A, kSiteKey));
}

void TestVirtualCard::malformedTrailerBlocksSector()
{
    Card card(kUid);
    card.select();
    QVERIFY(card.authenticate(12, KeyType::A, kFactory));
    // One access bit without its inverted copy: the card takes the write.
    QVERIFY(card.write(15, trailer(kFactory, {0xFF, 0x07, 0x81, 0x69}, kFactory)));
    QVERIFY(card.sectorBlocked(3));
    for (int attempt = 0; attempt < 2; ++attempt) {
        card.select();
        QVERIFY(!card.authenticate(12, KeyType::A, kFactory));
        QVERIFY(!card.read(12));
        QVERIFY(!card.write(12, kPattern));
    }
    // Irreversible, even for whoever rewrites the memory directly.
    card.setRaw(15, trailer(kFactory, {0xFF, 0x07, 0x80, 0x69}, kFactory));
    QVERIFY(card.sectorBlocked(3));
    QVERIFY(!card.authenticate(12, KeyType::A, kFactory));
    QVERIFY(!card.sectorBlocked(2));
    QVERIFY(card.authenticate(8, KeyType::A, kFactory));
}

void TestVirtualCard::authenticationDropped()
{
    Card card(kUid);
    card.select();
    QVERIFY(card.authenticate(4, KeyType::A, kFactory));
    QVERIFY(card.read(7));
    QVERIFY(!card.read(8));  // another sector
    QVERIFY(!card.write(8, kPattern));

    card.select();
    QVERIFY(!card.read(4));
    QVERIFY(card.authenticate(4, KeyType::A, kFactory));
    QVERIFY(!card.authenticate(4, KeyType::A, kKeyA));
    QVERIFY(!card.read(4));
    QVERIFY(card.authenticate(4, KeyType::A, kFactory));
    card.leaveField();
    QVERIFY(!card.write(4, kPattern));
    QCOMPARE(card.raw(4), Block{});
}

void TestVirtualCard::linkFramesAndMalformedRequests()
{
    const std::string check = "123456789";
    QCOMPARE(crc8(reinterpret_cast<const uint8_t *>(check.data()), int(check.size())), uint8_t(0xF4));

    Reader &reader = plug(at("vr-0"));
    hid_device *dev = hid_open_path("vr-0");
    QVERIFY(dev);
    Answer a = transact(dev, request(0x02));
    QVERIFY(a.wellFormed());
    QCOMPARE(hex(std::vector<uint8_t>(&a.bytes[0], &a.bytes[7])), QByteArray("01 d1 02 00 00 0d d2"));
    QCOMPARE(reader.received().size(), size_t(1));
    QCOMPARE(reader.received()[0], request(0x02));

    Report badCrc = request(0x01);
    badCrc[4] ^= 1;
    Report badEnd = request(0x10);
    badEnd[5] = 0xD3;
    Report badStart = request(0x02);
    badStart[1] = 0xD0;
    Report lengthPastReport = request(0x16, {56});
    lengthPastReport[3] = 0xFA;
    const struct {
        const char *what;
        Report report;
        uint8_t echo;
    } malformed[] = {
        {"checksum", badCrc, 0x01},           {"end marker", badEnd, 0x10},
        {"start marker", badStart, 0x02},     {"length past report", lengthPastReport, 0x16},
        {"unknown", request(0x33), 0x33},     {"read without block", request(0x16), 0x16},
        {"write too short", request(0x17, {56, 1, 2}), 0x17},
    };
    for (const auto &m : malformed) {
        a = transact(dev, m.report);
        QVERIFY2(a.wellFormed(), m.what);
        QCOMPARE(a.command(), m.echo);
        QCOMPARE(a.status(), uint8_t(0x01));
        QCOMPARE(a.length(), 0);
    }
    hid_close(dev);
}

void TestVirtualCard::cardCommandsOverHid()
{
    Reader &reader = plug(at("vr-0"));
    hid_device *dev = hid_open_path("vr-0");
    QVERIFY(dev);
    QCOMPARE(transact(dev, request(0x14)).status(), uint8_t(0x01));

    reader.layCard(Card::blank(kUid));
    // Not selected since laid.
    QCOMPARE(transact(dev, request(0x15, withUid(56, kTransportKey))).status(), uint8_t(0x01));
    Answer a = transact(dev, request(0x14));
    QCOMPARE(a.status(), uint8_t(0x00));
    QCOMPARE(a.data(), QByteArray("04 00 1a 2b 3c 4d 08"));
    std::vector<uint8_t> otherUid = withUid(56, kTransportKey);
    otherUid[0] ^= 1;
    QCOMPARE(transact(dev, request(0x15, otherUid)).status(), uint8_t(0x01));
    QCOMPARE(transact(dev, request(0x15, withUid(64, kTransportKey))).status(), uint8_t(0x01));
    QCOMPARE(transact(dev, request(0x15, withUid(56, kSiteKey))).status(), uint8_t(0x01));
    QCOMPARE(transact(dev, request(0x15, withUid(56, kTransportKey))).status(), uint8_t(0x00));

    a = transact(dev, request(0x16, {59}));
    QCOMPARE(a.status(), uint8_t(0x00));
    QCOMPARE(a.data(), "3b " + hex(trailer(Key{}, {0xFF, 0x07, 0x80, 0x69}, kTransportKey)));
    std::vector<uint8_t> write = {57};
    write.insert(write.end(), kPattern.begin(), kPattern.end());
    a = transact(dev, request(0x17, write));
    QCOMPARE(a.status(), uint8_t(0x00));
    QCOMPARE(a.data(), QByteArray("39"));
    QCOMPARE(reader.card()->raw(57), kPattern);
    a = transact(dev, request(0x16, {60}));  // outside the sector
    QCOMPARE(a.status(), uint8_t(0x01));
    QCOMPARE(a.data(), QByteArray("3c"));

    // The card leaving the field takes its authentication with it.
    const Card card = *reader.card();
    reader.removeCard();
    QCOMPARE(transact(dev, request(0x16, {57})).status(), uint8_t(0x01));
    reader.layCard(card);
    QCOMPARE(transact(dev, request(0x16, {57})).status(), uint8_t(0x01));

    // A request hook swaps the card between two transactions.
    QCOMPARE(transact(dev, request(0x14)).status(), uint8_t(0x00));
    reader.onRequest = [&reader](uint8_t command) {
        if (command == 0x15)
            reader.layCard(Card::blank(kUid));
    };
    QCOMPARE(transact(dev, request(0x15, withUid(56, kTransportKey))).status(), uint8_t(0x01));
    hid_close(dev);
}

void TestVirtualCard::answerFaults()
{
    Reader &reader = plug(at("vr-0"));
    reader.layCard(Card::blank(kUid));
    hid_device *dev = hid_open_path("vr-0");
    QVERIFY(dev);
    transact(dev, request(0x14));
    transact(dev, request(0x15, withUid(56, kTransportKey)));
    std::vector<uint8_t> write = {57};
    write.insert(write.end(), kPattern.begin(), kPattern.end());

    reader.failNext(Fault::StatusError, 0x17);
    Answer a = transact(dev, request(0x17, write));
    QCOMPARE(a.status(), uint8_t(0x01));
    QCOMPARE(reader.card()->raw(57), Block{});

    reader.failNext(Fault::BadStart);
    a = transact(dev, request(0x02));
    QCOMPARE(a.bytes[1], uint8_t(0xD0));
    QCOMPARE(a.bytes[5], crc8(&a.bytes[1], 4));  // only the marker is wrong
    reader.failNext(Fault::WrongEcho);
    a = transact(dev, request(0x02));
    QVERIFY(a.wellFormed());
    QVERIFY(a.command() != 0x02);
    reader.failNext(Fault::LengthBeyondReport);
    QVERIFY(transact(dev, request(0x02)).length() + 6 > 64);

    reader.failAt(1, Fault::ShortAnswer);
    reader.failAlways(Fault::WrongBlock, 0x16);
    QCOMPARE(transact(dev, request(0x16, {56})).data().left(2), QByteArray("39"));  // 57
    a = transact(dev, request(0x16, {56}));
    QVERIFY(a.wellFormed());
    QCOMPARE(a.length(), 9);
    reader.clearFaults();
    a = transact(dev, request(0x17, write));  // unlike the one refused above
    QCOMPARE(a.data(), QByteArray("39"));
    QCOMPARE(reader.card()->raw(57), kPattern);

    // A replaced answer still lets the card do its work.
    reader.answerNextWith({0x01, 0xD1, 0x17}, 5);
    QVERIFY(readAnswer(dev, 0).result == 0);  // draining before the request does not take it
    write[1] = 0xEE;
    a = transact(dev, request(0x17, write));
    QCOMPARE(a.result, 5);
    QCOMPARE(hex(std::vector<uint8_t>(&a.bytes[0], &a.bytes[5])), QByteArray("01 d1 17 00 00"));
    QCOMPARE(reader.card()->raw(57)[0], uint8_t(0xEE));
    QCOMPARE(readAnswer(dev).result, 0);

    reader.failNext(Fault::WriteFails);
    QCOMPARE(hid_write(dev, request(0x02).data(), 64), -1);
    QCOMPARE(readAnswer(dev).result, 0);
    reader.failNext(Fault::Unplug);
    QCOMPARE(hid_write(dev, request(0x02).data(), 64), -1);
    QVERIFY(!find("vr-0"));
    QCOMPARE(readAnswer(dev).result, -1);
    hid_close(dev);
}

void TestVirtualCard::lateAnswerAndTimeOuts()
{
    Reader &reader = plug(at("vr-0"));
    hid_device *dev = hid_open_path("vr-0");
    QVERIFY(dev);
    reader.failNext(Fault::LateAnswer);
    QCOMPARE(hid_write(dev, request(0x02).data(), 64), 64);
    QCOMPARE(readAnswer(dev, 0).result, 0);     // not there yet
    QCOMPARE(readAnswer(dev, 1000).result, 0);  // times out; arrives right after
    Answer a = readAnswer(dev, 0);
    QVERIFY(a.wellFormed());
    QCOMPARE(a.command(), uint8_t(0x02));
    QCOMPARE(readAnswer(dev, 0).result, 0);

    reader.failNext(Fault::NoAnswer);
    QCOMPARE(transact(dev, request(0x02)).result, 0);
    reader.failNext(Fault::ReadError);
    QCOMPARE(transact(dev, request(0x02)).result, -1);
    QVERIFY(transact(dev, request(0x02)).wellFormed());
    hid_close(dev);
}

void TestVirtualCard::registryAcrossUnplug()
{
    plug({"vr-0", L"Quendel", L"Writer", std::nullopt, 0x0102, 0x1234, 0xABCD});
    plug({"vr-1", std::nullopt, L"Other", L"SN1", 0x0100, 0x1234, 0x0001});
    plug(at("vr-2"));
    QCOMPARE(hid_enumerate(0x1111, 0), static_cast<hid_device_info *>(nullptr));
    hid_device_info *list = hid_enumerate(0x1234, 0xABCD);
    QVERIFY(list && list->next && !list->next->next);
    QCOMPARE(QByteArray(list->path), QByteArray("vr-0"));
    QCOMPARE(QString::fromWCharArray(list->product_string), QString("Writer"));
    QVERIFY(!list->serial_number);
    QCOMPARE(list->release_number, (unsigned short)0x0102);
    QCOMPARE(QByteArray(list->next->path), QByteArray("vr-2"));
    hid_free_enumeration(list);
    list = hid_enumerate(0, 0);
    QVERIFY(list && list->next && list->next->next);
    QVERIFY(!list->next->manufacturer_string);
    hid_free_enumeration(list);

    hid_device *first = hid_open_path("vr-0");
    hid_device *second = hid_open_path("vr-0");
    hid_device *other = hid_open_path("vr-2");
    QVERIFY(first && second && other);
    QVERIFY(!hid_open_path("vr-9"));
    QVERIFY(!hid_open_path(nullptr));
    QCOMPARE(openHandles(), 3);

    unplug("vr-0");
    QVERIFY(!find("vr-0"));
    QCOMPARE(hid_write(first, request(0x02).data(), 64), -1);
    QCOMPARE(hid_read_timeout(second, Report{}.data(), 64, 0), -1);
    QVERIFY(!hid_open_path("vr-0"));
    QVERIFY(transact(other, request(0x02)).wellFormed());
    hid_close(first);

    // Plugged again: a new reader; the old handle stays dead.
    Reader &again = plug(at("vr-0"));
    QVERIFY(!again.isOpen());
    QCOMPARE(hid_write(second, request(0x02).data(), 64), -1);
    hid_device *fresh = hid_open_path("vr-0");
    QVERIFY(again.isOpen());
    QVERIFY(transact(fresh, request(0x02)).wellFormed());
    hid_close(second);
    hid_close(fresh);
    hid_close(other);
    QCOMPARE(openHandles(), 0);
    QCOMPARE(calls().open_path, 7);
    QCOMPARE(calls().close, 4);
    resetCalls();
    QCOMPARE(calls().write, 0);
}

QTEST_GUILESS_MAIN(TestVirtualCard)
#include "tst_virtual_card.moc"
