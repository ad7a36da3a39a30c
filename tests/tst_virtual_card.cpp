// What the other suites take for granted of the virtual card and reader:
// how authentication is lost, that a malformed trailer blocks its sector for
// good, and when a late answer arrives. Trailers and requests are built here
// by hand, so that the model is not checked against itself.
#include "frames.h"
#include "virtual_reader.h"

#include <QtTest>

using namespace virtual_reader;

namespace {

constexpr Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
constexpr Key kFactory = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Block kPattern = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

Block trailer(const Key &a, const std::array<uint8_t, 4> &access, const Key &b)
{
    Block t{};
    std::copy(a.begin(), a.end(), t.begin());
    std::copy(access.begin(), access.end(), t.begin() + 6);
    std::copy(b.begin(), b.end(), t.begin() + 10);
    return t;
}

bool opened(Card &card, int block, const Key &key)
{
    card.select();
    return card.authenticate(block, KeyType::A, key);
}

}  // namespace

class TestVirtualCard : public QObject {
    Q_OBJECT

private slots:
    // By a select, a failed authentication or leaving the field; for good by
    // a malformed trailer, which the card takes.
    void authenticationLost()
    {
        Card card(kUid);
        QVERIFY(opened(card, 4, kFactory));
        QVERIFY(!card.write(8, kPattern));  // another sector
        card.select();
        QVERIFY(!card.read(4));
        QVERIFY(card.authenticate(4, KeyType::A, kFactory));
        QVERIFY(!card.authenticate(4, KeyType::A, kTransportKey));
        QVERIFY(!card.read(4));
        QVERIFY(card.authenticate(4, KeyType::A, kFactory));
        card.leaveField();
        QVERIFY(!card.write(4, kPattern));

        QVERIFY(opened(card, 12, kFactory));
        QVERIFY(card.write(15, trailer(kFactory, {0xFF, 0x07, 0x81, 0x69}, kFactory)));
        card.setRaw(15, trailer(kFactory, {0xFF, 0x07, 0x80, 0x69}, kFactory));
        QVERIFY(card.sectorBlocked(3));
        QVERIFY(!opened(card, 12, kFactory));
    }

    // Over the wire: idle until a card request selects it, authenticated only
    // under its own UID, and no longer once laid anew. A late answer comes
    // only after a read that waited for it gave up.
    void overTheWire()
    {
        Reader &reader = plug({"vr-0", {}, {}, {}});
        reader.layCard(Card::blank(kUid));
        hid_device *dev = hid_open_path("vr-0");
        Report answer{};
        const auto read = [&](int ms) { return hid_read_timeout(dev, answer.data(), answer.size(), ms); };
        const auto status = [&](const Report &req) {
            return hid_write(dev, req.data(), req.size()) == 64 && read(1000) == 64 ? answer[3] : -1;
        };
        const auto auth = [](uint8_t uid0) {
            return request(0x15, {uid0, 0x2B, 0x3C, 0x4D, 56, 0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3});
        };
        QCOMPARE(status(auth(0x1A)), 1);
        QCOMPARE(status(request(0x14)), 0);
        QCOMPARE(status(auth(0x1B)), 1);
        QCOMPARE(status(request(0x14)), 0);
        QCOMPARE(status(auth(0x1A)), 0);
        QCOMPARE(status(request(0x16, {57})), 0);
        reader.layCard(Card(*reader.card()));
        QCOMPARE(status(request(0x16, {57})), 1);

        reader.failNext(Fault::LateAnswer);
        QCOMPARE(hid_write(dev, request(0x02).data(), 64), 64);
        QCOMPARE(read(0), 0);
        QCOMPARE(read(1000), 0);
        QCOMPARE(read(0), 64);
        QCOMPARE(read(0), 0);
        hid_close(dev);
        unplugAll();
    }
};

QTEST_GUILESS_MAIN(TestVirtualCard)
#include "tst_virtual_card.moc"
