// How a batch is stopped from outside: Ctrl-C, SIGTERM and SIGHUP (a closed
// terminal or SSH session) on Unix; Ctrl-C, Ctrl-Break and a closed console,
// log-off or shutdown on Windows. One implementation per system
// (stop_signals_unix.cpp, stop_signals_win.cpp). What every system
// guarantees, from construction to destruction:
// - a stop only raises a flag, looked at between cards, so that the card in
//   hand is finished first;
// - it never reaches the thread that speaks to the reader: one landing in
//   the middle of a transaction would fail it, and a write cut short that
//   way is reported failed although the card took it;
// - it is acknowledged at once, once, on stderr (acknowledge_stop);
// - one that was ignored when the program started stays ignored;
// - the handling in place before comes back at destruction.
#pragma once

#include <memory>

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    bool raised() const;

private:
    struct Handling;  // the system's own
    std::unique_ptr<Handling> mHandling;
};

// Raises the flag and says at once that the batch stops, rubbing out the
// status line first when one is shown; only the first time. Safe in a
// signal handler.
void acknowledge_stop();
// A new batch starts unstopped: a stop before it has no say in it.
void clear_stop();
// Whether a status line is on stderr now, for the acknowledgement.
void set_status_line_shown(bool shown);
