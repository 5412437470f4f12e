#include "app/command_lock.h"

const char kCommandMutexName[] = "Global\\Orvandelle.Install.{28CD40B4-D7C9-452C-9FDF-8E440253425E}";

namespace {

// A run under another account (an unattended one as SYSTEM) makes the mutex with that
// account's default security, which lets an administrator wait on it but not open it with the
// full access CreateMutexA asks for. It can vanish between the two calls, hence a few tries.
const int kOpenAttempts = 3;

HANDLE OpenCommandMutex() {
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kCommandMutexName);
    if (mutex != nullptr || GetLastError() != ERROR_ACCESS_DENIED) return mutex;
    mutex = OpenMutexA(SYNCHRONIZE, FALSE, kCommandMutexName);
    if (mutex != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND) return mutex;
  }
  return nullptr;
}

}  // namespace

bool AcquireCommandLock(CommandLock& lock) {
  lock.owned = false;
  lock.mutex = OpenCommandMutex();
  if (lock.mutex == nullptr) return true;
  DWORD waited = WaitForSingleObject(lock.mutex, kCommandLockWait);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    lock.owned = true;
    return true;
  }
  CloseHandle(lock.mutex);
  lock.mutex = nullptr;
  return waited != WAIT_TIMEOUT;
}

void ReleaseCommandLock(CommandLock& lock) {
  if (lock.mutex == nullptr) return;
  if (lock.owned) ReleaseMutex(lock.mutex);
  CloseHandle(lock.mutex);
  lock.mutex = nullptr;
  lock.owned = false;
}
