// Exclusive use of one reader. hidraw lets any number of processes open a
// reader, and each of them then receives the answers meant for the others;
// so the window and every command of the command line lock a reader before
// they speak to it, and hold the lock until they close it.
//
// On Linux the lock is flock() on the device node itself: one inode whatever
// path or symlink names it, let go by the kernel when the process dies, and
// needing no folder or session variable. Where the path names no node
// (Windows, hidapi's other backends) a lock file in the user's data folder
// stands in for it; on Windows, where that folder is each user's, a mutex
// in the Global namespace makes the lock the whole machine's. Each system's
// own: reader_lock_os.h.
#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// The per-user folder of the lock files, and of the program's own lock where
// it needs one. Made by whoever takes a lock there; looking needs none.
QString lock_dir();

// QLockFile::tryLock without waiting, where a lock file left by a dead
// process is taken over; on Windows even when its pid now names a live one
// of the same program.
bool try_lock_file(QLockFile &lock);

enum class ReaderOpen { Opened, NoAnswer, InUse, PermissionDenied, Gone, CannotOpen, LockFailed };

class ReaderLock {
public:
    ReaderLock() = default;
    ~ReaderLock();
    ReaderLock(const ReaderLock &) = delete;
    ReaderLock &operator=(const ReaderLock &) = delete;

    // Takes the lock for `path` without waiting: Opened when taken. InUse:
    // `detail` names the process that has it ("program (pid N)", or
    // "another process" where that cannot be read). PermissionDenied: this
    // user may not open the node. LockFailed: the lock itself cannot be
    // had, as `detail` says (a lock file that is not this user's own). A
    // lock file left by a process that no longer runs is taken over.
    ReaderOpen acquire(const QString &path, QString *detail);
    void release();
    // Whether the lock is one on the device node.
    bool onNode() const { return mNode >= 0; }

    // The process that holds the reader at `path`, or empty when it is free.
    // Takes nothing.
    static QString holderOf(const QString &path);

private:
    ReaderOpen acquireFile(const QString &path, QString *detail);

    int mNode = -1;
    std::unique_ptr<QLockFile> mFile;
    void *mMachineLock = nullptr;  // Windows: the Global mutex, owned
};

// Locks the reader at `path`, opens it and sends it the connect command.
// NoAnswer: open, but the connect command got no valid answer. Gone: no
// reader is there any more. On every other failure the lock is let go again.
ReaderOpen open_locked_reader(ReaderLock &lock, const QString &path, QString *detail);
// Closes the reader and lets go of its lock.
void close_locked_reader(ReaderLock &lock);

// Whether this user may open the reader at `path` (read and write).
bool reader_accessible(const QString &path);
