// The reader link over the virtual reader: checksum, request reports, the
// checks on every answer, stale answers, and the device list.
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

    void crc8_matchesSmbusCatalogue()
    {
        const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        const uint8_t request[] = {0xD1, 0x14, 0x00};
        QCOMPARE(reader_crc8(digits, 0), uint8_t(0x00));
        QCOMPARE(reader_crc8(digits, -1), uint8_t(0x00));
        QCOMPARE(reader_crc8(digits, 9), uint8_t(0xF4));
        QCOMPARE(reader_crc8(request, 3), uint8_t(0x47));
    }

    void linkCommands_sendFixedReports()
    {
        QCOMPARE(reader_cmd_connect(), 0);
        QCOMPARE(reader_cmd_heartbeat(), 0);
        QCOMPARE(reader_cmd_pre_request(), 0);
        const std::vector<vr::Report> expected = {
            report({0x01, 0xD1, 0x01, 0x00, 0x51, 0xD2}),
            report({0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2}),
            report({0x01, 0xD1, 0x10, 0x00, 0x13, 0xD2}),
        };
        QVERIFY(reader->received() == expected);
    }

    void transact_checksAnswer_data()
    {
        QTest::addColumn<std::vector<uint8_t>>("bytes");
        QTest::addColumn<int>("expected");

        QTest::newRow("well formed") << answer(0x02, 0x00) << 0;
        QTest::newRow("status ignored by link commands") << answer(0x02, 0x01) << 0;
        QTest::newRow("literal heartbeat answer") << std::vector<uint8_t>{1, 0xD1, 0x02, 0x00, 0x00, 0x0D, 0xD2} << 0;
        QTest::newRow("literal answer with status 1") << std::vector<uint8_t>{1, 0xD1, 0x02, 0x01, 0x00, 0x18, 0xD2} << 0;
        QTest::newRow("answer for another command") << answer(0x01, 0x00) << -1;

        auto badStart = answer(0x02, 0x00);
        badStart[1] = 0xD0;
        QTest::newRow("wrong start marker") << badStart << -1;

        auto endElsewhere = answer(0x02, 0x00, {0xD2, 0xD2});
        endElsewhere[4] = 1;  // end marker now expected where the crc sits
        QTest::newRow("end marker not where the length puts it") << endElsewhere << -1;

        auto corrupted = answer(0x02, 0x00, {0x10, 0x20, 0x30});
        corrupted[6] ^= 0x01;
        QTest::newRow("corrupted data byte") << corrupted << -1;

        std::vector<uint8_t> full(64, 0xD2);
        full[1] = 0xD1;
        full[2] = 0x02;
        full[4] = 58;  // crc and end marker would sit at offsets 63 and 64
        QTest::newRow("length beyond the report") << full << -1;
        full[4] = 0xFF;
        QTest::newRow("length 255") << full << -1;
    }

    void transact_checksAnswer()
    {
        QFETCH(std::vector<uint8_t>, bytes);
        QFETCH(int, expected);
        reader->answerNextWith(bytes, 64);
        QCOMPARE(reader_cmd_heartbeat(), expected);
        QVERIFY(reader_handle);
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
        QCOMPARE(reply.length, kMaxResponseData);
        QCOMPARE(area[kMaxResponseData - 1], uint8_t(0x5A));
    }

    void transact_failsOnTransportErrors()
    {
        reader->answerNextWith({}, 0);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        reader->answerNextWith({}, -1);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        reader->failNext(vr::Fault::WriteFails);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        reader->failNext(vr::Fault::NoAnswer);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        // None of it closes the link.
        QVERIFY(reader_handle);
        QCOMPARE(reader_cmd_heartbeat(), 0);
    }

    void transact_withoutReader_touchesNoHidapi()
    {
        reader_close();
        vr::resetCalls();
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(reader_transact(0x16, nullptr, 0, nullptr, 0, nullptr), -1);
        QCOMPARE(vr::calls().write, 0);
        QCOMPARE(vr::calls().read, 0);
    }

    void lateAnswer_isDiscardedBeforeTheNextRequest()
    {
        reader->failNext(vr::Fault::LateAnswer);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        // The late heartbeat answer is waiting; the next exchange must not take it.
        QCOMPARE(reader_cmd_pre_request(), 0);
        reader->failNext(vr::Fault::LateAnswer);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(reader_cmd_heartbeat(), 0);
        QCOMPARE(reader_cmd_connect(), 0);
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
        QFETCH(int, expected);
        const std::unique_ptr<hid_device, void (*)(hid_device *)> other(hid_open_path(kPath), hid_close);
        reader->onRequest = [&](uint8_t) {
            reader->onRequest = nullptr;
            if (corrupt)
                reader->failNext(vr::Fault::BadChecksum);
            vr::Report request = report({0x01, 0xD1, uint8_t(late), 0x00, 0x00, 0xD2});
            request[4] = reader_crc8(&request[1], 3);
            hid_write(other.get(), request.data(), request.size());  // answered first
        };
        QCOMPARE(reader_cmd_heartbeat(), expected);
        QCOMPARE(reader_cmd_heartbeat(), 0);  // what was left is drained first
    }

    void staleReports_readErrorFailsBeforeSending()
    {
        vr::unplug(kPath);
        QCOMPARE(reader_cmd_heartbeat(), -1);
        QCOMPARE(vr::calls().write, 0);
    }

    void openAndClose()
    {
        reader_close();
        QCOMPARE(reader_close(), 0);
        QCOMPARE(vr::openHandles(), 0);
        QCOMPARE(reader_open("/dev/nothing-here"), -1);
        QVERIFY(!reader_handle);
        QCOMPARE(reader_open(nullptr), -1);
        QCOMPARE(reader_open(kPath), 0);
        QVERIFY(reader->isOpen());
        QCOMPARE(reader_close(), 0);
        QVERIFY(!reader_handle);
        QVERIFY(!reader->isOpen());
    }

    void listDevices_copiesEveryReaderInOrder()
    {
        vr::plug({"/dev/hidraw-second", std::nullopt, L"Second", std::nullopt, 0x0203});
        vr::plug({"/dev/hidraw-other", L"Else", L"Other", L"9", 0x0100, 0x1234, 0x0001});

        ReaderDeviceInfo *list = reader_list_devices();
        QVERIFY(list);
        QCOMPARE(reader_device_list, list);
        QCOMPARE(QString::fromLocal8Bit(list->path), QString(kPath));
        QCOMPARE(QString::fromWCharArray(list->manufacturer_string), QString("Maker"));
        QCOMPARE(QString::fromWCharArray(list->product_string), QString("Card Reader"));
        QCOMPARE(QString::fromWCharArray(list->serial_number), QString("0001"));
        QCOMPARE(list->release_number, (unsigned short)0x0100);

        ReaderDeviceInfo *second = list->next;
        QVERIFY(second);
        QCOMPARE(QString::fromLocal8Bit(second->path), QString("/dev/hidraw-second"));
        QVERIFY(!second->manufacturer_string);
        QVERIFY(!second->serial_number);
        QCOMPARE(second->release_number, (unsigned short)0x0203);
        QVERIFY(!second->next);  // another product id is not a reader

        QCOMPARE(vr::calls().free_enumeration, vr::calls().enumerate);
        reader_free_devices(list);
        QVERIFY(!reader_device_list);
    }

    void listDevices_replacesAndFreesTheEarlierList()
    {
        ReaderDeviceInfo *first = reader_list_devices();
        QVERIFY(first);
        vr::unplug(kPath);
        QVERIFY(!reader_list_devices());  // frees `first`; ASan checks it
        QVERIFY(!reader_device_list);
        QCOMPARE(vr::calls().free_enumeration, 2);
        reader_free_devices(nullptr);
        QVERIFY(!reader_device_list);
    }
};

QTEST_APPLESS_MAIN(TestLink)
#include "tst_link.moc"
