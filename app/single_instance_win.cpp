#include "single_instance_os.h"

#include "reader_lock.h"

#include <QDir>

#include <windows.h>

namespace {

// Whether the process `pid` runs as the user this process runs as: the
// users of their tokens are one.
bool runsAsThisUser(DWORD pid)
{
    union TokenUserBuffer {
        TOKEN_USER user;
        char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    };
    TokenUserBuffer users[2];
    const HANDLE processes[2] = {GetCurrentProcess(), OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
    bool told = processes[1] != nullptr;
    for (int i = 0; i < 2 && told; i++) {
        HANDLE token;
        DWORD size = 0;
        told = OpenProcessToken(processes[i], TOKEN_QUERY, &token);
        if (told) {
            told = GetTokenInformation(token, TokenUser, &users[i], sizeof users[i], &size);
            CloseHandle(token);
        }
    }
    if (processes[1])
        CloseHandle(processes[1]);
    return told && EqualSid(users[0].user.User.Sid, users[1].user.User.Sid);
}

}  // namespace

namespace single_instance_os {

// The user's own data folder, which other users cannot enter. The socket is
// a named pipe, which lives outside it: anyone may make one of its name.
QString rendezvousFolder()
{
    QDir().mkpath(lock_dir());
    return lock_dir();
}

QString foreignSocket(const QString &) { return QString(); }

// The pipe's server process, and its token's user.
void peer(qintptr descriptor, qint64 *pid, bool *anotherUser)
{
    ULONG server = 0;
    const bool told = GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(descriptor), &server);
    *pid = told ? qint64(server) : -1;
    *anotherUser = !told || !runsAsThisUser(server);
}

}  // namespace single_instance_os
