// A stand-in for the USB HID card reader/writer and the MIFARE Classic 1K
// card laid on it. The library also implements the hidapi functions the
// program calls, over a registry of virtual readers that can be plugged and
// unplugged at any moment. It parses and answers frames on its own and shares
// no code with the program it stands in for. Nothing waits: a read with no
// answer ready returns 0 at once, whatever its time-out.
//
// The authenticate command names no key type: the virtual reader, like the
// real one as far as the program can tell, authenticates with key A.
//
// A request with a wrong report id, start or end marker, checksum or length
// (for its command), or with an unknown command, is answered with status
// bit 0 set and no data, echoing the command byte as received: a reader that
// stays silent would be indistinguishable from a time-out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace virtual_reader {

using Report = std::array<uint8_t, 64>;
using Uid = std::array<uint8_t, 4>;
using Key = std::array<uint8_t, 6>;
using Block = std::array<uint8_t, 16>;

// The two keys the ready-made cards carry on sector 14.
extern const Key kTransportKey;  // D4 7E 0B 91 C6 F3
extern const Key kSiteKey;       // 3C 5A 17 E2 9B 40

enum class KeyType { A, B };

namespace detail {
struct ReaderAccess;
}

// A MIFARE Classic 1K card, modelled after its datasheet: 16 sectors of four
// blocks, access conditions enforced per block and per trailer part, key A
// reading back as zeros, and a sector blocked for good once its trailer holds
// malformed access bytes. Block 0 is never writable. A trailer write that the
// authenticated key may not make in full (some part it may not write) is
// refused and changes nothing, so that a refusal is never half a write.
class Card {
public:
    // Factory state: every sector on key FF..FF with transport access bytes.
    explicit Card(const Uid &uid);

    // As delivered: sector 14 on kTransportKey (key A and key B, access
    // bytes FF 07 80 69), block 56 not starting with the UID.
    static Card blank(const Uid &uid);
    // Prepared: block 56 starts with the UID, sector 14 on kSiteKey.
    static Card prepared(const Uid &uid);
    // Sector 14 opens with neither known key.
    static Card unknownKeys(const Uid &uid);

    const Uid &uid() const;  // follows block 0 when set through setRaw
    uint8_t sak() const;                    // 08
    std::array<uint8_t, 2> atqa() const;    // 04 00

    // The card's memory as stored, real keys included: for test set-up and
    // inspection only, outside any access control.
    Block raw(int block) const;
    void setRaw(int block, const Block &data);
    Key keyA(int sector) const;
    Key keyB(int sector) const;
    std::array<uint8_t, 4> accessBytes(int sector) const;  // trailer bytes 6-9
    bool sectorBlocked(int sector) const;

    // What the card does over the air. Authentication holds until the next
    // select, a failed authentication, or the card leaving the field.
    void select();
    bool authenticate(int block, KeyType type, const Key &key);
    std::optional<Block> read(int block);
    bool write(int block, const Block &data);
    void leaveField();

private:
    friend class Reader;
    void dropAuthentication();
    bool accessMalformed(int sector) const;
    int condition(int block) const;  // C1 C2 C3 as a 3-bit number

    Uid mUid{};
    std::array<Block, 64> mBlocks{};
    std::array<bool, 16> mBlocked{};
    int mAuthSector = -1;
    KeyType mAuthType = KeyType::A;
};

// Faults a reader plays on demand. Under a link fault the card has still
// carried out the command and only its answer is lost or spoilt; a
// StatusError leaves the card alone; WriteFails and Unplug keep the request
// from the reader altogether.
enum class Fault {
    // link level
    NoAnswer,            // the read times out
    LateAnswer,          // the read times out; the answer waits for the next read
    BadChecksum,
    WrongEcho,
    BadStart,
    BadEnd,
    LengthBeyondReport,  // length byte puts crc and end marker past 64 bytes
    StaleTail,           // a sound frame, and the report's last four bytes the transport key's first four
    WriteFails,          // hid_write returns -1
    ReadError,           // hid_read_timeout returns -1
    Unplug,              // the reader is unplugged when the request arrives
    // card level
    StatusError,         // status bit 0 set
    ShortAnswer,         // fewer data bytes than the command's full answer
    WrongBlock,          // echoes another block number (having used the right one)
};

struct Identity {
    std::string path;
    std::optional<std::wstring> manufacturer;
    std::optional<std::wstring> product;
    std::optional<std::wstring> serial;
    unsigned short release = 0x0100;
    unsigned short vendor_id = 0x1234;
    unsigned short product_id = 0xABCD;
};

class Reader {
public:
    const Identity &identity() const;
    bool isOpen() const;  // some hid_device handle is open on it

    void layCard(const Card &card);  // replaces any card present
    void removeCard();
    Card *card();                    // null when none is laid

    // A fault for the next answer, or for every answer from now on; with a
    // command code, only answers to that command count.
    void failNext(Fault fault, int command = -1);
    void failAlways(Fault fault, int command = -1);
    // A fault for the request `index` requests from now (0 = the next one).
    void failAt(int index, Fault fault);
    void clearFaults();

    // These bytes (zero-padded to 64) and `result` (a byte count, 0 or -1)
    // replace the answer to the next request, which the card still carries
    // out; reads that drain the input before that request do not see them.
    void answerNextWith(const std::vector<uint8_t> &bytes, int result);

    // Called with each request's command code before it is answered: a test
    // can remove or swap the card, or unplug, between two transactions.
    // A reader unplugged here has taken the request (the write succeeds) but
    // never answers it (the read fails).
    std::function<void(uint8_t command)> onRequest;

    // Every report written to this reader, byte for byte, including those
    // whose write a fault makes fail.
    const std::vector<Report> &received() const;
    void clearReceived();

private:
    friend struct detail::ReaderAccess;
    struct FaultRule {
        Fault fault;
        int command;  // -1: any
    };
    struct Input {
        Report bytes;
        int result;
        bool late;  // not ready until a read has waited for it
    };
    struct Answer;

    explicit Reader(const Identity &identity);
    std::optional<Fault> takeFault(uint8_t command);
    Answer answer(const Report &request, std::optional<Fault> fault);
    Answer answerCard(uint8_t command, const uint8_t *data);
    int takeRequest(const uint8_t *data, size_t length);
    int giveInput(uint8_t *data, size_t length, int milliseconds);

    Identity mIdentity;
    bool mAttached = true;
    int mOpenHandles = 0;
    std::optional<Card> mCard;
    bool mCardSelected = false;  // a card request answered since it was laid
    std::vector<FaultRule> mNext;
    std::vector<FaultRule> mAlways;
    std::vector<std::pair<long, Fault>> mAt;  // absolute request index
    long mRequests = 0;
    std::deque<Input> mInput;
    std::optional<Input> mOverride;
    std::vector<Report> mReceived;
};

// Held by every hidapi call here; whoever plugs, unplugs or lays cards from
// another thread than the one that calls hidapi holds it too (the demo's
// window, while a batch runs on its own thread).
std::recursive_mutex &lock();

// Plugging a reader under the path of one still attached unplugs that one.
// An unplugged Reader stays valid, dead, until unplugAll().
Reader &plug(const Identity &identity);
void unplug(const std::string &path);
void unplugAll();  // also forgets faults, records and call counts

// How often each hidapi function has been called.
struct CallCounts {
    int init = 0, exit = 0, enumerate = 0, free_enumeration = 0;
    int open_path = 0, write = 0, read = 0, close = 0;
};
const CallCounts &calls();
void resetCalls();
int openHandles();  // hid_device handles not yet closed

}  // namespace virtual_reader
