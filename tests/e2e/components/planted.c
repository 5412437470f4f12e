// A DLL that anyone could drop beside the installer, named like a system DLL. It leaves marks
// beside itself: "<its path>.loaded" gets a line with the program's path when a process loads
// it, "<its path>.called" one with the calling module's path for every call, which it refuses.
#include <windows.h>

static HMODULE Self;

static void LeaveMark(const WCHAR* kind, HMODULE module) {
  WCHAR mark[MAX_PATH + 16];
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(Self, mark, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcatW(mark, kind);
  DWORD pathLength = GetModuleFileNameW(module, path, MAX_PATH);
  HANDLE file = CreateFileW(mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[MAX_PATH * 3 + 2];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, (int)pathLength, line, MAX_PATH * 3, NULL, NULL);
  line[bytes] = '\n';
  DWORD written = 0;
  WriteFile(file, line, (DWORD)bytes + 1, &written, NULL);
  CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    Self = self;
    LeaveMark(L".loaded", NULL);
  }
  return TRUE;
}

// Exported under every name in planted.def. On x64 the caller
// cleans up its own arguments, so one function without parameters can stand for them all.
int Refused(void) {
  HMODULE caller = NULL;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     (LPCWSTR)__builtin_return_address(0), &caller);
  LeaveMark(L".called", caller);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}
