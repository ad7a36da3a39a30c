// Arbitrary reader answers through every link and card command.
//
// The input is a list of steps. Each step names a command and its arguments,
// then gives, for each transaction the command makes, the answer the reader
// returns: its own, a time-out, a read error, any bytes with any count, or a
// well-formed frame with any echo, status and data.
// Besides crashes, it checks that a failing command leaves its outputs alone
// and that no trailer ever goes out with malformed access bytes.
#include "../tests/frames.h"
#include "card_commands.h"
#include "reader.h"
#include "virtual_reader.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace vr = virtual_reader;

namespace {

const char *kPath = "/dev/hidraw-fuzz";
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};

struct Input {
    const uint8_t *data;
    size_t size, pos = 0;

    bool empty() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::vector<uint8_t> bytes(size_t count)
    {
        std::vector<uint8_t> out;
        while (count-- > 0 && !empty())
            out.push_back(byte());
        return out;
    }
};

// The reader's own answer, or these bytes with this read result.
struct Answer { bool own; std::vector<uint8_t> bytes; int result; };

// A well-formed frame around the given echo, status and data, so that the
// fuzzer reaches the checks behind the checksum.
std::vector<uint8_t> framed(Input &in)
{
    const std::vector<uint8_t> head = {in.byte(), in.byte()};
    return frame(head, in.bytes(in.byte() % (kMaxResponseData + 1)));
}

Answer readAnswer(Input &in)
{
    const uint8_t kind = in.byte();
    switch (kind % 4) {
    case 0:
        return {true, {}, 0};
    case 1:
        return {false, {}, kind & 0x80 ? -1 : 0};
    case 2:
        return {false, in.bytes(in.byte() % (kReportSize + 1)), 1 + (kind >> 2) % kReportSize};
    default:
        return {false, framed(in), kReportSize};
    }
}

void check(bool ok)
{
    if (!ok)
        abort();
}

// Written out here rather than taken from the program, so that a fault in
// the program's own check is found.
bool accessBytesValid(const uint8_t *a)
{
    return ((a[1] >> 4) ^ (a[0] & 0x0F)) == 0x0F && ((a[2] & 0x0F) ^ (a[0] >> 4)) == 0x0F
            && ((a[2] >> 4) ^ (a[1] & 0x0F)) == 0x0F;
}

// Output areas filled with a pattern that a failing command must leave.
template <size_t N>
struct Guarded {
    uint8_t bytes[N];
    Guarded() { memset(bytes, 0xA5, N); }
    bool untouched() const { return bytes[0] == 0xA5 && !memcmp(bytes, bytes + 1, N - 1); }
};

void runStep(Input &in)
{
    const uint8_t op = in.byte() % 8;
    const uint8_t arg = in.byte();
    const CardKey key = {{in.byte(), in.byte(), in.byte(), in.byte(), in.byte(), in.byte()}};
    Guarded<kUidSize> uid;
    Guarded<kAtqaSize> atqa;
    Guarded<1> sak;
    Guarded<kBlockSize> block;
    const CardKey before = last_auth_key;
    switch (op) {
    case 0: reader_cmd_connect(); break;
    case 1: reader_cmd_heartbeat(); break;
    case 2: reader_cmd_pre_request(); break;
    case 3:
        check(card_request(uid.bytes, atqa.bytes, sak.bytes) == 0
              || (uid.untouched() && atqa.untouched() && sak.untouched()));
        break;
    case 4:
        check(card_authenticate(arg, &key, kUid.data()) == 0 || !memcmp(&before, &last_auth_key, sizeof before));
        break;
    case 5:
        check(card_read_block(arg, block.bytes) == 0 || block.untouched());
        break;
    case 6:
        memset(block.bytes, arg, sizeof block.bytes);
        card_write_block(arg, block.bytes);
        break;
    default:
        card_change_sector_keys(arg % 17, arg & 0x40 ? nullptr : &key, arg & 0x80 ? nullptr : &key);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static vr::Reader &reader = vr::plug({kPath, L"Fuzz", L"Card Reader", L"1", 0x0100});
    if (!reader_handle)
        check(reader_open(kPath) == 0);
    reader.clearFaults();

    // The card is detected and sector 14 opened with the transport key
    // through the reader, as a write would, so that the writes the answers
    // let through reach it.
    reader.layCard(vr::Card::blank(kUid));
    uint8_t uid[kUidSize], atqa[kAtqaSize], sak;
    CardKey transport;
    memcpy(transport.bytes, vr::kTransportKey.data(), sizeof transport.bytes);
    check(card_request(uid, atqa, &sak) == 0 && card_authenticate(56, &transport, uid) == 0);
    reader.clearReceived();

    Input in{data, size};
    std::deque<Answer> answers;
    reader.onRequest = [&](uint8_t) {
        if (answers.empty())
            return;
        const Answer a = answers.front();
        answers.pop_front();
        if (!a.own)
            reader.answerNextWith(a.bytes, a.result);
    };
    for (int step = 0; step < 16 && !in.empty(); step++) {
        answers = {readAnswer(in), readAnswer(in)};
        runStep(in);
    }
    reader.onRequest = nullptr;

    // Every trailer write that went out carries well-formed access bytes,
    // and no sector of the card is blocked.
    for (const vr::Report &r : reader.received())
        check(r[1] != 0xD1 || r[2] != kCmdWriteBlock || r[3] != 17 || (r[4] & 3) != 3 || accessBytesValid(&r[11]));
    for (int sector = 0; sector < kCardSectors; sector++)
        check(!reader.card() || !reader.card()->sectorBlocked(sector));
    return 0;
}
