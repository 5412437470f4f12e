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

// Each CreateProcessW call the installer made, with what it passed.
struct ProcessStart {
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
// The account a simulated process runs under, as its token says.
enum class Account { Administrator, System, User };

struct MutexHolderSpec {
  std::string name;               // as that program passes it to CreateMutexA
  DWORD session = 1;              // its log-on session; 0 is services and SYSTEM
  DWORD holdFor = INFINITE;
  bool dies = false;              // true: it ends still owning the mutex, which is then abandoned
  // Its account, whose default security the mutex gets (see DefaultSecurity): SYSTEM's lets an
  // administrator only wait on it; a standard user's keeps administrators out altogether.
  Account account = Account::Administrator;
  bool everyoneMayUse = false;    // it grants everyone full access to what it makes
  bool event = false;             // it makes an event of that name instead of a mutex
  std::function<void()> beforeLettingGo;   // what that run changes on the machine as it ends
};
// Returns the process id. When the mutex exists already, the process ends at once.
int StartMutexHolder(const MutexHolderSpec& setup);
// Ends a simulated process at once, as a crash would: what it owned is abandoned.
void EndProcess(int process);
// The installer's own log-on session (1 unless set): where its bare and "Local\" names land.
void SetInstallerSession(DWORD session);

// --- Named mutexes --------------------------------------------------------------------------
// Names are resolved as the installer's CreateMutexA would resolve them.
bool MutexExists(const std::string& name);
bool MutexOwnedByInstaller(const std::string& name);
// Mutex, process and thread handles the installer holds open.
size_t OpenProcessAreaHandles();

}  // namespace winsim
