// The card commands over the virtual reader and a virtual MIFARE Classic 1K
// card, each against answers that fail in every way it must notice. A
// failing command leaves its outputs alone, and a trailer goes out only with
// the access bytes read, read in full.
#include "card_commands.h"
#include "frames.h"
#include "reader.h"
#include "virtual_reader.h"

#include <QtTest>

#include <optional>
#include <vector>

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-card";
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
const CardKey kTransport = {{0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3}};
const CardKey kSite = {{0x3C, 0x5A, 0x17, 0xE2, 0x9B, 0x40}};
const QByteArray kUntouched = "untouched";

enum class Op { Request, Authenticate, ReadBlock, WriteBlock, ChangeKeys, ChangeKeysToLastKey };

// What spoils the command's answers: a fault the reader plays at one of its
// transactions, or bytes of the test's in place of its first answer.
struct Spoil { std::optional<vr::Fault> fault; int transaction = 0; std::vector<uint8_t> bytes; };

QByteArray hex(const uint8_t *bytes, int size)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), size).toHex();
}

// A trailer read answer: block 59 echoed, key A as zeros, these access bytes, key B.
std::vector<uint8_t> trailerAnswer(const std::vector<uint8_t> &access, int length = 17)
{
    std::vector<uint8_t> data = {59, 0, 0, 0, 0, 0, 0, access[0], access[1], access[2],
                                 0x69, 0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3};
    data.resize(length);
    return answer(0x16, 0x00, data);
}

}  // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(Spoil)

class TestCardCommands : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;

    // Runs the command with the sector opened; what it delivered, in hex,
    // or kUntouched. A key change delivers the trailer it sent.
    QByteArray run(Op op, int &result)
    {
        uint8_t out[16];
        memset(out, 0xEE, sizeof out);
        const auto delivered = [&](int size) {
            return std::all_of(out, out + size, [](uint8_t b) { return b == 0xEE; }) ? kUntouched : hex(out, size);
        };
        switch (op) {
        case Op::Request:
            result = card_request(out, out + 4, out + 6);
            return delivered(7);
        case Op::Authenticate:
            result = card_authenticate(56, &kSite, kUid.data());
            return hex(last_auth_key.bytes, 6);
        case Op::ReadBlock:
            result = card_read_block(56, out);
            return delivered(16);
        case Op::WriteBlock:
            result = card_write_block(56, out);
            return delivered(16);
        case Op::ChangeKeys:
        case Op::ChangeKeysToLastKey:
            result = op == Op::ChangeKeys ? card_change_sector_keys(14, &kSite, &kSite)
                                          : card_change_sector_keys(14, nullptr, nullptr);
            const auto &sent = reader->received();
            return sent.size() < 2 ? kUntouched : hex(&sent[1][4], 17);
        }
        return QByteArray();
    }

private slots:
    void init()
    {
        vr::unplugAll();
        reader = &vr::plug({kPath, {}, L"Card Reader", {}});
        reader->layCard(vr::Card::blank(kUid));
        QCOMPARE(reader_open(kPath), 0);
    }

    void cleanup() { reader_close(); }

    // Out of range, or a trailer through the data block write.
    void badArgumentsSendNothing()
    {
        uint8_t block[16] = {};
        for (int result : {card_authenticate(64, &kSite, kUid.data()), card_read_block(64, block),
                           card_write_block(3, block), card_write_block(63, block), card_write_block(64, block),
                           card_change_sector_keys(16, &kSite, &kSite)})
            QCOMPARE(result, -1);
        QCOMPARE(vr::calls().write, 0);
        card_authenticate(63, &kSite, kUid.data());
        card_write_block(0, block);
        card_change_sector_keys(15, &kSite, &kSite);
        QCOMPARE(reader->received().size(), size_t(3));
    }

    void answers_data()
    {
        QTest::addColumn<Op>("op");
        QTest::addColumn<Spoil>("spoil");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("delivered");
        const auto row = [](const char *name, Op op, const Spoil &spoil, int result,
                            const QByteArray &delivered = kUntouched) {
            QTest::newRow(name) << op << spoil << result << delivered;
        };
        const auto fault = [](vr::Fault f, int transaction = 0) { return Spoil{f, transaction, {}}; };
        const auto bytes = [](const std::vector<uint8_t> &b) { return Spoil{{}, 0, b}; };
        std::vector<uint8_t> longBlock(kMaxResponseData, 0x33);
        longBlock[0] = 56;
        const QByteArray sent = "3b3c5a17e29b40ff0780693c5a17e29b40";

        row("request", Op::Request, {}, 0, "1a2b3c4d040008");
        row("request, refused", Op::Request, bytes(answer(0x14, 0x01, {0x04, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x08})), -1);
        row("request, no SAK: 0", Op::Request, bytes(answer(0x14, 0x00, {4, 0, 1, 2, 3, 4})), 0, "01020304040000");
        row("request, part of the UID", Op::Request, bytes(answer(0x14, 0x00, {4, 0, 1, 2, 3})), -1);
        row("authenticate, refused", Op::Authenticate, bytes(answer(0x15, 0x01)), -1, hex(kTransport.bytes, 6));
        row("authenticate, other status bits", Op::Authenticate, bytes(answer(0x15, 2, {9})), 0, hex(kSite.bytes, 6));
        row("read", Op::ReadBlock, {}, 0, hex(vr::Card::blank(kUid).raw(56).data(), 16));
        row("read, data past the block", Op::ReadBlock, bytes(answer(0x16, 0x00, longBlock)), 0, QByteArray(32, '3'));
        row("read, refused", Op::ReadBlock, fault(vr::Fault::StatusError), -1);
        row("read, other block", Op::ReadBlock, fault(vr::Fault::WrongBlock), -1);
        row("read, part of the block", Op::ReadBlock, fault(vr::Fault::ShortAnswer), -1);
        row("read, no data", Op::ReadBlock, bytes(answer(0x16, 0x00)), -1);
        row("write", Op::WriteBlock, {}, 0);
        row("write, no data", Op::WriteBlock, bytes(answer(0x17, 0x00)), 0);
        row("write, data past the echo", Op::WriteBlock, bytes(answer(0x17, 0x00, longBlock)), 0);
        row("write, refused", Op::WriteBlock, fault(vr::Fault::StatusError), -1);
        row("write, other block", Op::WriteBlock, fault(vr::Fault::WrongBlock), -1);
        row("change keys", Op::ChangeKeys, {}, 0, sent);
        row("change keys, to the last key, access bytes as read", Op::ChangeKeysToLastKey,
            bytes(trailerAnswer({0xFE, 0x17, 0x80})), 0, "3bd47e0b91c6f3fe178069d47e0b91c6f3");
        row("change keys, key B cut", Op::ChangeKeys, bytes(trailerAnswer({0xFF, 0x07, 0x80}, 16)), -1);
        row("change keys, malformed access bytes", Op::ChangeKeys, bytes(trailerAnswer({0xFF, 0x07, 0x90})), -1);
        row("change keys, empty write answer", Op::ChangeKeys, fault(vr::Fault::ShortAnswer, 1), 0, sent);
        row("change keys, write answer for another block", Op::ChangeKeys, fault(vr::Fault::WrongBlock, 1), -1, sent);
    }

    void answers()
    {
        QFETCH(Op, op);
        QFETCH(Spoil, spoil);
        uint8_t uid[4], atqa[2], sak;
        QVERIFY(card_request(uid, atqa, &sak) == 0 && card_authenticate(56, &kTransport, uid) == 0);
        reader->clearReceived();
        if (spoil.fault)
            reader->failAt(spoil.transaction, *spoil.fault);
        if (!spoil.bytes.empty())
            reader->answerNextWith(spoil.bytes, 64);
        int result = 0;
        const QByteArray delivered = run(op, result);
        QTEST(result, "result");
        QTEST(delivered, "delivered");
    }
};

QTEST_APPLESS_MAIN(TestCardCommands)
#include "tst_card_commands.moc"
