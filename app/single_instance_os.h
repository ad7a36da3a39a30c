// Where a later start meets the window that runs, and who answers there;
// one implementation per system (single_instance_unix.cpp,
// single_instance_win.cpp). What every system guarantees:
// - the folder given is one that no other user can enter, for the lock
//   file, and for the socket where the socket is a file; none is given
//   rather than one that is not;
// - a socket that is a file is used only when it is a socket of this
//   user's, never through a link;
// - a peer is told to be another user's unless the system shows it to run
//   as this user.
#pragma once

#include <QString>

namespace single_instance_os {

// The folder of the lock and the socket; empty when there is none that is
// this user's alone.
QString rendezvousFolder();
// What keeps the socket at `name` from being this user's, as "is a link"
// says it; empty when there is none, or it is this user's, or it is no file.
QString foreignSocket(const QString &name);
// The process at the other end of the connected local socket `descriptor`
// (-1 where unknown), and whether it cannot be shown to run as this user.
void peer(qintptr descriptor, qint64 *pid, bool *anotherUser);

}  // namespace single_instance_os
