// On Windows: a named mutex in the global namespace, which every session
// sees (the MSI's service, a person's window, a remote shell) and which is
// abandoned, never left held, when its holder dies.
#include "machinelock.h"

#include <windows.h>

namespace Ps {
namespace {

const wchar_t mutexName[] = L"Global\\Vyr Cert Installer";

} // namespace

QString MachineLock::location()
{
    return QString::fromWCharArray(mutexName);
}

MachineLock::MachineLock(int waitMs)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName);
    if (!mutex)
        return;
    const DWORD waited = WaitForSingleObject(mutex, DWORD(waitMs));
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        handle = reinterpret_cast<std::intptr_t>(mutex);
        taken = State::Held;
        return;
    }
    CloseHandle(mutex);
    taken = waited == WAIT_TIMEOUT ? State::Busy : State::Unavailable;
}

MachineLock::~MachineLock()
{
    if (handle == -1)
        return;
    HANDLE mutex = reinterpret_cast<HANDLE>(handle);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

} // namespace Ps
