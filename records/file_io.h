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
//   sync) leaves its reason in errno, for errnoText; the other calls say
//   their reason themselves;
// - a file that the program names for itself (openOwnForAppend, and what
//   foreignFile vouches for) is never a link, nor anything but a regular
//   file of this user's, or of the owner of the file it stands beside;
// - a file that openPrivately makes is a new file, which no descriptor
//   opened on what stood at its name before can read; where the system gives
//   files modes, no other user can read it from its first byte on; on
//   Windows it takes its folder's permissions, which for a user's own
//   folders are his alone.
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
// Locks exclusively: empty once locked, else why not.
QString lockFile(int fd);
void unlockFile(int fd);

// What keeps the file at `path` from being one of the program's own, as
// "is a link" or "belongs to user X" says it; empty when nothing stands
// there or a regular file of this user's does, or, with `beside` naming a
// file that exists, of that file's owner.
QString foreignFile(const QString &path, const QString &beside = QString());
// Opens the program's own file at `path` to read and append, as
// openForAppend does, never through a link and only when foreignFile finds
// nothing against it, not even once open. Made (`create`) beside the file
// `beside`, it is that file's owner's, and it is never more open than that
// file. -1 on failure, with `error` naming the file and what is wrong with
// it; with `error` empty when it is missing and not to be made.
int openOwnForAppend(const QString &path, bool create, const QString &beside, QString &error);

// Opens `file` at `path` to write a new file there, privately: the trace
// names every card. What stands at `path` must be a regular file of this
// user's, and is replaced whole.
bool openPrivately(QFile &file, const QString &path, QString &error);

// The two halves of openPrivately, the system's own: a new file at
// `path`, made privately and exclusively (-1 on failure, with `error`); and
// `temporary` moved over `path`.
int createPrivately(const QString &path, QString &error);
bool moveOver(const QString &temporary, const QString &path, QString &error);

}  // namespace file_io
