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
// Factory keys around access bytes whose C2 bits do not match their inverted copy.
constexpr Block kMalformedTrailer = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x81,
                                     0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

class TestVirtualCard : public QObject {
    Q_OBJECT

private slots:
    // By a select or a failed authentication (and by leaving the field, as
    // overTheWire shows); for good by a malformed trailer, which the card takes.
    void authenticationLost()
    {
        Card card(kUid);
        const auto opened = [&card](int block) {
            card.select();
            return card.authenticate(block, KeyType::A, kFactory);
        };
        QVERIFY(opened(4));
        card.select();
        QVERIFY(!card.read(4));
        QVERIFY(card.authenticate(4, KeyType::A, kFactory));
        QVERIFY(!card.authenticate(4, KeyType::A, kTransportKey));
        QVERIFY(!card.read(4));

        QVERIFY(opened(12));
        QVERIFY(card.write(15, kMalformedTrailer));
        card.setRaw(15, Card(kUid).raw(15));  // well formed again, too late
        QVERIFY(card.sectorBlocked(3));
        QVERIFY(!opened(12));
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
