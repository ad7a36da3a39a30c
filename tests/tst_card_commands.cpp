// The card commands over the virtual reader and a virtual MIFARE Classic 1K
// card: argument checks, request reports, answer checks, and the trailer
// rewrite that must never leave a sector with malformed access bytes.
#include "card_commands.h"
#include "reader.h"
#include "frames.h"
#include "virtual_reader.h"

#include <QtTest>

#include <vector>

namespace vr = virtual_reader;

static const char *kPath = "/dev/hidraw-card";
static const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};
static const CardKey kTransport = {{0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3}};
static const CardKey kSite = {{0x3C, 0x5A, 0x17, 0xE2, 0x9B, 0x40}};
static const std::array<uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};

static vr::Key toVirtual(const CardKey &key)
{
    vr::Key k;
    std::copy(std::begin(key.bytes), std::end(key.bytes), k.begin());
    return k;
}

class TestCardCommands : public QObject {
    Q_OBJECT

    vr::Reader *reader = nullptr;

    vr::Card &card() { return *reader->card(); }

    // Detects the card and opens sector 14 with `key`.
    bool openSector14(const CardKey &key)
    {
        uint8_t uid[4], atqa[2], sak;
        return card_request(uid, atqa, &sak) == 0 && card_authenticate(56, &key, uid) == 0;
    }

private slots:
    void init()
    {
        reader_close();
        vr::unplugAll();
        reader = &vr::plug({kPath, L"Maker", L"Card Reader", L"1", 0x0100});
        reader->layCard(vr::Card::blank(kUid));
        QCOMPARE(reader_open(kPath), 0);
        reader->clearReceived();
        vr::resetCalls();
        last_auth_key = {};
    }

    void cleanup() { reader_close(); }

    void badArguments_areRefusedBeforeAnyIo()
    {
        uint8_t uid[4] = {}, block[16] = {};
        QCOMPARE(card_authenticate(64, &kSite, uid), -1);
        QCOMPARE(card_authenticate(255, &kSite, uid), -1);
        QCOMPARE(card_read_block(64, block), -1);
        for (uint8_t trailer : {3, 7, 59, 63})
            QCOMPARE(card_write_block(trailer, block), -1);
        QCOMPARE(card_write_block(64, block), -1);
        QCOMPARE(card_change_sector_keys(16, &kSite, &kSite), -1);
        QCOMPARE(vr::calls().write, 0);
        QCOMPARE(vr::calls().read, 0);

        // The edges of the valid ranges do go out.
        card_authenticate(63, &kSite, uid);
        card_write_block(0, block);
        card_change_sector_keys(15, &kSite, &kSite);
        QCOMPARE(reader->received().size(), size_t(3));
        QCOMPARE(reader->received()[2][4], uint8_t(63));  // the trailer read of sector 15
    }

    void requests_areTheDocumentedReports()
    {
        uint8_t uid[4], atqa[2], sak, block[16];
        QCOMPARE(card_request(uid, atqa, &sak), 0);
        QCOMPARE(card_authenticate(56, &kTransport, uid), 0);
        QCOMPARE(card_read_block(56, block), 0);
        uint8_t data[16];
        for (int i = 0; i < 16; i++)
            data[i] = static_cast<uint8_t>(0xA0 + i);
        QCOMPARE(card_write_block(57, data), 0);

        const auto &sent = reader->received();
        QCOMPARE(sent.size(), size_t(4));
        QCOMPARE(sent[0], report({0x01, 0xD1, 0x14, 0x00, 0x47, 0xD2}));

        std::vector<uint8_t> auth = {0x01, 0xD1, 0x15, 0x0B, 0x1A, 0x2B, 0x3C, 0x4D, 56,
                                     0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3};
        auth.push_back(reader_crc8(&auth[1], 14));
        auth.push_back(0xD2);
        QCOMPARE(sent[1], report(auth));

        std::vector<uint8_t> read = {0x01, 0xD1, 0x16, 0x01, 56};
        read.push_back(reader_crc8(&read[1], 4));
        read.push_back(0xD2);
        QCOMPARE(sent[2], report(read));

        std::vector<uint8_t> write = {0x01, 0xD1, 0x17, 0x11, 57};
        write.insert(write.end(), data, data + 16);
        write.push_back(reader_crc8(&write[1], 20));
        write.push_back(0xD2);
        QCOMPARE(sent[3], report(write));
    }

    void cardRequest_deliversOnlyOnSuccess()
    {
        uint8_t uid[4] = {9, 9, 9, 9}, atqa[2] = {9, 9}, sak = 9;
        reader->answerNextWith(answer(0x14, 0x01, {0x04, 0x00, 1, 2, 3, 4, 0x08}), 64);
        QCOMPARE(card_request(uid, atqa, &sak), -1);
        QCOMPARE(uid[0], uint8_t(9));
        QCOMPARE(atqa[0], uint8_t(9));
        QCOMPARE(sak, uint8_t(9));

        reader->answerNextWith(answer(0x14, 0x00, {0x04, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x08, 0xEE}), 64);
        QCOMPARE(card_request(uid, atqa, &sak), 0);
        QCOMPARE(QByteArray((char *)uid, 4), QByteArray::fromHex("1A2B3C4D"));
        QCOMPARE(QByteArray((char *)atqa, 2), QByteArray::fromHex("0400"));
        QCOMPARE(sak, uint8_t(0x08));

        // A short answer detects no card: the UID it lacks would read as zeros.
        reader->answerNextWith(answer(0x14, 0x00, {0x04, 0x00, 0x77, 0x66, 0x55, 0x44}), 64);
        QCOMPARE(card_request(uid, atqa, &sak), -1);
        QCOMPARE(QByteArray((char *)uid, 4), QByteArray::fromHex("1A2B3C4D"));

        reader->removeCard();
        QCOMPARE(card_request(uid, atqa, &sak), -1);
    }

    void blockCommands_checkStatusAndEcho()
    {
        QVERIFY(openSector14(kTransport));
        uint8_t block[16];
        memset(block, 0xEE, sizeof block);

        reader->failNext(vr::Fault::WrongBlock);
        QCOMPARE(card_read_block(56, block), -1);
        reader->failNext(vr::Fault::StatusError);
        QCOMPARE(card_read_block(56, block), -1);
        QCOMPARE(block[0], uint8_t(0xEE));

        reader->failNext(vr::Fault::WrongBlock);
        QCOMPARE(card_write_block(56, block), -1);
        reader->failNext(vr::Fault::StatusError);
        QCOMPARE(card_write_block(56, block), -1);

        // A read answer must carry the whole block: the bytes it lacks would
        // otherwise go back onto the card as zeros at the next write.
        reader->answerNextWith(answer(0x16, 0x00, {}), 64);
        QCOMPARE(card_read_block(56, block), -1);
        reader->failNext(vr::Fault::ShortAnswer);
        QCOMPARE(card_read_block(56, block), -1);
        QCOMPARE(block[0], uint8_t(0xEE));
        // A write answer without data passes the echo check.
        reader->answerNextWith(answer(0x17, 0x00, {}), 64);
        QCOMPARE(card_write_block(56, block), 0);

        // Data beyond the block are ignored, not copied anywhere.
        std::vector<uint8_t> longer(kMaxResponseData, 0x33);
        longer[0] = 56;
        reader->answerNextWith(answer(0x16, 0x00, longer), 64);
        QCOMPARE(card_read_block(56, block), 0);
        QCOMPARE(block[15], uint8_t(0x33));
        reader->answerNextWith(answer(0x17, 0x00, longer), 64);
        QCOMPARE(card_write_block(56, block), 0);
    }

    void lastAuthKey_followsSuccessfulAuthenticationsOnly()
    {
        uint8_t uid[4] = {0x1A, 0x2B, 0x3C, 0x4D};
        reader->answerNextWith(answer(0x15, 0x01, {}), 64);
        QCOMPARE(card_authenticate(56, &kSite, uid), -1);
        QCOMPARE(QByteArray((char *)last_auth_key.bytes, 6), QByteArray(6, 0));

        reader->answerNextWith(answer(0x15, 0x02, {0x99}), 64);
        QCOMPARE(card_authenticate(56, &kSite, uid), 0);
        QCOMPARE(QByteArray((char *)last_auth_key.bytes, 6), QByteArray((char *)kSite.bytes, 6));

        QVERIFY(openSector14(kSite) == false);  // the blank card refuses the site key
        QCOMPARE(QByteArray((char *)last_auth_key.bytes, 6), QByteArray((char *)kSite.bytes, 6));
    }

    void changeKeys_keepsAccessBytesAsRead()
    {
        const std::array<uint8_t, 4> access = {0xFE, 0x17, 0x80, 0x44};  // block 56 written with key B only
        vr::Block trailer = card().raw(59);
        std::copy(access.begin(), access.end(), trailer.begin() + 6);
        card().setRaw(59, trailer);

        QVERIFY(openSector14(kTransport));
        QCOMPARE(card_change_sector_keys(14, nullptr, nullptr), 0);
        QCOMPARE(card().accessBytes(14), access);
        QCOMPARE(card().keyA(14), toVirtual(kTransport));
        QCOMPARE(card().keyB(14), toVirtual(kTransport));

        const vr::Report &written = reader->received().back();
        QCOMPARE(QByteArray((const char *)&written[4], 17),
                 QByteArray::fromHex("3b") + QByteArray((char *)kTransport.bytes, 6) +
                     QByteArray::fromHex("fe178044") + QByteArray((char *)kTransport.bytes, 6));
    }

    void changeKeys_refusesTrailersItCannotWriteBackSafely_data()
    {
        QTest::addColumn<std::vector<uint8_t>>("trailerAnswer");
        std::vector<uint8_t> valid = {59, 0, 0, 0, 0, 0, 0, 0xFF, 0x07, 0x80, 0x69, 0, 0, 0, 0, 0, 0};

        QTest::newRow("no trailer bytes") << answer(0x16, 0x00, {59});
        QTest::newRow("access bytes missing") << answer(0x16, 0x00, {valid.begin(), valid.begin() + 7});
        QTest::newRow("last key B byte missing") << answer(0x16, 0x00, {valid.begin(), valid.end() - 1});
        auto flipped = valid;
        flipped[8] ^= 0x10;  // C1 of block 0 no longer matches its inverted copy
        QTest::newRow("malformed access bytes") << answer(0x16, 0x00, flipped);
        std::vector<uint8_t> zero(17, 0);
        zero[0] = 59;
        QTest::newRow("access bytes zero") << answer(0x16, 0x00, zero);
    }

    void changeKeys_refusesTrailersItCannotWriteBackSafely()
    {
        QFETCH(std::vector<uint8_t>, trailerAnswer);
        QVERIFY(openSector14(kTransport));
        reader->clearReceived();
        reader->answerNextWith(trailerAnswer, 64);
        QCOMPARE(card_change_sector_keys(14, &kSite, &kSite), -1);
        QCOMPARE(reader->received().size(), size_t(1));  // the read only
        QCOMPARE(card().keyA(14), toVirtual(kTransport));
    }

    void changeKeys_emptyWriteAnswerIsJudgedLikeADataBlock()
    {
        QVERIFY(openSector14(kTransport));
        reader->failAt(1, vr::Fault::ShortAnswer);  // the trailer write, answered without data
        QCOMPARE(card_change_sector_keys(14, &kSite, &kSite), 0);
        reader->failAt(1, vr::Fault::WrongBlock);
        QCOMPARE(card_change_sector_keys(14, &kSite, &kSite), -1);
    }

    void blankCard_isPreparedWithTheCardCommandsAlone()
    {
        uint8_t uid[4], atqa[2], sak, block[16];
        QCOMPARE(card_request(uid, atqa, &sak), 0);
        QCOMPARE(card_authenticate(56, &kSite, uid), -1);
        QCOMPARE(card_authenticate(56, &kTransport, uid), 0);
        QCOMPARE(card_read_block(56, block), 0);
        memcpy(block, uid, 4);
        QCOMPARE(card_write_block(56, block), 0);
        QCOMPARE(card_change_sector_keys(14, &kSite, &kSite), 0);

        QCOMPARE(card().keyA(14), toVirtual(kSite));
        QCOMPARE(card().keyB(14), toVirtual(kSite));
        QCOMPARE(card().accessBytes(14), kTransportAccess);
        QCOMPARE(QByteArray((char *)card().raw(56).data(), 4), QByteArray((char *)kUid.data(), 4));

        QCOMPARE(card_request(uid, atqa, &sak), 0);
        QCOMPARE(card_authenticate(56, &kTransport, uid), -1);
        QCOMPARE(card_request(uid, atqa, &sak), 0);
        QCOMPARE(card_authenticate(56, &kSite, uid), 0);
        QCOMPARE(card_read_block(56, block), 0);
        QCOMPARE(QByteArray((char *)block, 4), QByteArray((char *)kUid.data(), 4));
    }
};

QTEST_APPLESS_MAIN(TestCardCommands)
#include "tst_card_commands.moc"
