// The file calls the journal and the trace are made of, one implementation
// per system (file_io_unix.cpp, file_io_win.cpp). The journal's are on plain
// descriptors rather than QFile: a row must go out in one write under a
// lock, be synced, and be taken back by truncation when it does not fit,
// none of which QFile offers. What every system guarantees:
// - a descriptor that openForAppend opens appends every write at the end
//   of the file, and is inherited by no child process;
// - a lock is exclusive between processes, waits for its holder, and goes
//   with the descriptor's close or its holder's death;
// - a sync has the file's bytes on the disk, or fails;
// - a failure of a call on a descriptor's bytes (open, write, truncate,
//   sync) leaves its reason in errno, for errnoText;
// - where the system gives files modes, a file that openPrivately makes can
//   be read by no other user from its first byte on, and a regular file of
//   this user's that it opens is made so; on Windows a file takes its
//   folder's permissions, which for a user's own folders are his alone.
#pragma once

#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>

namespace file_io {

inline QString errnoText(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Opens `path` to read and append (`create`: made when missing); -1 on failure.
int openForAppend(const QString &path, bool create);
// Why the last open failed, in the operator's terms where the system can tell.
QString openFailure();
void closeFd(int fd);
qint64 fileSize(int fd);  // -1 on failure
bool isRegularFile(int fd);
// Whether the file is still at a path: one deleted while open would swallow rows.
bool isLinked(int fd);
// Deletes the file at `path` that the caller holds open and locked, where
// the system lets it; elsewhere it stays.
void removeHeld(const QString &path);
int writeSome(int fd, const char *bytes, qint64 size);  // bytes written, or -1
bool readAt(int fd, qint64 offset, char *bytes, qint64 size);
bool truncateTo(int fd, qint64 size);
bool syncToDisk(int fd);
// Has the folder of a file just made, and so the file's name, on the disk.
bool syncFolder(const QString &path);
bool lockFile(int fd, bool exclusive);  // exclusive, or let go

// Opens `file` at `path` to write it anew, privately: the trace names every
// card. A file of this user's that exists already is made private too.
bool openPrivately(QFile &file, const QString &path, QString &error);

}  // namespace file_io
