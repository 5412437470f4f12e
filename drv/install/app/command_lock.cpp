#include "app/command_lock.h"

const char kCommandMutexName[] = "Global\\Orvandelle.Install.{28CD40B4-D7C9-452C-9FDF-8E440253425E}";

namespace {

// Anyone may make an object under a "Global\" name. Ours is owned by the Administrators and
// may be used by SYSTEM and the Administrators alone; a standard user can own neither, so a
// name taken before us is told apart by its owner.
const char kCommandMutexSecurity[] = "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// An earlier run as SYSTEM without that security made the mutex with SYSTEM's default one,
// which lets an administrator wait on it and read its owner, but not open it with the full
// access CreateMutexA asks for. It can vanish between the two calls, hence a few tries.
const int kOpenAttempts = 3;

struct CommandLock {
  HANDLE mutex;   // null when this process holds none
  bool owned;
};
CommandLock Lock = {nullptr, false};

// The reason of a failed call; a call that failed without one still failed.
DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

HANDLE OpenCommandMutex(SECURITY_ATTRIBUTES& security) {
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    HANDLE mutex = CreateMutexA(&security, FALSE, kCommandMutexName);
    if (mutex != nullptr || GetLastError() != ERROR_ACCESS_DENIED) return mutex;
    mutex = OpenMutexA(SYNCHRONIZE | READ_CONTROL, FALSE, kCommandMutexName);
    if (mutex != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND) return mutex;
  }
  return nullptr;
}

// ERROR_SUCCESS when SYSTEM or the Administrators own the mutex.
DWORD CheckOwner(HANDLE mutex) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD status =
      GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor);
  if (status == ERROR_SUCCESS && !(owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                                        IsWellKnownSid(owner, WinLocalSystemSid))))
    status = ERROR_ACCESS_DENIED;
  if (descriptor != nullptr) LocalFree(descriptor);
  return status;
}

// A handle to the installers' own mutex in `mutex`, or the reason there is none.
DWORD OpenTrustedMutex(HANDLE& mutex) {
  mutex = nullptr;
  SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kCommandMutexSecurity, SDDL_REVISION_1,
                                                            &security.lpSecurityDescriptor, nullptr))
    return LastErrorOr(ERROR_INVALID_PARAMETER);
  mutex = OpenCommandMutex(security);
  DWORD status = mutex != nullptr ? CheckOwner(mutex) : LastErrorOr(ERROR_INVALID_HANDLE);
  LocalFree(security.lpSecurityDescriptor);
  if (status != ERROR_SUCCESS && mutex != nullptr) {
    CloseHandle(mutex);
    mutex = nullptr;
  }
  return status;
}

}  // namespace

DWORD AcquireCommandLock() {
  HANDLE mutex = nullptr;
  DWORD status = OpenTrustedMutex(mutex);
  if (status != ERROR_SUCCESS) return status;
  DWORD waited = WaitForSingleObject(mutex, kCommandLockWait);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    Lock = {mutex, true};
    return ERROR_SUCCESS;
  }
  status = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : LastErrorOr(ERROR_INVALID_HANDLE);
  CloseHandle(mutex);
  return status;
}

void ReleaseCommandLock() {
  if (Lock.mutex == nullptr) return;
  if (Lock.owned) ReleaseMutex(Lock.mutex);
  CloseHandle(Lock.mutex);
  Lock = {nullptr, false};
}
