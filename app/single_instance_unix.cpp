#include "single_instance_os.h"

#include "reader_lock.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Made when missing. Another user may have made it first in the shared
// temporary folder, or may enter it: whoever can write there could hold the
// lock for ever or answer in the window's place. So it is used only when it
// is a real folder of this user's that nobody else may enter.
bool isPrivateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
            && (info.st_mode & 077) == 0;
}

}  // namespace

namespace single_instance_os {

// One in the temporary folder: on this machine even where the home folder
// is shared over the network, and there whatever the session, without
// XDG_RUNTIME_DIR. Another user who took its name first cannot take the one
// in the user's data folder too.
QString rendezvousFolder()
{
    const QString temporary = QDir::tempPath() + QStringLiteral("/quendel-writecard-%1").arg(::geteuid());
    const QString data = QDir(lock_dir()).filePath(QStringLiteral("instance"));
    if (isPrivateFolder(temporary))
        return temporary;
    if (QDir().mkpath(lock_dir()) && isPrivateFolder(data))
        return data;
    qWarning("neither %s nor %s is a folder of this user's alone; running without hand-over",
             qUtf8Printable(temporary), qUtf8Printable(data));
    return {};
}

QString foreignSocket(const QString &name)
{
    struct stat info;
    if (::lstat(QFile::encodeName(name).constData(), &info) != 0)
        return errno == ENOENT ? QString() : QStringLiteral("cannot be looked at: %1").arg(qt_error_string(errno));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("is a link");
    if (!S_ISSOCK(info.st_mode))
        return QStringLiteral("is not a socket");
    return info.st_uid == ::geteuid() ? QString() : QStringLiteral("belongs to another user (uid %1)").arg(info.st_uid);
}

// Effective, as the owner of the folder and the credentials of a socket are.
void peer(qintptr descriptor, qint64 *pid, bool *anotherUser)
{
    struct ucred peer = {};
    socklen_t size = sizeof peer;
    const bool told = ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    *pid = told ? peer.pid : -1;
    *anotherUser = !told || peer.uid != ::geteuid();
}

}  // namespace single_instance_os
