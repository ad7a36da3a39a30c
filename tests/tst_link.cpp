// The reader link over the virtual reader: checksum, request reports, the
// checks on every answer, stale and late answers, and the device list.
#include "reader.h"
#include "frames.h"
#include "virtual_reader.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace vr = virtual_reader;

static const char *kPath = "/dev/hidraw-test";

class TestLink : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;

private slots:
    void init()
    {
        reader_close();
        vr::unplugAll();
        reader = &vr::plug({kPath, L"Maker", L"Card Reader", L"0001", 0x0100});
        QCOMPARE(reader_open(kPath), 0);
        reader->clearReceived();
        vr::resetCalls();
    }

    void cleanup() { reader_close(); }

    // CRC-8/SMBUS as catalogued, and in the link commands' fixed reports.
    void crc8AndFixedReports()
    {
        const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        QCOMPARE(reader_crc8(digits, 9), uint8_t(0xF4));
        QCOMPARE(reader_crc8(digits, -1), uint8_t(0x00));
        QCOMPARE(reader_cmd_connect(), 0);
        QCOMPARE(reader_cmd_heartbeat(), 0);
        QCOMPARE(reader_cmd_pre_request(), 0);
        QVERIFY(reader->received() == std::vector<vr::Report>({report({0x01, 0xD1, 0x01, 0x00, 0x51, 0xD2}),
                                                               report({0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2}),
                                                               report({0x01, 0xD1, 0x10, 0x00, 0x13, 0xD2})}));
    }

    // What the heartbeat's read returns: an answer of so many bytes, 0 for a
    // time-out or -1 for an error. Each spoilt frame is otherwise sound, so
    // that only the one check can refuse it.
    void transact_checksAnswer_data()
    {
        QTest::addColumn<std::vector<uint8_t>>("bytes");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        const auto spoilt = [](std::vector<uint8_t> frame, size_t at, uint8_t value) {
            frame[at] = value;
            return frame;
        };
        // A full-length answer whose length byte puts its crc and end marker
        // at offsets 63 and 64, the end past the report.
        const auto beyond = spoilt(answer(0x02, 0x00, std::vector<uint8_t>(kMaxResponseData, 0xD2)), 4,
                                   kMaxResponseData + 1);

        QTest::newRow("well formed") << answer(0x02, 0x00) << 64 << 0;
        // The status byte is the card commands' to judge.
        QTest::newRow("literal, status 1") << std::vector<uint8_t>{1, 0xD1, 0x02, 0x01, 0x00, 0x18, 0xD2} << 64 << 0;
        QTest::newRow("answer for another command") << answer(0x01, 0x00) << 64 << -1;
        QTest::newRow("wrong start marker") << std::vector<uint8_t>{1, 0xD0, 0x02, 0x00, 0x00, 0x1B, 0xD2} << 64 << -1;
        QTest::newRow("wrong end marker") << spoilt(answer(0x02, 0x00), 6, 0xD3) << 64 << -1;
        QTest::newRow("corrupted data byte") << spoilt(answer(0x02, 0x00, {0x10, 0x20, 0x30}), 6, 0x21) << 64 << -1;
        QTest::newRow("length beyond the report") << beyond << 64 << -1;
        QTest::newRow("time-out") << std::vector<uint8_t>() << 0 << -1;
        QTest::newRow("read error") << std::vector<uint8_t>() << -1 << -1;
    }

    // None of it closes the link or spoils the next transaction.
    void transact_checksAnswer()
    {
        QFETCH(std::vector<uint8_t>, bytes);
        QFETCH(int, count);
        reader->answerNextWith(bytes, count);
        QTEST(reader_cmd_heartbeat(), "expected");
        QVERIFY(reader_handle);
        QCOMPARE(reader_cmd_heartbeat(), 0);
    }

    void transact_keepsToTheReportAndTheCallersArea()
    {
        uint8_t area[kMaxResponseData];
        memset(area, 0xEE, sizeof area);
        reader->answerNextWith(answer(0x16, 0x00, {1, 2, 3, 4, 5}), 64);
        QCOMPARE(reader_transact(0x16, nullptr, 0, area, 4, nullptr), -1);
        QCOMPARE(area[0], uint8_t(0xEE));

        reader->answerNextWith(answer(0x16, 0x00, {1, 2, 3}), 64);
        ReaderReply reply = {};
        QCOMPARE(reader_transact(0x16, nullptr, 0, area, 4, &reply), 0);
        QCOMPARE(reply.length, 3);
        QCOMPARE(area[2], uint8_t(3));
        QCOMPARE(area[3], uint8_t(0xEE));  // beyond the answer's data, as the caller left it

        reader->answerNextWith(answer(0x16, 0x00, std::vector<uint8_t>(kMaxResponseData, 0x5A)), 64);
        QCOMPARE(reader_transact(0x16, nullptr, 0, area, sizeof area, &reply), 0);
        QCOMPARE(area[kMaxResponseData - 1], uint8_t(0x5A));
    }

    // The answer to a heartbeat that timed out comes late; the next exchange
    // must not take it for its own.
    void lateAnswer_notTakenByTheNextRequest()
    {
        reader->failNext(vr::Fault::LateAnswer);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(reader_cmd_pre_request(), 0);
        QCOMPARE(reader_cmd_heartbeat(), 0);
    }

    // A late answer that comes in just after the heartbeat went out, ahead of
    // the heartbeat's own answer.
    void lateAnswer_afterTheRequest_data()
    {
        QTest::addColumn<int>("late");  // the command it answers
        QTest::addColumn<bool>("corrupt");
        QTest::addColumn<int>("expected");
        QTest::newRow("another command: set aside") << 0x10 << false << 0;
        QTest::newRow("the same command: taken for the own") << 0x02 << false << 0;
        QTest::newRow("malformed: fails") << 0x10 << true << -1;
    }

    void lateAnswer_afterTheRequest()
    {
        QFETCH(int, late);
        QFETCH(bool, corrupt);
        const std::unique_ptr<hid_device, void (*)(hid_device *)> other(hid_open_path(kPath), hid_close);
        reader->onRequest = [&](uint8_t) {
            reader->onRequest = nullptr;
            if (corrupt)
                reader->failNext(vr::Fault::BadChecksum);
            hid_write(other.get(), request(uint8_t(late)).data(), 64);  // answered first
        };
        QTEST(reader_cmd_heartbeat(), "expected");
        QCOMPARE(reader_cmd_heartbeat(), 0);  // what was left is drained first
    }

    void staleReports_readErrorFailsBeforeSending()
    {
        vr::unplug(kPath);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(vr::calls().write, 0);
    }

    // A failed open leaves no handle, a second close is harmless, and
    // without a reader nothing reaches hidapi.
    void openAndClose()
    {
        reader_close();
        QCOMPARE(reader_open("/dev/nothing-here"), -1);
        QVERIFY(!reader_handle);
        QCOMPARE(reader_open(kPath), 0);
        QCOMPARE(reader_close(), 0);
        QCOMPARE(reader_close(), 0);
        QVERIFY(!reader_handle && !reader->isOpen());
        vr::resetCalls();
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(reader_transact(0x16, nullptr, 0, nullptr, 0, nullptr), -1);
        QCOMPARE(vr::calls().write + vr::calls().read, 0);
    }

    // Every reader in order, its strings copied (null where it has none),
    // other products left out; the list is freed as a whole (ASan checks).
    void listDevices()
    {
        vr::plug({"/dev/hidraw-second", std::nullopt, L"Second", std::nullopt, 0x0203});
        vr::plug({"/dev/hidraw-other", L"Else", L"Other", L"9", 0x0100, 0x1234, 0x0001});
        const auto text = [](const wchar_t *s) { return s ? QString::fromWCharArray(s) : QString("null"); };
        QStringList listed;
        for (ReaderDeviceInfo *device = reader_list_devices(); device; device = device->next)
            listed << QString("%1 %2 %3 %4 %5").arg(device->path, text(device->manufacturer_string),
                                                    text(device->product_string), text(device->serial_number))
                              .arg(device->release_number, 4, 16, QChar('0'));
        QCOMPARE(listed, QStringList({"/dev/hidraw-test Maker Card Reader 0001 0100",
                                      "/dev/hidraw-second null Second null 0203"}));
        reader_free_devices(reader_device_list);
    }
};

QTEST_APPLESS_MAIN(TestLink)
#include "tst_link.moc"
