// The registry of virtual readers, and each reader's side of the link:
// parsing requests, answering them from the card, and playing faults.
#include "virtual_reader_internal.h"

#include <algorithm>

namespace virtual_reader {

namespace {

constexpr size_t kReportSize = 64;
constexpr uint8_t kReportId = 0x01;
constexpr uint8_t kFrameStart = 0xD1;
constexpr uint8_t kFrameEnd = 0xD2;
constexpr uint8_t kStatusFailed = 0x01;
constexpr int kMaxAnswerData = kReportSize - 7;
// Puts both the checksum and the end marker past the report.
constexpr uint8_t kLengthBeyondReport = kReportSize - 5;

constexpr uint8_t kCmdConnect = 0x01;
constexpr uint8_t kCmdHeartbeat = 0x02;
constexpr uint8_t kCmdPreRequest = 0x10;
constexpr uint8_t kCmdCardRequest = 0x14;
constexpr uint8_t kCmdAuthenticate = 0x15;
constexpr uint8_t kCmdReadBlock = 0x16;
constexpr uint8_t kCmdWriteBlock = 0x17;

struct Registry {
    std::vector<std::shared_ptr<Reader>> attached;
    // Unplugged readers stay alive for tests that still hold them.
    std::vector<std::shared_ptr<Reader>> retired;
    CallCounts calls;
    int openHandles = 0;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// Request data length each command takes; -1 for an unknown command.
int requestLength(uint8_t command)
{
    switch (command) {
    case kCmdConnect:
    case kCmdHeartbeat:
    case kCmdPreRequest:
    case kCmdCardRequest:
        return 0;
    case kCmdAuthenticate:
        return 11;
    case kCmdReadBlock:
        return 1;
    case kCmdWriteBlock:
        return 17;
    default:
        return -1;
    }
}

bool isLinkCommand(uint8_t command)
{
    return command == kCmdConnect || command == kCmdHeartbeat || command == kCmdPreRequest;
}

bool isBlockCommand(uint8_t command)
{
    return command == kCmdReadBlock || command == kCmdWriteBlock;
}

// Data bytes of a short answer: less than each command's full answer.
int shortLength(uint8_t command)
{
    switch (command) {
    case kCmdCardRequest:
        return 3;
    case kCmdReadBlock:
        return 1 + 8;
    default:
        return 0;
    }
}

bool wellFormed(const Report &request)
{
    if (request[0] != kReportId || request[1] != kFrameStart)
        return false;
    const int n = request[3];
    if (6 + n > static_cast<int>(kReportSize))
        return false;
    return request[4 + n] == detail::crc8(&request[1], 3 + n) && request[5 + n] == kFrameEnd;
}

void sealChecksum(Report &answer)
{
    const int n = answer[4];
    answer[5 + n] = detail::crc8(&answer[1], 4 + n);
}

void applyLinkFault(Report &answer, Fault fault)
{
    const int n = answer[4];
    switch (fault) {
    case Fault::BadChecksum:
        answer[5 + n] ^= 0xFF;
        break;
    case Fault::WrongEcho:
        answer[2] ^= 0x01;
        sealChecksum(answer);
        break;
    case Fault::BadStart:
        answer[1] = 0xD0;
        sealChecksum(answer);
        break;
    case Fault::BadEnd:
        answer[6 + n] = static_cast<uint8_t>(~kFrameEnd);
        break;
    case Fault::LengthBeyondReport:
        answer[4] = kLengthBeyondReport;
        break;
    case Fault::StaleTail:
        std::copy_n(kTransportKey.begin(), 4, answer.end() - 4);
        break;
    default:
        break;
    }
}

}  // namespace

struct Reader::Answer {
    uint8_t command;
    uint8_t status;
    int length;
    std::array<uint8_t, kMaxAnswerData> data;

    Report encode() const
    {
        Report report{};
        report[0] = kReportId;
        report[1] = kFrameStart;
        report[2] = command;
        report[3] = status;
        report[4] = static_cast<uint8_t>(length);
        std::copy(data.begin(), data.begin() + length, report.begin() + 5);
        sealChecksum(report);
        report[6 + length] = kFrameEnd;
        return report;
    }
};

namespace detail {

uint8_t crc8(const uint8_t *data, int length)
{
    uint8_t crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

std::shared_ptr<Reader> ReaderAccess::create(const Identity &identity)
{
    return std::shared_ptr<Reader>(new Reader(identity));
}

void ReaderAccess::detach(Reader &reader)
{
    reader.mAttached = false;
    reader.mInput.clear();
}

const std::vector<std::shared_ptr<Reader>> &attachedReaders() { return registry().attached; }

CallCounts &callCounts() { return registry().calls; }

int &openHandleCount() { return registry().openHandles; }

}  // namespace detail

Reader::Reader(const Identity &identity) : mIdentity(identity) {}

const Identity &Reader::identity() const { return mIdentity; }

bool Reader::isOpen() const { return mOpenHandles > 0; }

void Reader::layCard(const Card &card)
{
    mCard = card;
    mCard->leaveField();  // a card enters the field idle
    mCardSelected = false;
}

void Reader::removeCard()
{
    mCard.reset();
    mCardSelected = false;
}

Card *Reader::card() { return mCard ? &*mCard : nullptr; }

void Reader::failNext(Fault fault, int command) { mNext.push_back({fault, command}); }

void Reader::failAlways(Fault fault, int command) { mAlways.push_back({fault, command}); }

void Reader::failAt(int index, Fault fault)
{
    if (index >= 0)
        mAt.emplace_back(mRequests + index, fault);
}

void Reader::clearFaults()
{
    mNext.clear();
    mAlways.clear();
    mAt.clear();
}

void Reader::answerNextWith(const std::vector<uint8_t> &bytes, int result)
{
    Input input{{}, result, false};
    std::copy_n(bytes.begin(), std::min(bytes.size(), kReportSize), input.bytes.begin());
    mOverride = input;
}

const std::vector<Report> &Reader::received() const { return mReceived; }

void Reader::clearReceived() { mReceived.clear(); }

std::optional<Fault> Reader::takeFault(uint8_t command)
{
    const long index = mRequests++;
    const auto at = std::find_if(mAt.begin(), mAt.end(),
                                 [index](const auto &entry) { return entry.first == index; });
    if (at != mAt.end()) {
        const Fault fault = at->second;
        mAt.erase(at);
        return fault;
    }
    const auto matches = [command](const FaultRule &rule) {
        return rule.command < 0 || rule.command == command;
    };
    const auto next = std::find_if(mNext.begin(), mNext.end(), matches);
    if (next != mNext.end()) {
        const Fault fault = next->fault;
        mNext.erase(next);
        return fault;
    }
    const auto always = std::find_if(mAlways.begin(), mAlways.end(), matches);
    if (always != mAlways.end())
        return always->fault;
    return std::nullopt;
}

Reader::Answer Reader::answer(const Report &request, std::optional<Fault> fault)
{
    const uint8_t command = request[2];
    Answer failed{command, kStatusFailed, 0, {}};
    if (!wellFormed(request) || request[3] != requestLength(command))
        return failed;
    const uint8_t *data = &request[4];
    if (fault == Fault::StatusError) {
        if (isBlockCommand(command)) {
            failed.data[0] = data[0];
            failed.length = 1;
        }
        return failed;
    }
    if (isLinkCommand(command))
        return {command, 0, 0, {}};
    Answer answer = answerCard(command, data);
    if (fault == Fault::ShortAnswer)
        answer.length = std::min(answer.length, shortLength(command));
    // The block named in the request is still the one read or written.
    if (fault == Fault::WrongBlock && isBlockCommand(command) && answer.length > 0)
        answer.data[0] ^= 0x01;
    return answer;
}

Reader::Answer Reader::answerCard(uint8_t command, const uint8_t *data)
{
    Answer answer{command, kStatusFailed, 0, {}};
    if (isBlockCommand(command)) {
        answer.data[0] = data[0];
        answer.length = 1;
    }
    if (!mCard)
        return answer;
    Card &card = *mCard;
    switch (command) {
    case kCmdCardRequest: {
        card.select();
        mCardSelected = true;
        const auto atqa = card.atqa();
        std::copy(atqa.begin(), atqa.end(), answer.data.begin());
        std::copy(card.uid().begin(), card.uid().end(), answer.data.begin() + 2);
        answer.data[6] = card.sak();
        answer.length = 7;
        answer.status = 0;
        break;
    }
    case kCmdAuthenticate: {
        if (!mCardSelected)
            break;
        Uid uid{};
        Key key{};
        std::copy_n(data, uid.size(), uid.begin());
        std::copy_n(data + 5, key.size(), key.begin());
        // A wrong UID spoils the cipher: the card sees a failed authentication.
        if (uid != card.uid()) {
            card.dropAuthentication();
            break;
        }
        if (card.authenticate(data[4], KeyType::A, key))
            answer.status = 0;
        break;
    }
    case kCmdReadBlock: {
        const auto block = card.read(data[0]);
        if (!block)
            break;
        std::copy(block->begin(), block->end(), answer.data.begin() + 1);
        answer.length = 1 + static_cast<int>(block->size());
        answer.status = 0;
        break;
    }
    case kCmdWriteBlock: {
        Block block{};
        std::copy_n(data + 1, block.size(), block.begin());
        if (card.write(data[0], block))
            answer.status = 0;
        break;
    }
    default:
        break;
    }
    return answer;
}

int Reader::takeRequest(const uint8_t *data, size_t length)
{
    if (!data || length == 0)
        return -1;
    Report request{};
    std::copy_n(data, std::min(length, kReportSize), request.begin());
    mReceived.push_back(request);
    const uint8_t command = request[2];
    const std::optional<Fault> fault = takeFault(command);
    if (fault == Fault::WriteFails)
        return -1;
    if (fault == Fault::Unplug) {
        unplug(mIdentity.path);
        return -1;
    }
    if (onRequest) {
        const auto hook = onRequest;  // the hook may replace itself
        hook(command);
    }
    // Unplugged by the hook: the request left, no answer will come back.
    if (!mAttached)
        return static_cast<int>(length);
    const Answer answered = answer(request, fault);
    if (mOverride) {
        mInput.push_back(*mOverride);
        mOverride.reset();
        return static_cast<int>(length);
    }
    if (fault == Fault::NoAnswer)
        return static_cast<int>(length);
    Input input{answered.encode(), static_cast<int>(kReportSize), fault == Fault::LateAnswer};
    if (fault == Fault::ReadError)
        input = {{}, -1, false};
    else if (fault)
        applyLinkFault(input.bytes, *fault);
    mInput.push_back(input);
    return static_cast<int>(length);
}

int Reader::giveInput(uint8_t *data, size_t length, int milliseconds)
{
    if (!data)
        return -1;
    if (mInput.empty())
        return 0;
    Input &front = mInput.front();
    // Only a read that waits lets a late answer arrive, and only after it gave up.
    if (front.late) {
        if (milliseconds != 0)
            front.late = false;
        return 0;
    }
    const Input input = front;
    mInput.pop_front();
    if (input.result <= 0)
        return input.result;
    const size_t count = std::min(length, kReportSize);
    std::copy_n(input.bytes.begin(), count, data);
    return input.result == static_cast<int>(kReportSize) ? static_cast<int>(count) : input.result;
}

std::recursive_mutex &lock()
{
    static std::recursive_mutex held;
    return held;
}

Reader &plug(const Identity &identity)
{
    unplug(identity.path);
    registry().attached.push_back(detail::ReaderAccess::create(identity));
    return *registry().attached.back();
}

void unplug(const std::string &path)
{
    auto &attached = registry().attached;
    const auto it = std::find_if(attached.begin(), attached.end(),
                                 [&path](const auto &reader) { return reader->identity().path == path; });
    if (it == attached.end())
        return;
    detail::ReaderAccess::detach(**it);
    registry().retired.push_back(*it);
    attached.erase(it);
}

void unplugAll()
{
    Registry &state = registry();
    for (const auto &reader : state.attached)
        detail::ReaderAccess::detach(*reader);
    state.attached.clear();
    state.retired.clear();
    state.calls = {};
}

const CallCounts &calls() { return registry().calls; }

void resetCalls() { registry().calls = {}; }

int openHandles() { return registry().openHandles; }

}  // namespace virtual_reader
