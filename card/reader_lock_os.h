// The reader lock is each system's own: reader_lock_unix.cpp takes the
// kernel's lock on the device node and names its holder from /proc;
// reader_lock_win.cpp adds a mutex for the whole machine to the lock file.
// Each defines ReaderLock's acquire, release and holderOf, try_lock_file and
// reader_accessible (reader_lock.h), and lock_file_held below, over the
// lock file's shared calls. What every system guarantees:
// - nothing waits for a holder;
// - a lock whose holder died, however it died, is let go of or taken over;
// - a reader locked by one process is refused to every other process of its
//   user, and of every user on a device node (Linux) or through the
//   machine's mutex (Windows); the refusal names its holder where the
//   system tells it.
#pragma once

#include "reader_lock.h"

// "program (pid N)", as every holder is named.
QString describe_holder(qint64 pid, const QString &program);
// The lock's name for the reader at `path`, the same in every process.
QString lock_name(const QString &path);
// The holder of the lock file for `path`, or empty when it is free.
QString lock_file_holder(const QString &path);
// Whether the lock file `file`, in which its holder wrote `pid`, is held
// still: it outlives a holder that was killed, and the pid may by then name
// another process.
bool lock_file_held(const QString &file, qint64 pid);
