#include "card_workflows.h"

#include "card_display.h"
#include "reader.h"

#include <algorithm>
#include <cstring>

namespace {

// The record to write: `card` with its UID in front of block 56.
CardInfo write_record(const CardInfo &card)
{
    CardInfo record = card;
    memcpy(record.blocks[0], record.uid, kUidSize);
    return record;
}

// The card on the reader, already selected as `uid`, opens with the site key
// and carries its own number.
bool opensPrepared(const uint8_t uid[kUidSize])
{
    uint8_t block[kBlockSize];
    return card_authenticate(kNumberBlock, &kSiteKey, uid) == 0 && card_read_block(kNumberBlock, block) == 0
            && memcmp(block, uid, kUidSize) == 0;
}

// One pass over the card. Only the card that was read is written: another
// card on the reader would otherwise carry this card's number. After a
// failed key change the card may have taken the site key all the same, its
// answer lost on the way back: then it is prepared, not refused.
WriteError writeAttempt(const CardInfo &record, bool keysMayHaveChanged)
{
    (void)reader_cmd_pre_request();  // its failure does not stop the attempt

    uint8_t uid[kUidSize];
    uint8_t atqa[kAtqaSize];
    uint8_t sak;
    if (card_request(uid, atqa, &sak) != 0 || memcmp(uid, record.uid, kUidSize) != 0)
        return kRequestFailed;
    if (card_authenticate(kNumberBlock, &record.key, uid) != 0)
        return keysMayHaveChanged && opensPrepared(uid) ? kWriteOk : kAuthenticateFailed;
    if (card_write_block(kNumberBlock, record.blocks[0]) != 0)
        return kBlockWriteFailed;
    if (card_is_on_site_key(record))
        return kWriteOk;
    // The authentication of block 56 covers the whole sector, trailer included.
    if (card_change_sector_keys(kNumberSector, &kSiteKey, &kSiteKey) != 0)
        return kKeyChangeFailed;
    return kWriteOk;
}

}  // namespace

WriteResult write_card(const CardInfo &card)
{
    const CardInfo record = write_record(card);
    WriteResult result{};
    while (result.failed_attempts < kWriteAttempts) {
        const bool keysMayHaveChanged =
                std::find(result.errors, result.errors + result.failed_attempts, kKeyChangeFailed)
                != result.errors + result.failed_attempts;
        const WriteError error = writeAttempt(record, keysMayHaveChanged);
        if (error == kWriteOk) {
            result.written = true;
            break;
        }
        result.errors[result.failed_attempts++] = error;
    }
    return result;
}

bool read_back_prepared(const CardInfo &card)
{
    for (int i = 0; i < kWriteAttempts; i++) {
        (void)reader_cmd_pre_request();
        uint8_t uid[kUidSize];
        uint8_t atqa[kAtqaSize];
        uint8_t sak;
        if (card_request(uid, atqa, &sak) == 0 && memcmp(uid, card.uid, kUidSize) == 0 && opensPrepared(uid))
            return true;
    }
    return false;
}

QList<int> attempt_codes(const WriteResult &result)
{
    QList<int> codes;
    for (int i = 0; i < result.failed_attempts; i++)
        codes << result.errors[i];
    return codes;
}

QString codes_text(const QList<int> &codes)
{
    QStringList numbers;
    for (int code : codes)
        numbers << QString::number(code);
    return numbers.join(QLatin1Char(' '));
}

QStringList write_log_lines(const QString &number, const CardInfo &card)
{
    const CardInfo record = write_record(card);
    return {QString::asprintf("[WR]UID: %s, ATQA: %02X%02X, SAK: %02X, Key: %s",
                              number.toUtf8().constData(), record.atqa[1], record.atqa[0], record.sak,
                              spacedHex(record.key.bytes, sizeof record.key.bytes).constData()),
            QString::asprintf("[WR]S14B0: %s", spacedHex(record.blocks[0], kBlockSize).constData())};
}

// A failed block write also logs what card_write_block returned, always -1.
QStringList attempt_log_lines(const WriteResult &result)
{
    QStringList lines;
    for (int i = 0; i < result.failed_attempts; i++) {
        if (result.errors[i] == kBlockWriteFailed)
            lines << QStringLiteral("ret = -1");
        lines << QStringLiteral("write card err: %1").arg(static_cast<int>(result.errors[i]));
    }
    return lines;
}
