// The reader's card commands for a MIFARE Classic 1K card: detect, authenticate,
// read and write a block, and move a sector to new keys.
// Each returns 0 or -1 and writes its outputs only on success.
#pragma once

#include <cstdint>

constexpr int kCardBlocks = 64;
constexpr int kCardSectors = 16;
constexpr int kBlockSize = 16;
constexpr int kUidSize = 4;
constexpr int kAtqaSize = 2;

// One sector key, sent on the wire byte for byte.
struct CardKey {
    uint8_t bytes[6];
};

// The key of the most recent successful authentication; all zero at start.
extern CardKey last_auth_key;

// Fails on an answer that lacks part of the UID; a missing SAK is delivered as 0.
int card_request(uint8_t uid[kUidSize], uint8_t atqa[kAtqaSize], uint8_t *sak);
int card_authenticate(uint8_t block, const CardKey *key, const uint8_t uid[kUidSize]);
// Fails on an answer that does not carry the whole block.
int card_read_block(uint8_t block, uint8_t data[kBlockSize]);
int card_write_block(uint8_t block, const uint8_t data[kBlockSize]);

// Rewrites the sector's trailer with new keys (null: last_auth_key) and the
// access bytes as read. Refuses, writing nothing, when the trailer could not
// be read in full or its access bytes are malformed: writing those back would
// block the sector for good.
int card_change_sector_keys(uint8_t sector, const CardKey *key_a, const CardKey *key_b);

// True when the three access bytes (trailer bytes 6 to 8) carry each access
// bit together with its inverted copy.
bool card_access_bytes_valid(const uint8_t access[3]);
