#include "single_instance_os.h"

#include "reader_lock.h"

#include <QDir>

namespace single_instance_os {

// The user's own data folder, which other users cannot enter. The socket is
// a named pipe, which lives outside it.
QString rendezvousFolder()
{
    QDir().mkpath(lock_dir());
    return lock_dir();
}

bool peer(qintptr, qint64 *, bool *) { return false; }

}  // namespace single_instance_os
