// A trace that QuendelWriteCard or quendel-card recorded with --trace,
// served back on the emulated node in place of the virtual reader: each
// request the program writes must match the next recorded one, and that
// one's recorded answers go back, in order. A key marker matches the key it
// names ([other-key]: neither known key) and is filled with it in answers
// ([other-key]: ff bytes); [crc] matches any checksum and is computed in
// answers. A recorded time-out is a silence; answers recorded after it are
// late, and go out ahead of the next request's own. A failed write or read
// is the reader unplugged. A late answer that the program drained before
// its next request is served with that request's answers, where the
// program sets it aside: the outcome is the same.
//
// Heartbeats come with time, not with what the program does: one the trace
// does not have next is answered as every heartbeat is, and recorded ones
// the program does not send are passed over (an unplug among them still
// happens).
#pragma once

#include "virtual_reader.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TraceReplay {
public:
    // False, with the reason, when `file` cannot be read or holds no request.
    bool load(const std::string &file, std::string *why);

    struct Reply {
        std::vector<virtual_reader::Report> answers;  // to send now, in order
        bool unplug = false;                           // then the reader is gone
    };
    // The reply to `request`. Nothing when it does not match the trace:
    // mismatch() then shows the recorded and the actual request, and every
    // later request gets nothing either.
    std::optional<Reply> serve(const uint8_t *request, size_t length);
    const std::string &mismatch() const { return mMismatch; }
    // Once the program has ended: the mismatch, or the requests of the trace
    // (heartbeats aside) that it never made; empty when it followed the trace.
    std::string verdict() const;

private:
    using Tokens = std::vector<std::string>;
    struct Exchange {
        std::string line;       // the request as recorded
        Tokens request;
        bool writeFailed = false;
        std::vector<Tokens> answers;  // each a frame, or {"timeout"} or {"error"}
    };

    bool isHeartbeat(const Exchange &exchange) const;
    bool fails(const Exchange &exchange) const;

    std::vector<Exchange> mScript;
    size_t mNext = 0;
    std::vector<virtual_reader::Report> mLate;
    std::string mMismatch;
};
