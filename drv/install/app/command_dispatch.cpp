#include "app/command_dispatch.h"

#include "app/command_lock.h"
#include "app/install_context.h"
#include "app/install_log.h"
#include "flows/install_flows.h"
#include "flows/startup_checks.h"
#include "system/deferred_delete.h"
#include "text/wide_text.h"
#include "tray/tray_control.h"

HINSTANCE ModuleHandle = nullptr;

namespace {

// A help viewer that ignores SC_CLOSE must not keep the installer waiting forever: after
// about ten seconds of asking, the command goes on.
const int kMaxHelpWindowPasses = 200;
const DWORD kHelpWindowPause = 50;

// The error lines of a command that found another run holding the command lock, and of one
// that could not take the lock safely.
const int32_t kAnotherRunError = 19;
const int32_t kUnsafeLockError = 25;

const int kInstallMode = 1;
const int kInstallNoTrayMode = 3;

// The usual string-to-long rules in base 10: leading blanks, an optional sign, digits up to the
// first non-digit; no digits gives 0; out of range clamps to the 32-bit limits.
int32_t ParseDecimal(const WCHAR* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) text++;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') text++;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    value = value * 10 + (*text - '0');
    if (value > 2147483648LL) value = 2147483648LL;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) value = 2147483647LL;
  return static_cast<int32_t>(value);
}

HWND ParentWindow(int count, WCHAR** args) {
  if (count != 3) return nullptr;
  // Sign-extended to the width of a handle, as a window handle passed in decimal would be.
  HWND candidate = reinterpret_cast<HWND>(static_cast<intptr_t>(ParseDecimal(args[2])));
  return IsWindow(candidate) ? candidate : nullptr;
}

int InstallMode(const WCHAR* word) {
  if (TextEqualsIgnoringAsciiCase(word, W("in")) || TextEqualsIgnoringAsciiCase(word, W("install")) ||
      TextEqualsIgnoringAsciiCase(word, W("serverinstall")))
    return kInstallMode;
  if (TextEqualsIgnoringAsciiCase(word, W("in_notray"))) return kInstallNoTrayMode;
  return 0;
}

int32_t RunInstall(int mode, HWND parent) {
  CloseHelpWindows();
  InstallContext context;
  InitContext(context, mode == kInstallNoTrayMode ? (UseX64Files | NoTray) : UseX64Files);
  LogLine(context, W(">>0010"));
  ReInstall(context);
  int scheduled = ScheduleDeletesAtReboot(context);
  ReleaseCommandLock();
  ShowLogWindowWhenNeeded(context, parent);
  int32_t errors = context.ErrorCount;
  LogLine(context, W(">>0020"));
  FreeContext(context);
  if (errors != 0) return 100;
  return scheduled != 0 ? 101 : 1;
}

int32_t RunUninstall(HWND parent) {
  CloseHelpWindows();
  int scheduled = 0;
  if (UninstallCommand(parent, &scheduled)) return 100;
  return scheduled != 0 ? 101 : 2;
}

// The commands that change the machine, each run under the command lock.
enum class Command { None, Init, Uninstall, RemoveTray, Install, DefSet };

Command ChooseCommand(const WCHAR* word, int mode) {
  if (TextEqualsIgnoringAsciiCase(word, W("onInit"))) return Command::Init;
  if (TextEqualsIgnoringAsciiCase(word, W("un")) || TextEqualsIgnoringAsciiCase(word, W("uninstall")))
    return Command::Uninstall;
  if (TextEqualsIgnoringAsciiCase(word, W("removetray"))) return Command::RemoveTray;
  if (mode != 0) return Command::Install;
  if (TextEquals(word, W("def.set"))) return Command::DefSet;
  return Command::None;
}

int32_t RunChosen(Command command, int mode, HWND parent) {
  switch (command) {
    case Command::Init:
      if (InitCheck()) return 200;
      return DefaultPrinterIsOther() ? 102 : 3;
    case Command::Uninstall:
      return RunUninstall(parent);
    case Command::RemoveTray:
      StopAndRemoveTray();
      return 6;
    case Command::Install:
      return RunInstall(mode, parent);
    case Command::DefSet:
      MakeOwnPrinterDefault();
      return 4;
    case Command::None:
      break;
  }
  return 6;
}

// The command lock was not taken: another run kept it for the whole wait (WAIT_TIMEOUT), or it
// could not be had safely (the reason). Install and uninstall say so in a log of their own,
// built without InitContext, which would already start the spooler and read it; the others
// give their usual answer for nothing done.
int32_t RunRefused(Command command, HWND parent, DWORD reason) {
  if (command == Command::Init) return 3;
  if (command == Command::DefSet) return 4;
  if (command != Command::Install && command != Command::Uninstall) return 6;
  InstallContext context = {};
  LogLine(context, W("Orvandelle %d"), kInstallerBuild);
  // The lock's own failure gives the line its description.
  SetLastError(reason);
  ReportError(context, reason == WAIT_TIMEOUT ? kAnotherRunError : kUnsafeLockError);
  ShowLogWindowWhenNeeded(context, parent);
  FreeContext(context);
  return 100;
}

int32_t Dispatch(int count, WCHAR** args) {
  HWND parent = ParentWindow(count, args);
  const WCHAR* word = args[1];
  int mode = InstallMode(word);
  // Only reads the spooler: it needs no lock and is never kept waiting.
  if (TextEqualsIgnoringAsciiCase(word, W("onChkDrv"))) return DriverVersionCheck() ? 103 : 3;
  // Started by a run in another session, which holds the lock: the tray hand-shake of this
  // session, and nothing else.
  if (TextEqualsIgnoringAsciiCase(word, W("quittray"))) return AskTrayToQuitInThisSession(), 6;
  Command command = ChooseCommand(word, mode);
  if (command == Command::None) return 6;
  // Taken before anything of the machine is touched: an install's first changes are closing
  // the help windows and, in InitContext, starting the spooler.
  DWORD lock = AcquireCommandLock();
  if (lock != ERROR_SUCCESS) return RunRefused(command, parent, lock);
  int32_t code = RunChosen(command, mode, parent);
  ReleaseCommandLock();
  return code;
}

}  // namespace

int32_t RunCommand(HINSTANCE module) {
  ModuleHandle = module;
  // Elevated, from a folder that others may write to: nothing may be loaded from there.
  LimitDllSearchToSystemDirectory();
  int count = 0;
  WCHAR** args = CommandLineToArgvW(GetCommandLineW(), &count);
  // A command line that cannot be split counts as one without a command word.
  if (args == nullptr) return 6;
  int32_t code = count < 2 ? 6 : Dispatch(count, args);
  LocalFree(args);
  return code;
}

void CloseHelpWindows() {
  for (int pass = 0; pass < kMaxHelpWindowPasses; pass++) {
    HWND window = FindWindowW(W("HH Parent"), W("Orvandelle Help"));
    if (window == nullptr) return;
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(kHelpWindowPause);
  }
}
