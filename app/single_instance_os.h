// Where a later start meets the window that runs, and who answers there;
// one implementation per system (single_instance_unix.cpp,
// single_instance_win.cpp). What every system guarantees:
// - the folder given is one where no other user can make, swap or answer
//   the lock and the socket; none is given rather than one that is not;
// - a peer's user is told only as the system proves it.
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
