// Three roads played again and again with one platform failure each: every recorded call failed
// on its own, every call name failed throughout, every allocation of each allocator failed in
// turn. Whatever fails, the installer must end cleanly: a known exit code, 100 exactly when it
// logged an error and 101 exactly when it scheduled a file, nothing leaked or left open, the
// log's depth back at 0, the spooler running, no user printer gone without an error line that
// names it, and no product file left behind unreported.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

// The error each call fails with: what Windows reports for the failure an installer meets in the
// field (a held file, a refused right, a missing value, a spooler gone away); a call not named
// here is refused as a policy refuses: access denied. Guessed where Windows documents no typical
// code: the close calls (a bad handle), the dialog calls, GetVersionExA, WaitForSingleObject, the
// version resource calls and the spooler's default pair.
const std::map<std::string, DWORD> kErrorOf = {
    {"AddMonitorW", ERROR_PRINT_MONITOR_ALREADY_INSTALLED}, {"AddPrinterW", ERROR_PRINTER_ALREADY_EXISTS},
    {"CloseHandle", ERROR_INVALID_HANDLE}, {"ClosePrinter", ERROR_INVALID_HANDLE},
    {"CloseServiceHandle", ERROR_INVALID_HANDLE}, {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"DeregisterEventSource", ERROR_INVALID_HANDLE}, {"QueryServiceStatus", ERROR_INVALID_HANDLE},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE}, {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY},
    {"ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL}, {"CreateFileW", ERROR_SHARING_VIOLATION},
    {"CreateProcessW", ERROR_FILE_NOT_FOUND}, {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE},
    {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE}, {"DialogBoxParamW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE}, {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE},
    {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE}, {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE},
    {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE}, {"FormatMessageW", 317 /* ERROR_MR_MID_NOT_FOUND */},
    {"GetFileAttributesW", ERROR_FILE_NOT_FOUND}, {"GetFileVersionInfoSizeW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"GetFileVersionInfoW", ERROR_RESOURCE_TYPE_NOT_FOUND}, {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER}, {"GetPrinterDataA", ERROR_FILE_NOT_FOUND},
    {"GetPrinterDataExA", ERROR_FILE_NOT_FOUND}, {"GetPrinterDriverW", ERROR_UNKNOWN_PRINTER_DRIVER},
    {"GetVersionExA", ERROR_INVALID_PARAMETER}, {"MultiByteToWideChar", 1113 /* ERROR_NO_UNICODE_TRANSLATION */},
    {"OpenPrinterW", ERROR_INVALID_PRINTER_NAME}, {"OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST},
    {"PostMessageW", ERROR_INVALID_WINDOW_HANDLE}, {"SetWindowTextW", ERROR_INVALID_WINDOW_HANDLE},
    {"ReadFile", 30 /* ERROR_READ_FAULT */}, {"RegDeleteValueA", ERROR_FILE_NOT_FOUND},
    {"RegOpenKeyExA", ERROR_FILE_NOT_FOUND}, {"RegQueryValueExW", ERROR_FILE_NOT_FOUND},
    {"ReleaseMutex", 288 /* ERROR_NOT_OWNER */}, {"SetDlgItemTextW", 1421 /* ERROR_CONTROL_ID_NOT_FOUND */},
    {"SpoolerGetDefaultPrinterW", ERROR_FILE_NOT_FOUND}, {"SpoolerSetDefaultPrinterW", ERROR_INVALID_PRINTER_NAME},
    {"StartServiceW", ERROR_SERVICE_DISABLED}, {"WriteFile", ERROR_DISK_FULL}, {"OpenMutexA", ERROR_FILE_NOT_FOUND},
};
DWORD ErrorOf(const std::string& call) {
  auto found = kErrorOf.find(call);
  return found == kErrorOf.end() ? ERROR_ACCESS_DENIED : found->second;
}
// Calls that have no failure to give: waits, the clock, the key state, the window test, and the
// DLL search limit, whose failure leaves the search as it was and is not read.
const std::set<std::string> kCannotFail = {"Sleep", "GetTickCount", "GetCommandLineW", "GetAsyncKeyState",
                                           "IsWindow", "EndDialog", "LimitDllSearchToSystemDirectory",
                                           "GetCurrentProcessId", "WTSGetActiveConsoleSessionId", "WTSFreeMemory",
                                           "DestroyEnvironmentBlock"};
const std::set<std::string> kStationCalls = {"GetProcessWindowStation", "GetUserObjectInformationW"};
const std::set<std::string> kCloseCalls = {"CloseHandle", "ClosePrinter", "CloseServiceHandle", "RegCloseKey"};

// Outcomes a failure may rightly change, and the failures that may: the program does what it is
// meant to and the invariant cannot hold.
enum class Rule { SpoolerRunning, PrinterKept, FilesAccounted, LogShown };
struct Exemption {
  const char* fault;   // a call name, or "GlobalAlloc" for a failed global allocation
  Rule rule;
  const char* why;
};
const Exemption kExemptions[] = {
    {"StartServiceW", Rule::SpoolerRunning, "the spooler cannot be started: \"Can't start the spooler\" is logged"},
    {"MoveFileExW", Rule::FilesAccounted,
     "a file that cannot be registered for deletion at restart is not counted, and nothing is logged"},
    {"EnumPrinterDriversW", Rule::FilesAccounted,
     "a driver list that cannot be read is taken as empty: no driver to remove, nothing logged"},
    {"GlobalAlloc", Rule::FilesAccounted,
     "no memory for the driver list or for a held file's entry: the list is empty, the entry dropped"},
    {"HeapAlloc", Rule::FilesAccounted, "no memory to name the monitor file: it is not deleted"},
    {"RegisterEventSourceW", Rule::LogShown, "unseen, with the event log refusing its source: no record is possible"},
    {"ReportEventW", Rule::LogShown, "unseen, with the event log refusing every event: no record is possible"},
    {"GlobalAlloc", Rule::LogShown, "unseen, with no memory for the event's text: no record is possible"},
};

// Whether the rule may be broken under this fault; counts the runs that needed it.
std::map<const Exemption*, int> exemptRuns;
bool Exempt(const std::string& fault, Rule rule) {
  for (const Exemption& exemption : kExemptions)
    if (fault == exemption.fault && rule == exemption.rule) return ++exemptRuns[&exemption], true;
  return false;
}

struct Road {
  const char* name;
  void (*prepare)();
  const char16_t* command;
  int32_t success;    // the exit code of a run with nothing left to do
  int32_t cleanCode;
  bool installs;       // the users' printers come back and the product is in place; or it goes
};

void Nothing() {}

// An older build in use: its tray running, the users' printers on its port, one of them the
// default, and a spooler that keeps the old monitor loaded after its deletion; the new build's
// files are put beside the installer.
void OlderBuildWithPrintersAndTray() {
  winsim::LaunchTrayOnStart({winsim::TrayAnswer::Quits, 300, true, u""});
  PutInstallerFiles(2450);
  RunInstaller(u"install");
  PutInstallerFiles(2547);
  winsim::KeepDeletedMonitorsLoaded(true);
  AddProductPrinter(u"A", "Orvandelles-A");
  AddProductPrinter(u"B", "Orvandelles-B");
  AddProductPrinter(u"C", "Orvandelles-C");
  AddOtherMakersPrinter();
  winsim::SetSimDefaultPrinter(u"B");
}

// The same, upgraded by a deployment tool: as SYSTEM in session 0, the tray in the user's
// session 1 and the user's default printer in the user's own hive.
void OlderBuildUpgradedAsSystem() {
  OlderBuildWithPrintersAndTray();
  winsim::SetInstallerSession(0);
  winsim::SetInstallerAccount(u"SYSTEM");
}

void InstalledWithMonitorHeld() {
  RunInstaller(u"install");
  AddProductPrinter(u"A", "Orvandelles-A");
  winsim::HoldFile(std::u16string(kSystemDir) + u"zelmon64.dll", 7);  // loaded by another program
}

const Road kRoads[] = {
    {"install on an empty machine", Nothing, u"install", 1, 1, true},
    {"upgrade carrying printers over", OlderBuildWithPrintersAndTray, u"install", 1, 1, true},
    {"upgrade as SYSTEM in session 0", OlderBuildUpgradedAsSystem, u"install", 1, 1, true},
    {"uninstall with the monitor DLL held", InstalledWithMonitorHeld, u"uninstall", 2, 101, false},
};

// One way to fail a run: `arm` injects it once the road's machine is prepared.
struct Fault {
  std::string label;
  std::string call;  // what fails: a call name or an allocator's
  bool every;        // every call of that name, not one
  std::function<void()> arm;
};

struct Played {
  int32_t code;
  std::vector<winsim::Call> calls;
  size_t allocations[3];  // chances to fail each allocator had
};

// What the log window was given, read while it is shown (Shift is held, so it always is).
struct Shown {
  bool seen = false;
  int32_t depth = 0;
  int32_t errors = 0;
  Lines errorLines;
  std::set<std::u16string> saved;
};

class FaultSweepTest : public SimTest {
 protected:
  // Plays the road with the fault and checks how it ended.
  Played Play(const Road& road, const Fault& fault) {
    winsim::ResetMachine();
    PrepareProductMachine();
    road.prepare();
    std::vector<std::u16string> printers = UsersPrinters(), others;
    for (const auto& printer : winsim::SimPrinters())
      if (printer.driverName != kProductDriver) others.push_back(printer.name);
    winsim::ClearCalls();
    size_t before[3];
    for (int a = 0; a < 3; a++) before[a] = Opportunities(winsim::Allocator(a));
    Shown& shown = Watch();
    winsim::SetShiftHeld(true);
    if (fault.arm) fault.arm();
    int32_t code = RunInstaller(road.command);
    winsim::ClearFaults();
    Played run{code, winsim::Calls(), {}};
    for (int a = 0; a < 3; a++) {
      winsim::FailAllocations(winsim::Allocator(a), 0);
      run.allocations[a] = Opportunities(winsim::Allocator(a)) - before[a];
    }
    std::string where = std::string(road.name) + ", " + fault.label + ": ";
    // A run in session 0 is unseen by design: the event holds its log.
    if (!shown.seen && (kStationCalls.count(fault.call) || winsim::InstallerSession() == 0)) LookAtEvent(shown);
    Check(road, fault, code, shown, printers, where);
    for (const std::u16string& name : others)
      EXPECT_TRUE(winsim::FindSimPrinter(name)) << where << "other maker's printer " << winsim::Utf8(name) << " gone";
    // A handle whose close failed stays open in the simulation, which never ends the first
    // installer's process: the file would be closed for a second one.
    if (fault.arm && !kCloseCalls.count(fault.call)) Repair(road, where), repairs++;
    runs++;
    return run;
  }

  // The same command once more, as whoever deploys it does after a failed run: whatever the
  // failure left, this run mends it without an error.
  void Repair(const Road& road, const std::string& where) {
    std::vector<std::u16string> kept = road.installs ? UsersPrinters() : std::vector<std::u16string>();
    Shown& shown = Watch();
    winsim::ClearCalls();
    int32_t code = RunInstaller(road.command);
    EXPECT_TRUE(code == road.success || code == 101) << where << "repair ended with " << code << ": "
                                                     << (shown.errorLines.empty() ? "" : shown.errorLines[0]);
    EXPECT_EQ(shown.depth, 0) << where << "depth at the end of the repair";
    EXPECT_EQ(winsim::LiveBlocks(), 0u) << where << "blocks leaked in the repair";
    EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING)) << where << "spooler stopped after the repair";
    EXPECT_EQ(OwnMonitorRegistered(), road.installs) << where << "monitor after the repair";
    EXPECT_EQ(ProductDriverInstalled(), road.installs) << where << "driver after the repair";
    size_t left = 0;
    for (const auto& printer : winsim::SimPrinters()) left += printer.driverName == kProductDriver;
    EXPECT_EQ(left > 0, road.installs) << where << left << " product printers after the repair";
    for (const std::u16string& name : kept)
      EXPECT_TRUE(winsim::FindSimPrinter(name)) << where << "the repair lost " << winsim::Utf8(name);
  }

  // The product printers a user made: those with settings of their own.
  static std::vector<std::u16string> UsersPrinters() {
    std::vector<std::u16string> names;
    for (const auto& printer : winsim::SimPrinters())
      if (printer.driverName == kProductDriver && !printer.data.empty()) names.push_back(printer.name);
    return names;
  }

  // A window station that cannot be asked counts as one nobody sees: the log goes to the event
  // log instead of a window, and the run is judged by what that event holds.
  static void LookAtEvent(Shown& shown) {
    const auto& events = winsim::LoggedEvents();
    if (events.size() != 1) return;
    shown.seen = true;
    for (const std::u16string& part : events[0].strings) TakeErrorLines(SplitLines(winsim::Utf8(part)), shown);
    shown.errors = events[0].type == EVENTLOG_ERROR_TYPE ? static_cast<int32_t>(shown.errorLines.size()) : 0;
  }

  static void TakeErrorLines(const Lines& lines, Shown& shown) {
    for (const std::string& line : lines)
      if (line.find("Error(") != std::string::npos) shown.errorLines.push_back(line);
  }

  static size_t Opportunities(winsim::Allocator allocator) {
    bool heap = allocator == winsim::Allocator::Heap;   // a reallocation may fail as well
    return winsim::AllocationCount(allocator) + (heap ? winsim::ReallocationCount() : 0);
  }

  // What the next log window is given, read while it is shown; the next Watch starts it afresh.
  Shown& Watch() {
    shown_ = Shown();
    winsim::SetDialogHook([this](LPARAM init) { Look(*reinterpret_cast<InstallContext*>(init), shown_); });
    return shown_;
  }

  static void Look(const InstallContext& context, Shown& shown) {
    shown.seen = true;
    shown.depth = context.Depth;
    shown.errors = context.ErrorCount;
    TakeErrorLines(LogLines(context), shown);
    for (const SavedPrinter* node = context.SavedPrinters; node != nullptr; node = node->Next)
      shown.saved.insert(node->Entry->pPrinterName);
  }

  void Check(const Road& road, const Fault& fault, int32_t code, const Shown& shown,
             const std::vector<std::u16string>& printers, const std::string& where) {
    // A command line that cannot be split is one without a command word: nothing is done.
    if (code == 6 && winsim::Calls().back().name == "CommandLineToArgvW") return;
    EXPECT_TRUE(code == road.success || code == 100 || code == 101) << where << "exit code " << code;
    if (code != 100) {
      EXPECT_EQ(code == 101, ScheduledByRun() > 0) << where << "exit code " << code << " and files waiting";
    }
    EXPECT_TRUE(shown.seen || Exempt(fault.call, Rule::LogShown)) << where << "no log window with Shift held";
    EXPECT_EQ(shown.depth, 0) << where << "depth at the end";
    EXPECT_EQ(code == 100, shown.errors > 0) << where << "exit code " << code << " after " << shown.errors << " errors";
    EXPECT_EQ(shown.errorLines.empty(), shown.errors == 0) << where << "error lines and error count disagree";
    EXPECT_EQ(winsim::LiveBlocks(), 0u) << where << "blocks leaked";
    EXPECT_EQ(winsim::BadReleases(), 0u) << where << "blocks released wrongly";
    // A close that fails leaves its handle open; nothing more can be done with it.
    size_t failedCloses = kCloseCalls.count(fault.call) ? (fault.every ? winsim::CountCalls(fault.call) : 1) : 0;
    EXPECT_LE(OpenHandles(), failedCloses) << where << "handles left open";
    bool running = winsim::ServiceState(u"spooler") == SERVICE_RUNNING;
    EXPECT_TRUE(running || Exempt(fault.call, Rule::SpoolerRunning)) << where << "spooler left stopped";
    for (const std::u16string& path : LeftFiles(road)) {
      bool scheduled = false;
      for (const std::u16string& pending : PendingRenameStrings()) scheduled = scheduled || pending == DelayedDeletion(path);
      EXPECT_TRUE(scheduled || code == 100 || Exempt(fault.call, Rule::FilesAccounted))
          << where << winsim::Utf8(path) << " left behind, exit code " << code;
    }
    if (!road.installs) return;
    for (const std::u16string& name : printers) {
      if (winsim::FindSimPrinter(name)) continue;
      bool named = false;
      for (const std::string& line : shown.errorLines)
        named = named || line.find("'" + winsim::Utf8(name) + "'") != std::string::npos;
      bool unsaved = shown.saved.count(name) == 0;
      EXPECT_TRUE(named || (unsaved && Exempt(fault.call, Rule::PrinterKept)))
          << where << "printer " << winsim::Utf8(name) << " lost silently";
    }
  }

  // Pending deletions the installer registered (the spooler registers its own when it replaces a
  // loaded driver file).
  static size_t ScheduledByRun() {
    size_t count = 0;
    for (const std::u16string& pending : PendingRenameStrings())
      for (const winsim::Call& call : winsim::CallsOf("MoveFileExW"))
        if (pending == DelayedDeletion(winsim::Utf16(call.args[0]))) count++;
    return count;
  }

  // Product files that should be gone and are not: the staged driver files after any run, and
  // after an uninstall the monitor and driver files. (A tray program file that cannot be deleted
  // is let go without a word.)
  static std::vector<std::u16string> LeftFiles(const Road& road) {
    std::vector<std::u16string> left;
    for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"}) {
      left.push_back(std::u16string(kDriverDir) + name);
      if (!road.installs) left.push_back(std::u16string(kDriverDir) + u"3\\" + name);
    }
    if (!road.installs) left.push_back(std::u16string(kSystemDir) + u"zelmon64.dll");
    auto gone = [](const std::u16string& path) { return !winsim::FileExists(path); };
    left.erase(std::remove_if(left.begin(), left.end(), gone), left.end());
    return left;
  }

  Shown shown_;
  int runs = 0;
  int repairs = 0;
};

const char* const kAllocatorNames[] = {"HeapAlloc", "GlobalAlloc", "LocalAlloc"};
// Each run takes a few milliseconds in the sanitizer build; this many stay well inside a minute
// on a busy machine. A road that grows past it needs a smaller sweep, not a slower one.
const size_t kMaxRuns = 3000;

TEST_F(FaultSweepTest, EveryFailureEndsCleanly) {
  auto started = std::chrono::steady_clock::now();
  for (const Road& road : kRoads) {
    SCOPED_TRACE(road.name);
    Played clean = Play(road, Fault{"clean run", "", false, nullptr});
    ASSERT_EQ(clean.code, road.cleanCode);
    size_t planned = clean.calls.size() * 2 + clean.allocations[0] + clean.allocations[1] + clean.allocations[2];
    ASSERT_LE(runs + planned, kMaxRuns) << "the sweep outgrows its time";
    std::set<std::string> names;
    for (size_t index = 0; index < clean.calls.size(); index++) {
      const std::string name = clean.calls[index].name;
      if (kCannotFail.count(name)) continue;
      names.insert(name);
      DWORD code = ErrorOf(name);
      Played run = Play(road, Fault{"call #" + std::to_string(index) + " " + name, name, false,
                                 [index, code] { winsim::FailCallAt(index, code); }});
      EXPECT_EQ(run.calls.size() > index ? run.calls[index].name : "", name) << "the road is not played the same way";
    }
    for (const std::string& name : names) {
      DWORD code = ErrorOf(name);
      Play(road, Fault{"every " + name, name, true, [name, code] { winsim::FailNext(name, -1, code); }});
    }
    for (int a = 0; a < 3; a++)
      for (size_t k = 0; k < clean.allocations[a]; k++) {
        auto allocator = winsim::Allocator(a);
        Play(road, Fault{std::string(kAllocatorNames[a]) + " #" + std::to_string(k), kAllocatorNames[a], false,
                         [allocator, k] { winsim::FailAllocations(allocator, 1, int(k)); }});
      }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("fault sweep: %d runs and %d repair runs in %.1f s\n", runs, repairs, seconds);
  for (const auto& used : exemptRuns) std::printf("  exempt in %d runs: %s\n", used.second, used.first->why);
  RecordProperty("runs", runs);
}

}  // namespace
