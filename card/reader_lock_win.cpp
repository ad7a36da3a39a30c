#include "reader_lock_os.h"

#include <QDir>

#include <string>

#include <windows.h>

namespace {

// Another user's process has its lock file in its own data folder; the
// reader is one for the whole machine. A mutex in the Global namespace,
// which Windows lets go of when its holder dies, is held besides.
std::wstring machineLockName(const QString &path) { return L"Global\\" + lock_name(path).toStdWString(); }

// The mutex, owned, in `mutex`: Opened. Another user's, which this user may
// not even open, is held, since it is gone once its holder lets go of it.
ReaderOpen takeMachineLock(const QString &path, HANDLE &mutex, QString *detail)
{
    mutex = CreateMutexW(nullptr, FALSE, machineLockName(path).c_str());
    const DWORD created = mutex ? ERROR_SUCCESS : GetLastError();
    const DWORD waited = mutex ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)  // abandoned: its holder died
        return ReaderOpen::Opened;
    const DWORD failure = mutex ? GetLastError() : created;
    if (mutex)
        CloseHandle(mutex);
    mutex = nullptr;
    const bool held = waited == WAIT_TIMEOUT || failure == ERROR_ACCESS_DENIED;
    if (detail)
        *detail = held ? QStringLiteral("another user's process")
                       : QStringLiteral("cannot take the machine's lock %1: %2")
                                 .arg(QString::fromStdWString(machineLockName(path)), qt_error_string(int(failure)));
    return held ? ReaderOpen::InUse : ReaderOpen::LockFailed;
}

// One that another user made cannot even be opened: it is held, since its
// handles are closed as it is let go of.
bool machineLockHeld(const QString &path)
{
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, machineLockName(path).c_str());
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT;
}

}  // namespace

// hidapi's paths name no file: the lock file stands in for the node.
ReaderOpen ReaderLock::acquire(const QString &path, QString *detail)
{
    release();
    const ReaderOpen locked = acquireFile(path, detail);
    if (locked != ReaderOpen::Opened)
        return locked;
    HANDLE mutex;
    const ReaderOpen taken = takeMachineLock(path, mutex, detail);
    if (taken != ReaderOpen::Opened)
        mFile.reset();
    mMachineLock = mutex;
    return taken;
}

void ReaderLock::release()
{
    mFile.reset();  // unlocks
    if (mMachineLock) {
        ReleaseMutex(mMachineLock);
        CloseHandle(mMachineLock);
    }
    mMachineLock = nullptr;
}

QString ReaderLock::holderOf(const QString &path)
{
    const QString holder = lock_file_holder(path);
    if (holder.isEmpty() && machineLockHeld(path))
        return QStringLiteral("another user's process");
    return holder;
}

// Windows reuses pids (a restarted Wine often hands out the very same, even
// to this process), so QLockFile may think a dead holder's file held. But it
// lets nobody delete a lock file while its holder has it open: one that can
// be deleted is no longer held.
bool try_lock_file(QLockFile &lock)
{
    if (lock.tryLock(0))
        return true;
    return lock.error() == QLockFile::LockFailedError && lock.removeStaleLockFile() && lock.tryLock(0);
}

// Its holder keeps it open for writing and lets others only read it, so an
// open that will not share writing is refused while it is held. The pid may
// by now name another process, even one of the same program.
bool lock_file_held(const QString &file, qint64)
{
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()),
                                      GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
}

bool reader_accessible(const QString &) { return true; }
