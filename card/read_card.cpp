#include "widget.h"
#include "ui_widget.h"

#include "card_display.h"
#include "reader.h"

#include <QDebug>

#include <cstring>

namespace {

enum class ReadOutcome { NoCard, InvalidCard, ReadFailed, Read };

// Sector 14 is tried with the site key first: a card that opens with it has
// been written before. Blank cards still carry the transport key.
bool openNumberSector(CardInfo &card)
{
    for (const CardKey *key : {&kSiteKey, &kTransportKey}) {
        if (card_authenticate(kNumberBlock, key, card.uid) == 0) {
            card.key = *key;
            return true;
        }
    }
    return false;
}

// Fills `card` from the card on the reader, as far as it gets.
ReadOutcome readNumberBlock(CardInfo &card)
{
    if (card_request(card.uid, card.atqa, &card.sak) != 0)
        return ReadOutcome::NoCard;
    if (!openNumberSector(card))
        return ReadOutcome::InvalidCard;
    if (card_read_block(kNumberBlock, card.blocks[0]) != 0)
        return ReadOutcome::ReadFailed;
    return ReadOutcome::Read;
}

QString tipText(ReadOutcome outcome)
{
    switch (outcome) {
    case ReadOutcome::NoCard:
        return QStringLiteral("未检测到卡");
    case ReadOutcome::InvalidCard:
        return QStringLiteral("无效卡");
    case ReadOutcome::ReadFailed:
        return QStringLiteral("读卡失败");
    case ReadOutcome::Read:
        break;
    }
    return QStringLiteral("读卡成功");
}

// A prepared card carries its own UID at the start of block 56.
QString cardNumberText(const CardInfo &card)
{
    if (memcmp(card.blocks[0], card.uid, kUidSize) == 0)
        return QString::fromLatin1(uidHex(card.uid));
    return QStringLiteral("未写入");
}

void logReadCard(const CardInfo &card)
{
    qDebug("[RD]UID: %s, ATQA: %02X%02X, SAK: %02X, Key: %s",
           uidHex(card.uid).constData(), card.atqa[1], card.atqa[0], card.sak,
           spacedHex(card.key.bytes, sizeof card.key.bytes).constData());
    qDebug("[RD]S14B0: %s", spacedHex(card.blocks[0], kBlockSize).constData());
}

}  // namespace

// Only a successful read leaves the write button enabled, so a write always
// works on the record of the last good read.
void Widget::on_btnReadCard_clicked()
{
    (void)reader_cmd_pre_request();  // its failure does not stop the read

    CardInfo card{};
    const ReadOutcome outcome = readNumberBlock(card);
    if (outcome == ReadOutcome::NoCard) {
        ui->lblCardId->clear();
        mCard = CardInfo{};
    } else if (outcome == ReadOutcome::Read && memcmp(&card, &mCard, sizeof card) != 0) {
        mCard = card;
        ui->lblCardId->setText(cardNumberText(card));
        logReadCard(card);
    }
    showTip(ui->lblTip, tipText(outcome),
            outcome == ReadOutcome::Read ? TipStyle::Success : TipStyle::Failure);
    restartClearTipTmr();
    ui->btnWriteCard->setEnabled(outcome == ReadOutcome::Read);
}
