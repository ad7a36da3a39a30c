// What the other suites take for granted of the virtual card and reader:
// how authentication is lost, that a malformed trailer blocks its sector for
// good, and when a late answer arrives. Requests and trailers are built here
// by hand, so that the model is not checked against itself.
#include "frames.h"
#include "virtual_reader.h"

#include <QtTest>

using namespace virtual_reader;

class TestVirtualCard : public QObject {
    Q_OBJECT

private slots:
    void overTheWire()
    {
        const Uid uid = {0x1A, 0x2B, 0x3C, 0x4D};
        Reader &reader = plug({"vr-0", {}, {}, {}});
        reader.layCard(Card::blank(uid));
        hid_device *dev = hid_open_path("vr-0");
        Report answer{};
        const auto read = [&](int ms) { return hid_read_timeout(dev, answer.data(), answer.size(), ms); };
        const auto status = [&](const Report &req) {
            return hid_write(dev, req.data(), req.size()) == 64 && read(1000) == 64 ? answer[3] : -1;
        };
        // Block 56 with the transport key, for a card of this first UID byte.
        const auto auth = [](uint8_t uid0) {
            return request(0x15, {uid0, 0x2B, 0x3C, 0x4D, 56, 0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3});
        };
        const Report select = request(0x14), read57 = request(0x16, {57});

        QCOMPARE(status(auth(0x1A)), 1);  // idle until a card request
        QCOMPARE(status(select), 0);
        QCOMPARE(status(auth(0x1A)), 0);
        QCOMPARE(status(read57), 0);
        QCOMPARE(status(auth(0x1B)), 1);  // another UID: a failed authentication ends the one before
        QCOMPARE(status(read57), 1);
        QCOMPARE(status(select), 0);
        QCOMPARE(status(auth(0x1A)), 0);
        QCOMPARE(status(select), 0);  // so does a select
        QCOMPARE(status(read57), 1);
        QCOMPARE(status(auth(0x1A)), 0);
        reader.layCard(Card(*reader.card()));  // and being laid anew
        QCOMPARE(status(read57), 1);

        // A trailer whose access bytes' C2 bits do not match their inverted
        // copy: the card takes it, and the sector stays blocked for good.
        QCOMPARE(status(select), 0);
        QCOMPARE(status(auth(0x1A)), 0);
        QCOMPARE(status(request(0x17, {59, 0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3, 0xFF, 0x07, 0x81, 0x69, 0xD4, 0x7E,
                                       0x0B, 0x91, 0xC6, 0xF3})), 0);
        reader.card()->setRaw(59, Card::blank(uid).raw(59));  // well formed again, too late
        QVERIFY(reader.card()->sectorBlocked(14));
        QCOMPARE(status(select), 0);
        QCOMPARE(status(auth(0x1A)), 1);

        // A late answer comes only after a read that waited for it gave up.
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
