#include "virtual_reader.h"

#include <algorithm>

namespace virtual_reader {

const Key kTransportKey = {0xD4, 0x7E, 0x0B, 0x91, 0xC6, 0xF3};
const Key kSiteKey = {0x3C, 0x5A, 0x17, 0xE2, 0x9B, 0x40};

namespace {

constexpr int kBlocks = 64;
constexpr int kSectors = 16;
constexpr int kSector14 = 14;
constexpr int kCardNumberBlock = 56;
constexpr Key kFactoryKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Key kOtherKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr std::array<uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};
constexpr uint8_t kSak = 0x08;
constexpr std::array<uint8_t, 2> kAtqa = {0x04, 0x00};
constexpr std::array<uint8_t, 8> kManufacturerData = {0x62, 0x63, 0x64, 0x65,
                                                      0x66, 0x67, 0x68, 0x69};
// What a blank card carries in block 56 before it is prepared.
constexpr Block kBlankPattern = {0xA5, 0x5A, 0xC3, 0x3C, 0x10, 0x21, 0x32, 0x43,
                                 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB};

// Who may do something: a mask of the keys.
constexpr int kNobody = 0, kKeyA = 1, kKeyB = 2, kEither = kKeyA | kKeyB;

struct DataRights {
    int read, write;
};
// Indexed by C1 C2 C3 read as a 3-bit number.
constexpr DataRights kDataRights[8] = {
    {kEither, kEither},  // 000, transport
    {kEither, kNobody},  // 001
    {kEither, kNobody},  // 010
    {kKeyB, kKeyB},      // 011
    {kEither, kKeyB},    // 100
    {kKeyB, kNobody},    // 101
    {kEither, kKeyB},    // 110
    {kNobody, kNobody},  // 111
};

struct TrailerRights {
    int keyAWrite, accessRead, accessWrite, keyBRead, keyBWrite;
};
constexpr TrailerRights kTrailerRights[8] = {
    {kKeyA, kKeyA, kNobody, kKeyA, kKeyA},     // 000
    {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},       // 001, transport
    {kNobody, kKeyA, kNobody, kKeyA, kNobody}, // 010
    {kKeyB, kEither, kKeyB, kNobody, kKeyB},   // 011
    {kKeyB, kEither, kNobody, kNobody, kKeyB}, // 100
    {kNobody, kEither, kKeyB, kNobody, kNobody}, // 101
    {kNobody, kEither, kNobody, kNobody, kNobody}, // 110
    {kNobody, kEither, kNobody, kNobody, kNobody}, // 111
};

bool validBlock(int block) { return block >= 0 && block < kBlocks; }
bool validSector(int sector) { return sector >= 0 && sector < kSectors; }
int sectorOf(int block) { return block / 4; }
int trailerOf(int sector) { return sector * 4 + 3; }
bool isTrailer(int block) { return block % 4 == 3; }
int keyMask(KeyType type) { return type == KeyType::A ? kKeyA : kKeyB; }

// Access bit n (C1..C3) of block i, from its plain and inverted copies;
// -1 when the two copies disagree.
int accessBit(const uint8_t *access, int plainByte, int plainShift, int invByte,
              int invShift, int i)
{
    const int plain = (access[plainByte] >> (plainShift + i)) & 1;
    const int inverted = (access[invByte] >> (invShift + i)) & 1;
    return plain != inverted ? plain : -1;
}

void setTrailer(Block &trailer, const Key &keyA, const std::array<uint8_t, 4> &access,
                const Key &keyB)
{
    std::copy(keyA.begin(), keyA.end(), trailer.begin());
    std::copy(access.begin(), access.end(), trailer.begin() + 6);
    std::copy(keyB.begin(), keyB.end(), trailer.begin() + 10);
}

Card cardWithSector14(const Uid &uid, const Key &key, bool cardNumberWritten)
{
    Card card(uid);
    Block trailer{};
    setTrailer(trailer, key, kTransportAccess, key);
    card.setRaw(trailerOf(kSector14), trailer);
    Block data = kBlankPattern;
    if (cardNumberWritten)
        std::copy(uid.begin(), uid.end(), data.begin());
    else if (std::equal(uid.begin(), uid.end(), data.begin()))
        data[0] ^= 0xFF;
    card.setRaw(kCardNumberBlock, data);
    return card;
}

}  // namespace

Card::Card(const Uid &uid)
{
    Block block0{};
    std::copy(uid.begin(), uid.end(), block0.begin());
    block0[4] = uid[0] ^ uid[1] ^ uid[2] ^ uid[3];
    block0[5] = kSak;
    block0[6] = kAtqa[0];
    block0[7] = kAtqa[1];
    std::copy(kManufacturerData.begin(), kManufacturerData.end(), block0.begin() + 8);
    setRaw(0, block0);
    for (int sector = 0; sector < kSectors; ++sector)
        setTrailer(mBlocks[trailerOf(sector)], kFactoryKey, kTransportAccess, kFactoryKey);
}

Card Card::blank(const Uid &uid) { return cardWithSector14(uid, kTransportKey, false); }

Card Card::prepared(const Uid &uid) { return cardWithSector14(uid, kSiteKey, true); }

Card Card::unknownKeys(const Uid &uid) { return cardWithSector14(uid, kOtherKey, false); }

const Uid &Card::uid() const { return mUid; }

uint8_t Card::sak() const { return kSak; }

std::array<uint8_t, 2> Card::atqa() const { return kAtqa; }

Block Card::raw(int block) const { return validBlock(block) ? mBlocks[block] : Block{}; }

void Card::setRaw(int block, const Block &data)
{
    if (!validBlock(block))
        return;
    mBlocks[block] = data;
    if (block == 0)
        std::copy(data.begin(), data.begin() + 4, mUid.begin());
}

Key Card::keyA(int sector) const
{
    const Block trailer = raw(validSector(sector) ? trailerOf(sector) : -1);
    Key key{};
    std::copy(trailer.begin(), trailer.begin() + 6, key.begin());
    return key;
}

Key Card::keyB(int sector) const
{
    const Block trailer = raw(validSector(sector) ? trailerOf(sector) : -1);
    Key key{};
    std::copy(trailer.begin() + 10, trailer.end(), key.begin());
    return key;
}

std::array<uint8_t, 4> Card::accessBytes(int sector) const
{
    const Block trailer = raw(validSector(sector) ? trailerOf(sector) : -1);
    std::array<uint8_t, 4> access{};
    std::copy(trailer.begin() + 6, trailer.begin() + 10, access.begin());
    return access;
}

bool Card::sectorBlocked(int sector) const
{
    return validSector(sector) && (mBlocked[sector] || accessMalformed(sector));
}

bool Card::accessMalformed(int sector) const
{
    const uint8_t *access = mBlocks[trailerOf(sector)].data() + 6;
    for (int i = 0; i < 4; ++i) {
        if (accessBit(access, 1, 4, 0, 0, i) < 0 || accessBit(access, 2, 0, 0, 4, i) < 0
            || accessBit(access, 2, 4, 1, 0, i) < 0)
            return true;
    }
    return false;
}

int Card::condition(int block) const
{
    const uint8_t *access = mBlocks[trailerOf(sectorOf(block))].data() + 6;
    const int i = block % 4;
    const int c1 = (access[1] >> (4 + i)) & 1;
    const int c2 = (access[2] >> i) & 1;
    const int c3 = (access[2] >> (4 + i)) & 1;
    return c1 << 2 | c2 << 1 | c3;
}

void Card::select() { dropAuthentication(); }

void Card::leaveField() { dropAuthentication(); }

void Card::dropAuthentication() { mAuthSector = -1; }

bool Card::authenticate(int block, KeyType type, const Key &key)
{
    dropAuthentication();
    if (!validBlock(block) || sectorBlocked(sectorOf(block)))
        return false;
    const int sector = sectorOf(block);
    // A key B that can be read serves as data, not as a key.
    if (type == KeyType::B && kTrailerRights[condition(trailerOf(sector))].keyBRead != kNobody)
        return false;
    if (key != (type == KeyType::A ? keyA(sector) : keyB(sector)))
        return false;
    mAuthSector = sector;
    mAuthType = type;
    return true;
}

std::optional<Block> Card::read(int block)
{
    if (!validBlock(block) || sectorOf(block) != mAuthSector || sectorBlocked(mAuthSector))
        return std::nullopt;
    const int key = keyMask(mAuthType);
    if (!isTrailer(block)) {
        if (!(kDataRights[condition(block)].read & key))
            return std::nullopt;
        return mBlocks[block];
    }
    const TrailerRights &rights = kTrailerRights[condition(block)];
    Block trailer{};  // key A never reads back
    if (rights.accessRead & key)
        std::copy(mBlocks[block].begin() + 6, mBlocks[block].begin() + 10, trailer.begin() + 6);
    if (rights.keyBRead & key)
        std::copy(mBlocks[block].begin() + 10, mBlocks[block].end(), trailer.begin() + 10);
    return trailer;
}

bool Card::write(int block, const Block &data)
{
    if (!validBlock(block) || block == 0 || sectorOf(block) != mAuthSector
        || sectorBlocked(mAuthSector))
        return false;
    const int key = keyMask(mAuthType);
    if (!isTrailer(block)) {
        if (!(kDataRights[condition(block)].write & key))
            return false;
        mBlocks[block] = data;
        return true;
    }
    const TrailerRights &rights = kTrailerRights[condition(block)];
    if (!(rights.keyAWrite & key) || !(rights.accessWrite & key) || !(rights.keyBWrite & key))
        return false;
    mBlocks[block] = data;
    // Malformed access bits lock the sector for good, whatever is written later.
    if (accessMalformed(mAuthSector)) {
        mBlocked[mAuthSector] = true;
        dropAuthentication();
    }
    return true;
}

}  // namespace virtual_reader
