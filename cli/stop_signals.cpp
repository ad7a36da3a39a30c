#include "stop_signals.h"

#include "console.h"

#include <atomic>

namespace {

// Set by a handler on another thread: lock-free atomics, safe in a handler.
std::atomic<int> stopRequested{0};
std::atomic<int> statusLineShown{0};
// Rubs out the status line first, when one is shown.
const char kStopping[] = "\r\033[Kquendel-card: stopping after this card\n";

}  // namespace

void acknowledge_stop()
{
    if (stopRequested.exchange(1))
        return;
    const int skipped = statusLineShown ? 0 : 4;
    write_stderr(kStopping + skipped, int(sizeof kStopping) - 1 - skipped);
}

void set_status_line_shown(bool shown)
{
    statusLineShown = shown;
}

bool StopSignals::raised() const
{
    return stopRequested != 0;
}

void clear_stop()
{
    stopRequested = 0;
}
