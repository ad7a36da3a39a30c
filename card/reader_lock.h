// Exclusive use of one reader. hidraw lets any number of processes open a
// reader, and each of them then receives the answers meant for the others;
// so the window and every command of the command line take this lock before
// they open a reader, and hold it until they close it.
#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// The per-user directory for the program's locks and its socket.
QString runtime_dir();

class ReaderLock {
public:
    // Takes the lock for `path` without waiting. A lock left by a process
    // that no longer runs is taken over. False when a running process holds
    // it; `holder` then names that process.
    bool acquire(const QString &path, QString *holder);
    void release();

    // "program (pid N)" of the running process that holds the reader, or
    // empty when it is free. Takes nothing.
    static QString holderOf(const QString &path);

private:
    std::unique_ptr<QLockFile> mLock;
};

enum class ReaderOpen { Opened, NoAnswer, InUse, CannotOpen };

// Takes `lock` for the reader at `path`, opens the reader and sends it the
// connect command. NoAnswer: open, but the connect command got no valid
// answer. InUse: another process holds it, and `holder` names that process.
// CannotOpen: the lock is let go again.
ReaderOpen open_locked_reader(ReaderLock &lock, const QString &path, QString *holder);
// Closes the reader and lets go of its lock.
void close_locked_reader(ReaderLock &lock);
