#include "widget.h"
#include "ui_widget.h"

#include "card_display.h"
#include "reader.h"

#include <QDebug>

#include <cstring>

namespace {

constexpr int kWriteAttempts = 3;

// Where an attempt failed, as logged in "write card err".
enum WriteError {
    kWriteOk = 0,
    kRequestFailed = 1,
    kAuthenticateFailed = 2,
    kBlockWriteFailed = 4,
    kKeyChangeFailed = 5,
};

void logWriteCard(const QString &cardNumber, const CardInfo &card)
{
    qDebug("[WR]UID: %s, ATQA: %02X%02X, SAK: %02X, Key: %s",
           cardNumber.toUtf8().constData(), card.atqa[1], card.atqa[0], card.sak,
           spacedHex(card.key.bytes, sizeof card.key.bytes).constData());
    qDebug("[WR]S14B0: %s", spacedHex(card.blocks[0], kBlockSize).constData());
}

bool isSiteKey(const CardKey &key)
{
    return memcmp(key.bytes, kSiteKey.bytes, sizeof key.bytes) == 0;
}

// One pass over the card. Only the card that was read is written: another
// card on the reader would otherwise carry this card's number.
WriteError writeAttempt(const CardInfo &record)
{
    (void)reader_cmd_pre_request();  // its failure does not stop the attempt

    uint8_t uid[kUidSize];
    uint8_t atqa[kAtqaSize];
    uint8_t sak;
    if (card_request(uid, atqa, &sak) != 0 || memcmp(uid, record.uid, kUidSize) != 0)
        return kRequestFailed;
    if (card_authenticate(kNumberBlock, &record.key, uid) != 0)
        return kAuthenticateFailed;
    const int ret = card_write_block(kNumberBlock, record.blocks[0]);
    if (ret != 0) {
        qDebug("ret = %d", ret);
        return kBlockWriteFailed;
    }
    if (isSiteKey(record.key))
        return kWriteOk;
    // The authentication of block 56 covers the whole sector, trailer included.
    if (card_change_sector_keys(kNumberSector, &kSiteKey, &kSiteKey) != 0)
        return kKeyChangeFailed;
    return kWriteOk;
}

}  // namespace

// Works from the record of the last read alone; it leaves the record, the
// number, the buttons and the tip timer as they are.
void Widget::on_btnWriteCard_clicked()
{
    CardInfo record = mCard;
    memcpy(record.blocks[0], record.uid, kUidSize);
    logWriteCard(ui->lblCardId->text(), record);

    for (int attempt = 0; attempt < kWriteAttempts; attempt++) {
        const WriteError error = writeAttempt(record);
        if (error == kWriteOk) {
            showTip(ui->lblTip, QStringLiteral("写卡成功"), TipStyle::Success);
            return;
        }
        qDebug("write card err: %d", static_cast<int>(error));
    }
    showTip(ui->lblTip, QStringLiteral("写卡失败"), TipStyle::Failure);
}
