// The record of the card last read and the two keys that open sector 14.
#pragma once

#include "card_commands.h"

#include <cstdint>
#include <type_traits>

// Sector 14 carries the card number in the first four bytes of its block 0.
constexpr uint8_t kNumberSector = 14;
constexpr uint8_t kNumberBlock = kNumberSector * 4;  // absolute block 56

// Room for the four blocks of sector 14 (absolute 56 to 59).
constexpr int kRecordBlocks = 4;

// Copied, compared and cleared as a whole, byte for byte, so it must stay a
// gap-free record of bytes.
struct CardInfo {
    uint8_t uid[kUidSize];
    uint8_t reserved;  // never filled, always 0
    uint8_t atqa[kAtqaSize];
    uint8_t sak;
    CardKey key;       // the key that opened sector 14
    uint8_t blocks[kRecordBlocks][kBlockSize];
};
static_assert(sizeof(CardInfo) == 78, "CardInfo must be 78 bytes without padding");
static_assert(std::is_trivially_copyable_v<CardInfo>, "CardInfo is copied byte for byte");

// The installation's key for sector 14; a card that opens with it was written before.
inline constexpr CardKey kSiteKey = {{0x3C, 0x5A, 0x17, 0xE2, 0x9B, 0x40}};
// The key that blank cards carry on delivery.
inline constexpr CardKey kTransportKey = {{0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3}};
