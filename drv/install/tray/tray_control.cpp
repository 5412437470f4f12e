#include "tray/tray_control.h"

#include "app/install_context.h"
#include "system/deferred_delete.h"
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

// Command lines hold at most MAX_PATH - 1 characters of the path between their quotes, and a
// short word behind them.
const uint64_t kMaxCommandPathChars = MAX_PATH - 1;
const uint64_t kCommandLineChars = MAX_PATH + 16;

// The hand-shake: a tray that never answers costs 20 waits of 5 seconds, a mutex held without
// a window 20 pauses of 250 ms.
const int kMaxHandshakePasses = 20;
const DWORD kTrayQuitWait = 5000;
const DWORD kNoWindowPause = 250;

// A copy of this program plays the hand-shake in another session: it is waited for as long as
// the whole hand-shake may take, and a little more.
const WCHAR kSessionHandshakeWord[] = W(" quittray");
const DWORD kSessionHandshakeWait = kMaxHandshakePasses * kTrayQuitWait + 2 * kTrayQuitWait;
// A program started in another session is put on its user's interactive desktop.
const WCHAR kUserDesktop[] = W("winsta0\\default");
const DWORD kNoConsoleSession = 0xFFFFFFFF;

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

// `"path"word` in `commandLine` (kCommandLineChars), the path cut to kMaxCommandPathChars.
void QuoteCommand(WCHAR* commandLine, const WCHAR* path, uint64_t length, const WCHAR* word) {
  uint64_t n = length < kMaxCommandPathChars ? length : kMaxCommandPathChars;
  uint64_t at = 0;
  commandLine[at++] = '"';
  for (uint64_t i = 0; i < n; i++) commandLine[at++] = path[i];
  commandLine[at++] = '"';
  for (; *word != 0; word++) commandLine[at++] = *word;
  commandLine[at] = 0;
}

// Interactive runs start the tray as their own user. Session 0 (a deployment tool's SYSTEM
// account) has no desktop anybody sees: the tray starts in the console user's session with that
// user's token and environment, or, with nobody logged on, not at all (the Run value starts it
// at the next log-on). A run whose session is unknown starts none either.
bool StartAsTrayUser(WCHAR* commandLine, const WCHAR* directory, STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
  DWORD own = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &own)) return false;
  if (own != 0)
    return CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, directory,
                          &startup, &process) != FALSE;
  HANDLE token = nullptr;
  DWORD console = WTSGetActiveConsoleSessionId();
  if (console == kNoConsoleSession || !WTSQueryUserToken(console, &token)) return false;
  void* environment = nullptr;
  if (!CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;
  startup.lpDesktop = const_cast<WCHAR*>(kUserDesktop);
  DWORD flags = NORMAL_PRIORITY_CLASS | (environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0);
  BOOL started = CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, FALSE, flags, environment,
                                      directory, &startup, &process);
  if (environment != nullptr) DestroyEnvironmentBlock(environment);
  CloseHandle(token);
  return started != FALSE;
}

// Started shown, in its own directory, so that it keeps no installer's folder (a deployment
// tool's cache) in use; the installer does not wait.
void StartTray(const WideText& path) {
  WCHAR commandLine[kCommandLineChars];
  QuoteCommand(commandLine, Chars(path), Length(path), W(""));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  WideText directory = DirectoryPart(path);
  if (StartAsTrayUser(commandLine, Length(directory) != 0 ? Chars(directory) : nullptr, startup, process)) {
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  ReleaseText(directory);
}

// This program's own token, moved into `session` (which takes SE_TCB_NAME: LocalSystem has it),
// or null.
HANDLE OwnTokenInSession(DWORD session) {
  HANDLE own = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own)) return nullptr;
  BOOL duplicated = DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &token);
  CloseHandle(own);
  if (!duplicated) return nullptr;
  if (SetTokenInformation(token, TokenSessionId, &session, sizeof(session))) return token;
  CloseHandle(token);
  return nullptr;
}

// A tray of another session holds a mutex of that session's namespace and a window on that
// session's desktop, neither of which can be reached from here: a copy of this program, started
// there under this program's own account, plays the hand-shake and is waited for.
void AskTrayInSession(DWORD session) {
  HANDLE token = OwnTokenInSession(session);
  if (token == nullptr) return;
  WCHAR program[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  WCHAR commandLine[kCommandLineChars];
  if (length != 0 && length < MAX_PATH) {
    QuoteCommand(commandLine, program, length, kSessionHandshakeWord);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<WCHAR*>(kUserDesktop);
    PROCESS_INFORMATION process = {};
    if (CreateProcessAsUserW(token, program, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &process)) {
      WaitForSingleObject(process.hProcess, kSessionHandshakeWait);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
  }
  CloseHandle(token);
}

// Every session but this one and the services' where someone is logged on, or was and left it
// running: a terminal server has a tray in each.
void AskTraysInOtherSessions() {
  DWORD own = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &own)) return;
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return;
  for (DWORD i = 0; i < count; i++) {
    DWORD id = sessions[i].SessionId;
    bool used = sessions[i].State == WTSActive || sessions[i].State == WTSDisconnected;
    if (id != own && id != 0 && used) AskTrayInSession(id);
  }
  WTSFreeMemory(sessions);
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

// True when the file is gone.
bool DeleteTrayFile(const WCHAR* path) {
  for (int attempt = 0; attempt < kMaxDeleteAttempts; attempt++) {
    if (DeleteFileW(path)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    Sleep(error == ERROR_ACCESS_DENIED ? kAccessDeniedPause : kOtherDeleteFailurePause);
  }
  return false;
}

// The file the Run value names, unless it is `keepFile`. The buffer has one character more than
// the registry may fill, so that a value stored without its terminator still ends within it. A
// file still in use (a tray that could not be asked to quit) goes on `leftOver`, or without one
// straight to deletion at the next restart.
void DeleteRegisteredTray(HKEY key, const WCHAR* keepFile, DeferredDeleteList* leftOver) {
  WCHAR path[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH * sizeof(WCHAR);
  if (RegQueryValueExW(key, kRunValue, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &bytes) != ERROR_SUCCESS) {
    Sleep(kUnreadableValuePause);
    return;
  }
  if (path[0] == 0) return;
  if (keepFile != nullptr && TextEqualsIgnoringAsciiCase(path, keepFile)) return;
  if (DeleteTrayFile(path)) return;
  if (leftOver != nullptr)
    AddDeferredDelete(*leftOver, path);
  else
    MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// The hand-shake with a tray of this session, when one runs. True when its file may be deleted:
// not when the mutex could not be had at all. A standard user's tray under an administrator's
// elevated run (over the shoulder) refuses its mutex to that account: the request goes to its
// window alone, and its file is deleted once it has quit, or at the next restart.
bool AskTrayHere() {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kTrayMutex);
  if (mutex != nullptr) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) AskTrayToQuit(mutex);
    CloseHandle(mutex);
    return true;
  }
  if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  HWND window = FindWindowW(kTrayWindowClass, nullptr);
  if (window != nullptr) PostMessageW(window, kTrayQuitMessage, 0, 0);
  return true;
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

void StopAndRemoveTray() { StopTrayKeepingFile(nullptr, nullptr); }

void AskTrayToQuitInThisSession() { AskTrayHere(); }

void StopTrayKeepingFile(const WCHAR* keepFile, DeferredDeleteList* leftOver) {
  bool mayDelete = AskTrayHere();
  AskTraysInOtherSessions();
  HKEY key = OpenRunKey();
  if (key == nullptr) return;
  if (mayDelete) DeleteRegisteredTray(key, keepFile, leftOver);
  RegDeleteValueA(key, kRunValueAnsi);
  RegCloseKey(key);
}
