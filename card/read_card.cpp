#include "card_workflows.h"

#include "card_display.h"
#include "reader.h"

#include <cstring>

namespace {

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

}  // namespace

ReadResult read_card()
{
    (void)reader_cmd_pre_request();  // its failure does not stop the read

    ReadResult result{};
    result.outcome = readNumberBlock(result.card);
    return result;
}

bool card_carries_own_number(const CardInfo &card)
{
    return memcmp(card.blocks[0], card.uid, kUidSize) == 0;
}

bool card_is_on_site_key(const CardInfo &card)
{
    return memcmp(card.key.bytes, kSiteKey.bytes, sizeof card.key.bytes) == 0;
}

QString card_number_text(const CardInfo &card)
{
    if (card_carries_own_number(card))
        return QString::fromLatin1(uidHex(card.uid));
    return QStringLiteral("未写入");
}

QStringList read_log_lines(const CardInfo &card)
{
    return {QString::asprintf("[RD]UID: %s, ATQA: %02X%02X, SAK: %02X, Key: %s",
                              uidHex(card.uid).constData(), card.atqa[1], card.atqa[0], card.sak,
                              spacedHex(card.key.bytes, sizeof card.key.bytes).constData()),
            QString::asprintf("[RD]S14B0: %s", spacedHex(card.blocks[0], kBlockSize).constData())};
}
