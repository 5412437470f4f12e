// Simulated processes and named mutexes: the programs the installer starts, and a stand-in for
// the product's tray program, which the installer asks to quit through its mutex and window.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winsim/win32_types.h"

namespace winsim {

// --- The tray program's side of the hand-shake -----------------------------------------
extern const char kTrayMutexName[];         // "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"
extern const char16_t kTrayWindowClass[];   // "qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}"
const UINT kTrayQuitMessage = WM_USER + 2;  // 1026

enum class TrayAnswer {
  Quits,            // after quitDelay: destroys its window, releases its mutex and ends
  QuitsAbandoning,  // after quitDelay: destroys its window and ends still owning its mutex
  NeverAnswers,     // keeps running whatever it is sent
};

struct TraySpec {
  TrayAnswer answer = TrayAnswer::Quits;
  DWORD quitDelay = 0;          // ms between the quit message and the end
  bool window = true;           // false: holds its mutex but never shows a window
  std::u16string programPath;   // its own file, held loaded while it runs ("" for none)
  DWORD session = 1;            // where it runs: its mutex and window are that session's
  std::u16string account = u"admin";
};

// Starts a tray program as a new simulated process and returns its id. It creates the named
// mutex with initial ownership; when the mutex exists already it gives way and ends at once,
// as a second copy of a single-instance program does.
int StartTray(const TraySpec& setup = TraySpec());

// When the installer starts a program whose file name is "orvtray.exe" (ASCII case ignored), a
// tray program with this setup starts, holding that program file. Off by default.
void LaunchTrayOnStart(const TraySpec& setup);

// --- Processes ------------------------------------------------------------------------------
bool ProcessRunning(int process);
// Every simulated process ends at once, as at a shutdown: windows gone, files let go, mutexes
// they owned abandoned.
void EndAllProcesses();

// Each CreateProcessW and CreateProcessAsUserW call the installer made, with what it passed.
struct ProcessStart {
  DWORD session;                  // where the process runs: the installer's, or its token's
  std::u16string account;         // the account it runs as
  std::u16string desktop;         // STARTUPINFOW.lpDesktop, u"(null)" when null
  std::u16string application;     // u"(null)" when null
  std::u16string commandLine;
  bool processAttributes;         // non-null
  bool threadAttributes;
  BOOL inheritHandles;
  DWORD flags;
  bool environment;               // non-null
  std::u16string currentDirectory;  // u"(null)" when null
  STARTUPINFOW startup;           // copied field by field; text pointers kept as given
  bool started;
  int process;                    // 0 when it did not start
};
const std::vector<ProcessStart>& ProcessStarts();

// --- Another program holding a named mutex ---------------------------------------------------
// Stands in for another run of an installer: a process that creates `name` owned and lets go
// of it after `holdFor` ms of the clock (INFINITE: only when a test ends it).
struct MutexHolderSpec {
  std::string name;               // as that program passes it to CreateMutexA
  DWORD session = 1;              // its log-on session; 0 is services and SYSTEM
  DWORD holdFor = INFINITE;
  bool dies = false;              // true: it ends still owning the mutex, which is then abandoned
  // Its account (as SetInstallerAccount names them), whose default security the mutex gets:
  // SYSTEM's lets an administrator only wait on it; a standard user's keeps administrators out.
  std::u16string account = u"admin";
  bool everyoneMayUse = false;    // it grants everyone full access to what it makes
  bool event = false;             // it makes an event of that name instead of a mutex
  std::function<void()> beforeLettingGo;   // what that run changes on the machine as it ends
};
// Returns the process id. When the mutex exists already, the process ends at once.
int StartMutexHolder(const MutexHolderSpec& setup);
// Ends a simulated process at once, as a crash would: what it owned is abandoned.
void EndProcess(int process);
// The installer's own log-on session (1 unless set): where its bare and "Local\" names land,
// and whose desktop's windows FindWindowW sees.
void SetInstallerSession(DWORD session);
DWORD InstallerSession();

// --- Accounts, log-ons and tokens --------------------------------------------------------------
// The installer's account: u"SYSTEM" (LocalSystem, as a deployment tool runs it: it holds
// SE_TCB_NAME, so it may ask for a logged-on user's token and move a token to another session),
// u"admin" (an elevated administrator, the default) or a standard user's name.
void SetInstallerAccount(const std::u16string& account);
std::u16string InstallerAccount();
// The users logged on now, one for each session they use.
std::vector<std::u16string> LoggedOnUsers();
// `user` logs on interactively in `session`, or logs off there with u"", which ends every
// program of the session. Session 1, the
// console's, has u"admin" logged on unless changed. Session 0 is the services' and has nobody.
void SetSessionUser(DWORD session, const std::u16string& user);
// The installer's own program, started in another session with CreateProcessAsUserW, runs there
// as a child: `runner` plays its command line while the installer's session and account are the
// token's, and its answer is the child's exit code. A program that requires elevation (the
// installer's manifest does) started with a token that is not elevated fails with 740, as
// Windows refuses it; a user's token from WTSQueryUserToken is never elevated.
void SetChildRunner(std::function<DWORD(const std::u16string& commandLine)> runner);
// The tray programs running now.
struct TrayProcess {
  int process;
  DWORD session;
  std::u16string account;
};
std::vector<TrayProcess> RunningTrays();
// Environment blocks from CreateEnvironmentBlock not yet given back.
size_t OpenEnvironmentBlocks();

// --- Named mutexes --------------------------------------------------------------------------
// Names are resolved as the installer's CreateMutexA would resolve them.
bool MutexExists(const std::string& name);
bool MutexOwnedByInstaller(const std::string& name);
// Mutex, process and thread handles the installer holds open.
size_t OpenProcessAreaHandles();

}  // namespace winsim
