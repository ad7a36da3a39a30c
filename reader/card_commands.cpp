#include "card_commands.h"

#include "reader.h"

#include <cstring>

CardKey last_auth_key = {};

static const uint8_t kStatusFailed = 0x01;
static const int kKeySize = sizeof(CardKey::bytes);
static const int kAccessOffset = 6;      // access bytes and user byte: trailer bytes 6 to 9
static const int kKeyBOffset = 10;
static const int kBlockAnswerSize = 1 + kBlockSize;  // block echo, then the block
static const int kUidAnswerSize = kAtqaSize + kUidSize;  // ATQA, UID; the SAK follows

// Runs one card command. The answer's data land in `area`, which is large
// enough for any answer, so that data the program does not use are ignored
// rather than refused. Fails on the reader's status bit as well.
static int card_transact(uint8_t command, const uint8_t *request, int request_len,
                         uint8_t (&area)[kMaxResponseData], ReaderReply *reply)
{
    ReaderReply answer = {};
    if (reader_transact(command, request, request_len, area, kMaxResponseData, &answer) < 0)
        return -1;
    if (answer.status & kStatusFailed)
        return -1;
    if (reply)
        *reply = answer;
    return 0;
}

// An answer that lacks part of the UID is refused: a UID completed with zeros
// would pass for the card's own and could end up on the card as its number.
// A missing SAK reads as 0, as the zeroed area leaves it: it is only logged.
int card_request(uint8_t uid[kUidSize], uint8_t atqa[kAtqaSize], uint8_t *sak)
{
    if (!uid || !atqa || !sak)
        return -1;
    uint8_t area[kMaxResponseData] = {};
    ReaderReply reply = {};
    if (card_transact(kCmdCardRequest, nullptr, 0, area, &reply) < 0)
        return -1;
    if (reply.length < kUidAnswerSize)
        return -1;
    memcpy(atqa, &area[0], kAtqaSize);
    memcpy(uid, &area[2], kUidSize);
    *sak = area[6];
    return 0;
}

int card_authenticate(uint8_t block, const CardKey *key, const uint8_t uid[kUidSize])
{
    if (block >= kCardBlocks || !key || !uid)
        return -1;
    uint8_t request[kUidSize + 1 + kKeySize];
    memcpy(&request[0], uid, kUidSize);
    request[kUidSize] = block;
    memcpy(&request[kUidSize + 1], key->bytes, kKeySize);

    uint8_t area[kMaxResponseData] = {};
    if (card_transact(kCmdAuthenticate, request, sizeof request, area, nullptr) < 0)
        return -1;
    last_auth_key = *key;
    return 0;
}

// Reads a block into `data`. A short answer is refused: taking the missing
// bytes for zeros would let a later write store them on the card.
static int read_block(uint8_t block, uint8_t data[kBlockSize])
{
    uint8_t area[kMaxResponseData] = {block};
    ReaderReply reply = {};
    if (card_transact(kCmdReadBlock, &block, 1, area, &reply) < 0)
        return -1;
    if (area[0] != block || reply.length < kBlockAnswerSize)
        return -1;
    memcpy(data, &area[1], kBlockSize);
    return 0;
}

// Writes any block, trailers included; callers decide what may be written.
static int write_block(uint8_t block, const uint8_t data[kBlockSize])
{
    uint8_t area[kMaxResponseData] = {block};
    memcpy(&area[1], data, kBlockSize);
    if (card_transact(kCmdWriteBlock, area, kBlockAnswerSize, area, nullptr) < 0)
        return -1;
    return area[0] == block ? 0 : -1;
}

static bool is_trailer(uint8_t block)
{
    return (block & 3) == 3;
}

int card_read_block(uint8_t block, uint8_t data[kBlockSize])
{
    if (block >= kCardBlocks || !data)
        return -1;
    return read_block(block, data);
}

int card_write_block(uint8_t block, const uint8_t data[kBlockSize])
{
    if (is_trailer(block) || block >= kCardBlocks || !data)
        return -1;
    return write_block(block, data);
}

bool card_access_bytes_valid(const uint8_t access[3])
{
    const uint8_t c1 = access[1] >> 4;
    const uint8_t c2 = access[2] & 0x0F;
    const uint8_t c3 = access[2] >> 4;
    const uint8_t not_c1 = access[0] & 0x0F;
    const uint8_t not_c2 = access[0] >> 4;
    const uint8_t not_c3 = access[1] & 0x0F;
    return (c1 ^ not_c1) == 0x0F && (c2 ^ not_c2) == 0x0F && (c3 ^ not_c3) == 0x0F;
}

int card_change_sector_keys(uint8_t sector, const CardKey *key_a, const CardKey *key_b)
{
    if (sector >= kCardSectors)
        return -1;
    const uint8_t trailer = static_cast<uint8_t>(sector * 4 + 3);

    // The access bytes are written back as read, so they must be well
    // formed: a trailer with malformed access bytes blocks its sector for good.
    uint8_t old_trailer[kBlockSize];
    if (read_block(trailer, old_trailer) < 0)
        return -1;
    if (!card_access_bytes_valid(&old_trailer[kAccessOffset]))
        return -1;

    uint8_t new_trailer[kBlockSize];
    memcpy(&new_trailer[0], (key_a ? key_a : &last_auth_key)->bytes, kKeySize);
    memcpy(&new_trailer[kAccessOffset], &old_trailer[kAccessOffset], kKeyBOffset - kAccessOffset);
    memcpy(&new_trailer[kKeyBOffset], (key_b ? key_b : &last_auth_key)->bytes, kKeySize);
    return write_block(trailer, new_trailer);
}
