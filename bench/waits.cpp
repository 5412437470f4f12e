// Where the installer's whole commands spend their time waiting, on the simulated machine:
// every road a deployment takes is played from its starting state, and the call record of the
// measured command is read back. The virtual clock moves only inside Sleep, the waits and the
// services' pending states, so the time between one call and the next belongs to the first,
// and the calls made just before a pause say what the pause was for.
//
// Prints one block per road; ends with 1 when a road did not end with its exit code or its
// places do not add up to its total, so that a road that stopped working is not reported as
// fast.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/command_dispatch.h"
#include "app/command_lock.h"
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kModuleDir[] = u"C:\\Product\\drv\\";
const char16_t kMonitorPath[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kTrayPath[] = u"C:\\Product\\orvtray.exe";
const char16_t kProductDriver[] = u"Orvandelle printer";
const int kOtherProgram = 7;  // a program that keeps the monitor DLL loaded

// The tray program as it behaves in the field: it quits 300 ms after it is asked.
const winsim::TraySpec kAnsweringTray = {winsim::TrayAnswer::Quits, 300, true, u""};

std::string Contents(const std::u16string& name, WORD build) {
  return "MZ " + std::string(name.begin(), name.end()) + " " + winsim::VersionResource({1, 0, 0, build});
}

void PutInstallerFiles(WORD build) {
  winsim::PutFile(std::u16string(kModuleDir) + u"orvinst.exe", "MZ orvinst");
  for (const char16_t* name : {u"zelmon64.dll", u"zeldrv64.dll", u"zelui64.dll"})
    winsim::PutFile(std::u16string(kModuleDir) + name, Contents(name, build));
  winsim::PutFile(std::u16string(kModuleDir) + u"zelhelp.chm", "ITSF help");
  winsim::PutFile(kTrayPath, "MZ orvtray");
}

// A fresh machine with the product beside the installer, whose tray program answers.
void FreshMachine(WORD build = 2547) {
  winsim::ResetMachine();
  winsim::SetModulePath(std::u16string(kModuleDir) + u"orvinst.exe");
  winsim::AddLocalPortMonitor();
  PutInstallerFiles(build);
  winsim::LaunchTrayOnStart(kAnsweringTray);
}

int32_t Run(const std::u16string& word) {
  winsim::SetCommandLine(u"orvinst.exe " + word);
  return RunCommand(reinterpret_cast<HINSTANCE>(0x400000));
}

// Product printers a user made on the first install: comment, location, settings key (plain
// and under "DsUser"), the second one the default.
void AddUsersPrinters(int count) {
  for (int i = 0; i < count; i++) {
    std::u16string name = u"Office " + winsim::Utf16(std::to_string(i + 1));
    std::string key = "Orvandelles-" + std::to_string(i + 1);
    winsim::SimPrinter printer;
    printer.name = name;
    printer.driverName = kProductDriver;
    printer.portName = u"Orvandelle:";
    printer.comment = u"comment of " + name;
    printer.location = u"room of " + name;
    std::vector<BYTE> data(key.begin(), key.end());
    data.push_back(0);
    printer.data = {{winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, data}, {"DsUser", "SubKey", REG_SZ, data}};
    winsim::AddSimPrinter(printer);
    if (i == 1) winsim::SetSimDefaultPrinter(name);
  }
}

// --- The roads -------------------------------------------------------------------------------

struct Road {
  const char* name;
  const char16_t* word;    // the measured command
  int32_t expected;        // its exit code
  void (*before)();        // the commands and changes that lead to it, not measured
  const char* what;
};

void Nothing() {}
void Installed() { Run(u"install"); }
void InstalledWithPrinters() {
  Run(u"install");
  AddUsersPrinters(3);
}
// An older build is installed and running; the outer setup of the new one ends its tray first.
// The spooler keeps the old monitor DLL loaded after its deletion, as Windows' does.
void OlderBuildTrayRemoved() {
  FreshMachine(2450);
  Run(u"install");
  AddUsersPrinters(3);
  PutInstallerFiles(2547);
  winsim::KeepDeletedMonitorsLoaded(true);
  Run(u"removetray");
}
void InstalledMonitorHeld() {
  Run(u"install");
  winsim::HoldFile(kMonitorPath, kOtherProgram);
}
// The uninstall left the held monitor for the next start; the install comes before it.
void UninstalledAwaitingRestart() {
  InstalledMonitorHeld();
  Run(u"uninstall");
}

void InstalledHelpOpen() {
  Run(u"install");
  winsim::OpenHelpWindow();
}
// Another run of the installer (a deployment tool's, say) is at work for two more seconds.
void InstalledOtherRunBusy() {
  Run(u"install");
  winsim::MutexHolderSpec other;
  other.name = kCommandMutexName;
  other.holdFor = 2000;
  winsim::StartMutexHolder(other);
}

const Road kRoads[] = {
    {"clean install", u"install", 1, Nothing, "an empty machine"},
    {"reinstall carrying printers", u"install", 1, InstalledWithPrinters, "3 product printers, one the default"},
    {"upgrade after removetray", u"install", 1, OlderBuildTrayRemoved, "build 2450 installed, its tray ended"},
    {"repair install", u"install", 1, Installed, "the same build again, its tray running"},
    {"uninstall", u"uninstall", 2, Installed, "the product installed, its tray running"},
    {"uninstall, monitor held", u"uninstall", 101, InstalledMonitorHeld, "another program has the monitor loaded"},
    {"install before restart", u"install", 1, UninstalledAwaitingRestart, "after the held uninstall, no restart"},
    {"in_notray", u"in_notray", 1, Installed, "the product installed, its tray running"},
    {"onInit", u"onInit", 102, Installed, "the product installed"},
    {"onChkDrv", u"onChkDrv", 103, Installed, "the product installed"},
    {"def.set", u"def.set", 4, Installed, "the product installed"},
    {"removetray", u"removetray", 6, Installed, "the product installed, its tray running"},
    {"repair, help window open", u"install", 1, InstalledHelpOpen, "the product's help is being read"},
    {"repair, another run busy", u"install", 1, InstalledOtherRunBusy, "another run ends 2 s later"},
};

// --- Where the time went -----------------------------------------------------------------------

bool IsPause(const std::string& name) { return name == "Sleep" || name == "WaitForSingleObject"; }

// What a call made just before a pause tells about it, read backwards from the pause.
struct Trail {
  std::string lastService;   // "ControlService" or "StartServiceW"
  std::string lastWindow;    // class asked of FindWindowW
  std::string lastMutex;     // name given to CreateMutexA or OpenMutexA
  std::string anchor;        // the nearest call before the pause that is not a pause itself
};

std::string PlaceOf(const Trail& trail) {
  const std::string& a = trail.anchor;
  if (a == "QueryServiceStatus")
    return trail.lastService == "ControlService" ? "spooler stop polls" : "spooler start polls";
  if (a == "CreateFileW") return "copy: target open retries";
  if (a == "AddMonitorW") return "monitor registration retries";
  if (a == "FindWindowW" || a == "PostMessageW")
    return trail.lastWindow == "HH Parent" ? "help windows" : "tray hand-shake";
  if (a == "RegQueryValueExW") return "tray: unreadable Run value";
  if (a == "DeleteFileW" || a == "GetLastError") return "tray: file deletion retries";
  if (a == "CreateMutexA" || a == "OpenMutexA")
    return trail.lastMutex == kCommandMutexName ? "command lock" : "tray hand-shake";
  return "after " + a;
}

void Follow(Trail& trail, const winsim::Call& call) {
  if (IsPause(call.name)) return;
  if (call.name == "ControlService" || call.name == "StartServiceW") trail.lastService = call.name;
  if (call.name == "FindWindowW") trail.lastWindow = call.args[0];
  if (call.name == "CreateMutexA" || call.name == "OpenMutexA") trail.lastMutex = call.args[2];
  if (call.name != "GetLastError" || trail.anchor != "DeleteFileW") trail.anchor = call.name;
}

struct Spent {
  DWORD ms = 0;
  int pauses = 0;
};

struct Measure {
  size_t calls = 0;
  DWORD total = 0;
  std::map<std::string, Spent> places;
  std::map<std::string, int> counts;
};

Measure Read(DWORD start) {
  Measure m;
  const std::vector<winsim::Call>& calls = winsim::Calls();
  m.calls = calls.size();
  m.total = winsim::Now() - start;
  Trail trail;
  for (size_t i = 0; i < calls.size(); i++) {
    DWORD next = i + 1 < calls.size() ? calls[i + 1].tick : winsim::Now();
    DWORD spent = next - calls[i].tick;
    m.counts[calls[i].name]++;
    if (IsPause(calls[i].name)) {
      Spent& place = m.places[PlaceOf(trail)];
      place.ms += spent;
      place.pauses++;
    } else if (spent != 0) {
      m.places["inside " + calls[i].name].ms += spent;
    }
    Follow(trail, calls[i]);
  }
  if (!calls.empty() && calls[0].tick != start) m.places["before the first call"].ms += calls[0].tick - start;
  return m;
}

// The calls a road makes most often, as a hint of where its count comes from.
std::string BusiestCalls(const Measure& m) {
  std::vector<std::pair<int, std::string>> ranked;
  for (const auto& entry : m.counts) ranked.push_back({-entry.second, entry.first});
  std::sort(ranked.begin(), ranked.end());
  std::string text;
  for (size_t i = 0; i < ranked.size() && i < 4; i++)
    text += (i ? ", " : "") + ranked[i].second + " " + std::to_string(-ranked[i].first);
  return text;
}

bool Report(const Road& road, int32_t code, const Measure& m) {
  DWORD sum = 0;
  for (const auto& place : m.places) sum += place.second.ms;
  bool ok = code == road.expected && sum == m.total;
  std::printf("%-28s exit %3d  calls %5zu  waited %6lu ms   (%s)%s\n", road.name, code, m.calls,
              static_cast<unsigned long>(m.total), road.what, ok ? "" : "   <-- FAILED");
  if (code != road.expected) std::printf("    expected exit %d\n", road.expected);
  for (const auto& place : m.places)
    std::printf("    %-34s %6lu ms  %3d pauses\n", place.first.c_str(), static_cast<unsigned long>(place.second.ms),
                place.second.pauses);
  std::printf("    most made: %s\n", BusiestCalls(m).c_str());
  return ok;
}

void PrintCalls() {
  for (const winsim::Call& call : winsim::Calls()) {
    std::string args;
    for (const std::string& arg : call.args) args += (args.empty() ? "" : ", ") + arg;
    std::printf("  %7lu  %s(%s)\n", static_cast<unsigned long>(call.tick), call.name.c_str(), args.c_str());
  }
}

}  // namespace

// With "--calls ROAD", also prints that road's whole call record.
int main(int argc, char** argv) {
  std::string traced = argc == 3 && std::string(argv[1]) == "--calls" ? argv[2] : "";
  std::printf("Waiting on the simulated machine, virtual milliseconds, per whole command\n\n");
  bool ok = true;
  for (const Road& road : kRoads) {
    FreshMachine();
    road.before();
    winsim::ClearCalls();
    DWORD start = winsim::Now();
    int32_t code = Run(road.word);
    ok = Report(road, code, Read(start)) && ok;
    if (traced == road.name) PrintCalls();
    winsim::EndAllProcesses();
  }
  std::printf("\n%s\n", ok ? "every road ended as expected" : "some roads did not end as expected");
  return ok ? 0 : 1;
}
