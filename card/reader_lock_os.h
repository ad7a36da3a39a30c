// The system's own part of the reader lock, one implementation per system
// (reader_lock_unix.cpp: the kernel's lock on the device node, holders from
// /proc; reader_lock_win.cpp: a mutex for the whole machine). What every
// system guarantees:
// - nothing here waits for a holder;
// - every lock taken here is let go of when its holder dies, however it
//   dies; a node's lock and the machine's hold against every process of
//   every user;
// - a holder is named "program (pid N)" where the system tells them.
#pragma once

#include "reader_lock.h"

// "program (pid N)", as every holder is named.
QString describe_holder(qint64 pid, const QString &program);

namespace reader_lock_os {

// Whether `path` names a device node, which is then the lock itself: taken
// without waiting, Opened with `*node` its descriptor, InUse with `*holder`
// naming its holder, or PermissionDenied, or CannotOpen. Where it names
// none (or a reader gone), a lock file stands in.
bool lockNode(const QString &path, int *node, QString *holder, ReaderOpen *result);
void unlockNode(int node);
// Whether `path` names a device node; `*holder` then names the process that
// locks it, and is empty when none does.
bool nodeHolder(const QString &path, QString *holder);
// Whether this user may open the reader at `path`; true where only hidapi
// can tell.
bool accessible(const QString &path);

// Whether the lock file `file`, in which its holder wrote `pid`, is held
// still: the file outlives a holder that was killed, and the pid may by then
// name another process.
bool lockFileHeld(const QString &file, qint64 pid);
// Takes a lock file that `lock.tryLock` found held, when its holder is in
// fact gone though its pid names a live process.
bool takeOverLockFile(QLockFile &lock);
// Lock files are each user's; the reader is the machine's. Takes the
// machine's lock named `name` too, where the system has one: false when
// another process holds it; `*handle` is to be let go of.
bool takeMachineLock(const QString &name, void **handle);
void releaseMachineLock(void *handle);
bool machineLockHeld(const QString &name);

}  // namespace reader_lock_os
