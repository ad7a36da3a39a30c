// The terminal quendel-card writes to, the system's own (console_unix.cpp,
// console_win.cpp). What every system guarantees, from console_set_up on:
// - the output is UTF-8 (a reader's product name may be Chinese); where a
//   console has a code page of its own (Windows) it is set to UTF-8, and
//   console_restore, or Ctrl-C outside a batch, gives it back;
// - a closed output or a file size limit fails the write that meets it and
//   never kills the program between a card and its journal row.
#pragma once

void console_set_up();
void console_restore();

// Whether stderr is a terminal that rubs out the status line with the
// sequences it is sent, asked to where it must be.
bool stderr_takes_status_line();
// Writes to stderr with the system's plain call, safe in a signal handler.
void write_stderr(const char *bytes, int size);
// Whether the reader of a pipe on stdout has gone, looked at between polls
// so that no further card is taken for an output nobody reads. False where
// only the failed print of a card's line can tell.
bool output_pipe_closed();
