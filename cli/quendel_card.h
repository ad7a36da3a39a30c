// quendel-card: the read and write workflows from a terminal or a script,
// and a batch mode that prepares card after card with a journal.
#pragma once

#include "batch.h"

#include <QStringList>
#include <QTextStream>

// Exit statuses, as documented in --help, the manual page and docs/quendel-card.md.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitNoReader = 3,     // none attached, gone, cannot be opened, silent, or lost during a batch
    kExitNoCard = 4,
    kExitInvalidCard = 5,  // sector 14 opens with neither key
    kExitFailed = 6,       // read or write failed; in a batch, some card failed or was invalid
    kExitOtherCard = 7,    // not the card named by --expect-uid
    kExitReaderInUse = 8,  // another process holds the reader
    kExitJournal = 9,      // the journal, or a file or lock of its own, cannot be used
    kExitPermission = 10,  // this user may not open the reader
};

// Runs one command line; `args` starts with the program name. Everything the
// command reports goes to `out`, messages and --verbose lines to `err`.
int run_quendel_card(const QStringList &args, QTextStream &out, QTextStream &err,
                     const BatchTiming &timing = {});
