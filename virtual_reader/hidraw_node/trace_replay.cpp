#include "trace_replay.h"

#include "virtual_reader_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vr = virtual_reader;

namespace {

constexpr uint8_t kHeartbeat = 0x02;
constexpr size_t kKey = 6;

const vr::Key *namedKey(const std::string &token)
{
    if (token == "[site-key]")
        return &vr::kSiteKey;
    if (token == "[transport-key]")
        return &vr::kTransportKey;
    return nullptr;
}

bool isByte(const std::string &token)
{
    return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0]))
            && std::isxdigit(static_cast<unsigned char>(token[1]));
}

// A request as a trace shows it: a known key, and then the checksum, by a
// marker, so that no message shows a key.
std::string describe(const uint8_t *bytes, size_t length)
{
    length = std::min<size_t>(length, vr::Report().size());
    while (length > 0 && bytes[length - 1] == 0)
        length--;
    const size_t crcAt = length > 3 ? 4u + bytes[3] : length;
    bool keyed = false;
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; i++) {
        vr::Key key{};
        std::copy_n(bytes + i, std::min(kKey, length - i), key.begin());
        const char *marker = key == vr::kSiteKey ? "[site-key]" : key == vr::kTransportKey ? "[transport-key]" : nullptr;
        text += i ? " " : "";
        if (marker) {
            text += marker;
            keyed = true;
            i += kKey - 1;
        } else if (keyed && i == crcAt) {
            text += "[crc]";
        } else {
            std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
            text += byte;
        }
    }
    return text;
}

// Whether `request` is the frame `tokens` records, zeros up to 64 bytes.
bool matches(const std::vector<std::string> &tokens, const uint8_t *request, size_t length)
{
    vr::Report report{};
    std::copy_n(request, std::min(length, report.size()), report.begin());
    size_t at = 0;
    for (const std::string &token : tokens) {
        if (token.front() == '[' && token != "[crc]") {
            if (at + kKey > report.size())
                return false;
            vr::Key key;
            std::copy_n(report.begin() + at, kKey, key.begin());
            const vr::Key *named = namedKey(token);
            if (named ? key != *named : key == vr::kSiteKey || key == vr::kTransportKey)
                return false;
            at += kKey;
        } else if (at < report.size()
                   && (token == "[crc]" || (isByte(token) && report[at] == std::stoul(token, nullptr, 16)))) {
            at++;
        } else {
            return false;
        }
    }
    return std::all_of(report.begin() + at, report.end(), [](uint8_t b) { return b == 0; });
}

// The answer `tokens` records, its keys and checksum filled in.
vr::Report answerOf(const std::vector<std::string> &tokens)
{
    vr::Report report{};
    size_t at = 0;
    int crcAt = -1;
    for (const std::string &token : tokens) {
        if (at >= report.size())
            break;
        if (token == "[crc]") {
            crcAt = static_cast<int>(at++);
        } else if (token.front() == '[') {
            const vr::Key *named = namedKey(token);
            for (size_t i = 0; i < kKey && at < report.size(); i++, at++)
                report[at] = named ? (*named)[i] : 0xff;
        } else if (isByte(token)) {
            report[at++] = static_cast<uint8_t>(std::stoul(token, nullptr, 16));
        }
    }
    if (crcAt > 1)
        report[crcAt] = vr::detail::crc8(&report[1], crcAt - 1);
    return report;
}

vr::Report heartbeatAnswer()
{
    vr::Report report{0x01, 0xD1, kHeartbeat, 0x00, 0x00};
    report[5] = vr::detail::crc8(&report[1], 4);
    report[6] = 0xD2;
    return report;
}

}  // namespace

bool TraceReplay::load(const std::string &file, std::string *why)
{
    std::ifstream in(file);
    if (!in) {
        *why = "cannot read " + file;
        return false;
    }
    // Frame lines: milliseconds, direction, then bytes, markers or a word.
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();  // a trace that went through Windows
        std::istringstream words(line);
        long long ms;
        std::string direction;
        if (!(words >> ms >> direction) || (direction != ">" && direction != "<"))
            continue;
        Tokens tokens;
        for (std::string token; words >> token;) {
            if (!isByte(token) && !namedKey(token) && token != "[other-key]" && token != "[crc]"
                    && token != "timeout" && token != "error") {
                *why = file + ": '" + token + "' is neither a byte nor a marker, in: " + line;
                return false;
            }
            tokens.push_back(token);
        }
        if (tokens.empty())
            continue;
        if (direction == ">") {
            const bool failed = tokens.back() == "error";
            if (failed)
                tokens.pop_back();
            mScript.push_back({line, tokens, failed, {}});
        } else if (!mScript.empty()) {
            mScript.back().answers.push_back(tokens);
        }
    }
    if (mScript.empty()) {
        *why = file + " holds no request";
        return false;
    }
    return true;
}

std::string TraceReplay::verdict() const
{
    if (!mMismatch.empty())
        return mMismatch;
    for (size_t next = mNext; next < mScript.size(); next++) {
        if (!isHeartbeat(mScript[next]))
            return "the program ended before request " + std::to_string(next + 1) + " of the trace:\n  trace:  "
                   + mScript[next].line;
    }
    return std::string();
}

bool TraceReplay::isHeartbeat(const Exchange &exchange) const
{
    return exchange.request.size() > 2 && exchange.request[2] == "02";
}

bool TraceReplay::fails(const Exchange &exchange) const
{
    return exchange.writeFailed
            || std::any_of(exchange.answers.begin(), exchange.answers.end(),
                           [](const Tokens &answer) { return answer == Tokens{"error"}; });
}

std::optional<TraceReplay::Reply> TraceReplay::serve(const uint8_t *request, size_t length)
{
    if (!mMismatch.empty())
        return std::nullopt;
    Reply reply;
    reply.answers = std::move(mLate);
    mLate.clear();
    const bool heartbeat = length > 2 && request[2] == kHeartbeat;
    while (!heartbeat && mNext < mScript.size() && isHeartbeat(mScript[mNext])) {
        if (fails(mScript[mNext++])) {
            reply.unplug = true;
            return reply;
        }
    }
    if (heartbeat && (mNext == mScript.size() || !isHeartbeat(mScript[mNext]))) {
        reply.answers.push_back(heartbeatAnswer());
        return reply;
    }
    const std::string actual = describe(request, length);
    if (mNext == mScript.size()) {
        mMismatch = "the trace has no more requests; the program wrote\n  " + actual;
        return std::nullopt;
    }
    const Exchange &exchange = mScript[mNext];
    if (!matches(exchange.request, request, length)) {
        mMismatch = "request " + std::to_string(mNext + 1) + " differs from the trace:\n  trace:  " + exchange.line
                    + "\n  actual: " + actual;
        return std::nullopt;
    }
    mNext++;
    reply.unplug = exchange.writeFailed;
    bool timedOut = false;
    for (const Tokens &answer : exchange.answers) {
        if (answer == Tokens{"timeout"}) {
            timedOut = true;
        } else if (answer == Tokens{"error"}) {
            reply.unplug = true;
            break;
        } else {
            (timedOut ? mLate : reply.answers).push_back(answerOf(answer));
        }
    }
    return reply;
}
