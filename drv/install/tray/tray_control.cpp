#include "tray/tray_control.h"

#include "app/install_context.h"
#include "text/wide_text.h"

namespace {

// Names shared with the tray program itself.
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const WCHAR kRunValue[] = W("OrvandelleTray");
const char kRunValueAnsi[] = "OrvandelleTray";
const char kTrayMutex[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR kTrayWindowClass[] = W("qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
const UINT kTrayQuitMessage = WM_USER + 2;
const WCHAR kTrayFile[] = W("orvtray.exe");

// Command lines hold at most MAX_PATH - 1 characters of the path between their quotes.
const uint64_t kMaxCommandPathChars = MAX_PATH - 1;

// The hand-shake: a tray that never answers costs 20 waits of 5 seconds, a mutex held without
// a window 20 pauses of 250 ms.
const int kMaxHandshakePasses = 20;
const DWORD kTrayQuitWait = 5000;
const DWORD kNoWindowPause = 250;

const DWORD kUnreadableValuePause = 1000;
const int kMaxDeleteAttempts = 10;
const DWORD kAccessDeniedPause = 100;
const DWORD kOtherDeleteFailurePause = 10;

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

bool EndsWithSeparator(const WideText& text) {
  uint64_t n = Length(text);
  return n != 0 && IsSeparator(Chars(text)[n - 1]);
}

// The tray program lies in the parent of the installer's own directory; with no parent to
// name, the bare file name is used.
WideText TrayPath(const WideText& moduleDir) {
  WideText directory = CopyText(moduleDir);
  if (EndsWithSeparator(directory)) Resize(directory, Length(directory) - 1);
  WideText path = DirectoryPart(directory);
  ReleaseText(directory);
  if (Length(path) != 0 && !EndsWithSeparator(path)) Append(path, W("\\"));
  Append(path, kTrayFile);
  return path;
}

HKEY OpenRunKey() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

bool IsNt6OrLater() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExA(&version);
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

// The value holds the path without quotes, terminator counted in its size.
void RegisterTray(const WideText& path) {
  HKEY key = OpenRunKey();
  if (key == nullptr) return;
  DWORD bytes = static_cast<DWORD>((Length(path) + 1) * sizeof(WCHAR));
  RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(Chars(path)), bytes);
  RegCloseKey(key);
}

// Started shown, with the installer's environment and directory; the installer does not wait.
void StartTray(const WideText& path) {
  WCHAR commandLine[kMaxCommandPathChars + 3];
  uint64_t n = Length(path) < kMaxCommandPathChars ? Length(path) : kMaxCommandPathChars;
  commandLine[0] = '"';
  for (uint64_t i = 0; i < n; i++) commandLine[i + 1] = Chars(path)[i];
  commandLine[n + 1] = '"';
  commandLine[n + 2] = 0;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                      &startup, &process))
    return;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}

// A running tray program holds `mutex`; asked through its window, it quits and lets it go.
void AskTrayToQuit(HANDLE mutex) {
  bool signalled = false;
  for (int pass = 0; pass < kMaxHandshakePasses; pass++) {
    HWND window = FindWindowW(kTrayWindowClass, nullptr);
    if (window != nullptr) {
      signalled = true;
      PostMessageW(window, kTrayQuitMessage, 0, 0);
      if (WaitForSingleObject(mutex, kTrayQuitWait) == WAIT_OBJECT_0) return;
      continue;
    }
    if (signalled) {
      WaitForSingleObject(mutex, kTrayQuitWait);
      return;
    }
    Sleep(kNoWindowPause);
  }
  if (signalled) WaitForSingleObject(mutex, kTrayQuitWait);
}

void DeleteTrayFile(const WCHAR* path) {
  for (int attempt = 0; attempt < kMaxDeleteAttempts; attempt++) {
    if (DeleteFileW(path)) return;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    Sleep(error == ERROR_ACCESS_DENIED ? kAccessDeniedPause : kOtherDeleteFailurePause);
  }
}

// The file the Run value names, unless it is `keepFile`. The buffer has one character more than
// the registry may fill, so that a value stored without its terminator still ends within it.
void DeleteRegisteredTray(HKEY key, const WCHAR* keepFile) {
  WCHAR path[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH * sizeof(WCHAR);
  if (RegQueryValueExW(key, kRunValue, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &bytes) != ERROR_SUCCESS) {
    Sleep(kUnreadableValuePause);
    return;
  }
  if (path[0] == 0) return;
  if (keepFile != nullptr && TextEqualsIgnoringAsciiCase(path, keepFile)) return;
  DeleteTrayFile(path);
}

}  // namespace

WideText TrayPathToRegister(const InstallContext& context) {
  WideText none = {nullptr};
  if (context.StartTray == 0 || !IsNt6OrLater()) return none;
  return TrayPath(context.ModuleDir);
}

void RegisterAndStartTray(InstallContext& context) {
  WideText path = TrayPathToRegister(context);
  if (Length(path) == 0) return;
  RegisterTray(path);
  StartTray(path);
  ReleaseText(path);
}

void StopAndRemoveTray() { StopTrayKeepingFile(nullptr); }

void StopTrayKeepingFile(const WCHAR* keepFile) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kTrayMutex);
  bool haveMutex = mutex != nullptr;
  if (haveMutex && GetLastError() == ERROR_ALREADY_EXISTS) AskTrayToQuit(mutex);
  if (haveMutex) CloseHandle(mutex);
  HKEY key = OpenRunKey();
  if (key == nullptr) return;
  if (haveMutex) DeleteRegisteredTray(key, keepFile);
  RegDeleteValueA(key, kRunValueAnsi);
  RegCloseKey(key);
}
