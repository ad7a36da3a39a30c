#include "reader_lock_os.h"

#include <QDir>

#include <string>

#include <windows.h>

namespace {

// A mutex in the Global namespace, which Windows lets go of when its holder
// dies.
std::wstring machineLockName(const QString &name)
{
    return L"Global\\" + name.toStdWString();
}

}  // namespace

namespace reader_lock_os {

// hidapi's paths name no file.
bool lockNode(const QString &, int *, QString *, ReaderOpen *) { return false; }
void unlockNode(int) {}
bool nodeHolder(const QString &, QString *) { return false; }
bool accessible(const QString &) { return true; }

// Its holder keeps it open for writing and lets others only read it, so an
// open that will not share writing is refused while it is held. The pid may
// by now name another process, even one of the same program.
bool lockFileHeld(const QString &file, qint64)
{
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()),
                                      GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
}

// Windows lets nobody delete a lock file while its holder has it open: one
// that can be deleted is no longer held.
bool takeOverLockFile(QLockFile &lock)
{
    return lock.error() == QLockFile::LockFailedError && lock.removeStaleLockFile() && lock.tryLock(0);
}

bool takeMachineLock(const QString &name, void **handle)
{
    *handle = nullptr;
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, machineLockName(name).c_str());
    if (!mutex)
        return false;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {  // abandoned: its holder died
        *handle = mutex;
        return true;
    }
    CloseHandle(mutex);
    return false;
}

void releaseMachineLock(void *handle)
{
    if (!handle)
        return;
    ReleaseMutex(handle);
    CloseHandle(handle);
}

// One that another user made cannot even be opened: it is held, since its
// handles are closed as it is let go of.
bool machineLockHeld(const QString &name)
{
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, machineLockName(name).c_str());
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT;
}

}  // namespace reader_lock_os
