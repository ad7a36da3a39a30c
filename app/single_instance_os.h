// Where a later start meets the window that runs, and who answers there;
// one implementation per system (single_instance_unix.cpp,
// single_instance_win.cpp). What every system guarantees:
// - the folder given is one that no other user can enter, for the lock
//   file, and for the socket where the socket is a file; none is given
//   rather than one that is not;
// - a peer run by another user is told so where the system proves it
//   (Linux); elsewhere peers are not told apart.
#pragma once

#include <QString>

namespace single_instance_os {

// The folder of the lock and the socket; empty when there is none that is
// this user's alone.
QString rendezvousFolder();
// The process at the other end of the connected local socket `descriptor`,
// and whether its effective user is another than this process's; false
// where the system cannot tell.
bool peer(qintptr descriptor, qint64 *pid, bool *anotherUser);

}  // namespace single_instance_os
