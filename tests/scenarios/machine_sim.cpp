// The scenario table on the simulated machine: each scenario a test "Scenario.<name>" under the
// leak, handle and spooler checks of every whole-command test. The installer runs in process;
// what only winsim can do (faults, sessions, services, the clock, the call record) is here.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include "app/command_lock.h"
#include "scenarios/scenario_machine.h"
#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace scenario {
namespace {

const int kOtherProgram = 7;  // keeps the files it holds loaded

std::u16string U16(const std::string& text) { return winsim::Utf16(text); }
std::string U8(const std::u16string& text) { return winsim::Utf8(text); }
// A REG_SZ printer data value's bytes.
std::vector<BYTE> Sz(const std::string& text) { return {text.c_str(), text.c_str() + text.size() + 1}; }

// What the last run left for the checks only this machine makes.
struct Machine {
  size_t eventsBefore = 0, startsBefore = 0;
  DWORD started = 0, ended = 0;
  std::vector<winsim::Call> calls;  // the run's own, without the runner's reading after it
  std::vector<Words> faults;        // "fail" lines armed for the next run
  int otherRun = 0, squatter = 0;
  DWORD session = 1;               // where and as whom the installer runs; the runner itself
  std::u16string account = u"admin";  // is the console user's program
};
Machine sim;

std::vector<winsim::Call> CallsOf(const std::string& name) {
  std::vector<winsim::Call> found;
  for (const winsim::Call& call : sim.calls)
    if (call.name == name) found.push_back(call);
  return found;
}

// "killed first-gone": the run is ended (its process dies) once the spooler shows the first
// product printer gone; "killed half-back": once, after they were all gone, half are back.
bool ArmKill(const std::string& when) {
  size_t before = winsim::CountSimPrinters(kProductDriver);
  if (when == "first-gone") winsim::DieWhen([before] { return winsim::CountSimPrinters(kProductDriver) < before; });
  if (when != "half-back") return when == "first-gone";
  auto emptied = std::make_shared<bool>(false);
  winsim::DieWhen([before, emptied] {
    size_t now = winsim::CountSimPrinters(kProductDriver);
    *emptied = *emptied || now == 0;
    return *emptied && now >= (before + 1) / 2;
  });
  return true;
}

// The run's log window (its title and text), else the events it wrote unseen.
RunSeen Seen(int32_t code, size_t dialogsBefore, size_t eventsBefore) {
  RunSeen seen{code == kDied ? "killed" : std::to_string(code), "", {}, false};
  if (winsim::Dialogs().size() > dialogsBefore) {
    seen.title = U8(winsim::Dialogs().back().title);
    seen.log = ShownLogLines(), seen.logRead = true;
    return seen;
  }
  std::u16string text;
  for (size_t i = eventsBefore; i < winsim::LoggedEvents().size(); i++) text += winsim::LoggedEvents()[i].strings.at(0);
  seen.logRead = !text.empty();
  seen.log = SplitLines(U8(text));
  return seen;
}

// The last start of the tray program since `from`, or null.
const winsim::ProcessStart* LastTrayStart(size_t from) {
  const auto& starts = winsim::ProcessStarts();
  for (size_t i = starts.size(); i > from; i--)
    if (U8(starts[i - 1].commandLine).find("orvtray.exe") != std::string::npos) return &starts[i - 1];
  return nullptr;
}

winsim::TraySpec TrayIn(DWORD session, const std::string& account) {
  winsim::TraySpec tray{winsim::TrayAnswer::Quits, 300, true, kTrayPath};
  tray.session = session;
  tray.account = U16(account);
  return tray;
}

// A user's tray program started from its Run value, as at their logon.
void TrayOf(DWORD session, const std::string& account) {
  winsim::StartTray(TrayIn(session, account));
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
}

void DeafTray(bool window) {
  winsim::TraySpec tray = TrayIn(1, "admin");
  tray.answer = winsim::TrayAnswer::NeverAnswers;
  tray.window = window;
  winsim::StartTray(tray);
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
}

// "another-run MS|forever [dies] [system] [leaves PRINTER]": another run of the installer holds
// the command lock for MS of the clock; it may die owning it, run as SYSTEM in session 0, or
// re-create one more product printer as it ends. "another-run ends": it ends now.
bool AnotherRun(const Words& w) {
  if (w.size() == 2 && w[1] == "ends") return winsim::EndProcess(sim.otherRun), true;
  Words rest(w.begin() + std::min<size_t>(2, w.size()), w.end());
  std::string leaves;
  auto at = std::find(rest.begin(), rest.end(), "leaves");
  if (at != rest.end() && at + 1 != rest.end()) leaves = *(at + 1), rest.erase(at, at + 2);
  winsim::MutexHolderSpec other;
  other.name = kCommandMutexName;
  other.holdFor = w.size() > 1 && w[1] == "forever" ? INFINITE : Num(w.size() > 1 ? w[1] : "");
  other.dies = std::count(rest.begin(), rest.end(), "dies");
  bool system = std::count(rest.begin(), rest.end(), "system");
  if (w.size() < 2 || rest.size() != size_t(other.dies) + system) return false;
  other.session = system ? 0 : 1;
  other.account = system ? u"SYSTEM" : u"admin";
  if (!leaves.empty())
    other.beforeLettingGo = [leaves] {
      winsim::SimPrinter printer = PrinterOn(U16(leaves), kProductDriver, u"Orvandelle:");
      printer.data = {{winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, Sz(leaves)},
                      {"DsUser", "SubKey", REG_SZ, Sz(leaves)}};
      winsim::AddSimPrinter(printer);
    };
  sim.otherRun = winsim::StartMutexHolder(other);
  return true;
}

// "spooler holds-deleted-monitors | wine-driver-deletion | stopped | refuses-start ERROR |
// refuses-stop ERROR | mended | slow-stop MS|forever | dependent NAME": how the print spooler
// service behaves from now on; a stop that takes MS, or a running service NAME that depends on it.
bool Spooler(const Words& w) {
  static const std::set<std::string> kWays = {"holds-deleted-monitors", "wine-driver-deletion", "stopped", "mended"};
  static const std::set<std::string> kWaysWithArgument = {"refuses-start", "refuses-stop", "slow-stop", "dependent"};
  std::string how = w.size() >= 2 ? w[1] : "";
  if (!(w.size() == 2 ? kWays : kWaysWithArgument).count(how) || w.size() > 3) return false;
  DWORD stop = w.size() == 3 && w[2] == "forever" ? winsim::kNeverCompletes : Num(w.size() == 3 ? w[2] : "");
  if (how == "slow-stop") winsim::SetServiceDelays(u"spooler", winsim::kDefaultStartDelay, stop);
  if (how == "refuses-stop") winsim::RefuseServiceStop(u"spooler", Num(w[2]));
  if (how == "dependent") winsim::AddDependentService(U16(w[2]), u"spooler", SERVICE_RUNNING);
  if (how == "holds-deleted-monitors") winsim::KeepDeletedMonitorsLoaded(true);
  if (how == "wine-driver-deletion") winsim::SetWineDriverDeletion(true);
  if (how == "stopped" || how == "refuses-start") winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  if (how == "refuses-start") winsim::RefuseServiceStart(u"spooler", Num(w[2]));
  if (how == "mended") winsim::RefuseServiceStart(u"spooler", 0), winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
  return true;
}

// "connection \\SERVER\SHARE [jobs N]": the user's connection to a server's queue on the
// product driver and port, with N jobs of every user waiting there.
bool Connection(const Words& w) {
  if (w.size() != 2 && (w.size() != 4 || w[2] != "jobs")) return false;
  winsim::SimPrinter printer = PrinterOn(U16(w[1]), kProductDriver, u"Orvandelle:");
  printer.jobs = Num(w.size() == 4 ? w[3] : "");
  winsim::AddSimConnection(printer);
  return true;
}

// "logon N USER": USER logs on in session N and the tray program starts there from its Run
// value, as on a terminal server.
bool Logon(const Words& w) {
  if (w.size() != 3) return false;
  winsim::SetSessionUser(Num(w[1]), U16(w[2]));
  return TrayOf(Num(w[1]), w[2]), true;
}

// What Windows itself would refuse to lay out, which host-only rows ask for: a product printer
// without its driver, a share name taken twice, jobs waiting. The printer the runner could not
// finish is made again whole.
bool Forced(const Words& w) {
  if ((w[0] != "printer" && w[0] != "other") || w.size() < 2) return false;
  // A word this layout does not know would be lost silently: the row is malformed instead.
  static const std::set<std::string> kKnown = {"port", "comment", "location", "share", "shared", "key", "dsuser",
                                                "jobs"};
  for (size_t i = 2; i < w.size(); i += w[i] == "settings" ? 1 : 2)
    if (w[i] != "settings" && (!kKnown.count(w[i]) || i + 1 == w.size())) return false;
  std::u16string name = U16(w[1]);
  HANDLE half = nullptr;
  if (OpenPrinterW(&name[0], &half, nullptr)) DeletePrinter(half), ClosePrinter(half);
  winsim::SimPrinter printer = PrinterOn(name, w[0] == "printer" ? kProductDriver : u"Other printer", u"Orvandelle:");
  for (size_t i = 2; i + 1 < w.size(); i += w[i] == "settings" ? 1 : 2) {
    std::u16string value = U16(w[i + 1]);
    if (w[i] == "port") printer.portName = value;
    if (w[i] == "comment") printer.comment = value;
    if (w[i] == "location") printer.location = value;
    if (w[i] == "share") printer.shareName = value;
    if (w[i] == "shared" && w[i + 1] == "yes") printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
    if (w[i] == "jobs") printer.jobs = Num(w[i + 1]);
    if (w[i] == "key" || w[i] == "dsuser")
      printer.data.push_back({w[i] == "key" ? winsim::kPlainPrinterDataKey : "DsUser", "SubKey", REG_SZ, Sz(w[i + 1])});
  }
  winsim::AddSimPrinter(printer);
  return true;
}

// The actions of one fixed shape, by their word and count of words.
const std::map<std::pair<std::string, size_t>, void (*)(const Words&)> kSimple = {
    {{"help-window", 1}, [](const Words&) { winsim::OpenHelpWindow(); }},
    // A help window that ignores every request to close.
    {{"stuck-help-window", 1}, [](const Words&) { winsim::OpenHelpWindow(false); }},
    // The tray program running with its Run value, deaf to every request to quit; with its
    // mutex but no window.
    {{"deaf-tray", 1}, [](const Words&) { DeafTray(true); }},
    {{"windowless-tray", 1}, [](const Words&) { DeafTray(false); }},
    // The disk holds only this many more bytes.
    {{"disk-free", 2}, [](const Words& w) { winsim::SetFreeDiskSpace(Num(w[1])); }},
    // Every opening of a file takes this long, as on a busy network share.
    {{"slow-open", 2}, [](const Words& w) { winsim::SetCreateFileDuration(Num(w[1])); }},
    // The tick count (milliseconds since the start, a DWORD that wraps) set to this.
    {{"clock", 2}, [](const Words& w) { winsim::SetTick(Num(w[1])); }},
    // The log-on session the installer runs in.
    {{"session", 2}, [](const Words& w) { sim.session = Num(w[1]); }},
    // The tray program of a standard user, running in session 1 with its Run value.
    {{"tray-of", 2}, [](const Words& w) { TrayOf(1, w[1]); }},
    // The installer is run by a deployment tool: as SYSTEM, in session 0.
    {{"system", 1}, [](const Words&) { sim.session = 0, sim.account = u"SYSTEM"; }},
    // Nobody is logged on in the session any more.
    {{"logoff", 2}, [](const Words& w) { winsim::SetSessionUser(Num(w[1]), u""); }},
    // The product's machine-wide key refuses the record's.
    {{"record", 2}, [](const Words&) { winsim::DenyKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane\\Orvandelle"); }},
};

// "host event error|info|none": the event the run wrote to the event log. "host events N": how
// many it wrote. "host calls NAME N [ARGS]": how often the run made a platform call (with these
// first arguments, separated by spaces). "host service NAME running|stopped|...": the state of a
// service now.
Words Host(const Words& w) {
  if (w[1] == "service" && w.size() == 4) {
    static const char* const kStates[] = {"none", "stopped", "start-pending", "stop-pending", "running"};
    DWORD state = winsim::ServiceState(U16(w[2]));
    return {"service", w[2], state <= SERVICE_RUNNING ? kStates[state] : std::to_string(state)};
  }
  const auto& events = winsim::LoggedEvents();
  if (w[1] == "events") return {"events", std::to_string(events.size() - sim.eventsBefore)};
  if (w[1] == "event" && events.size() == sim.eventsBefore) return {"event", "none"};
  if (w[1] == "event") return {"event", events.back().type == EVENTLOG_ERROR_TYPE ? "error" : "info"};
  size_t count = 0;
  for (const auto& call : CallsOf(w[2])) {
    std::string args;
    for (const std::string& arg : call.args) args += (args.empty() ? "" : " ") + arg;
    count += w.size() < 5 || Lower(args + " ").compare(0, w[4].size() + 1, Lower(w[4] + " ")) == 0;
  }
  Words seen = {w[1], w[2], std::to_string(count)};
  if (w.size() == 5) seen.push_back(w[4]);
  return seen;
}

// The calls a command makes before it knows whether it may run: the DLL search limit of its
// start, its command line and parent window, and the lock itself.
const std::set<std::string> kLockCalls = {"LimitDllSearchToSystemDirectory", "GetCommandLineW", "CommandLineToArgvW",
                                          "IsWindow", "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                                          "CreateMutexA", "OpenMutexA", "GetSecurityInfo", "IsWellKnownSid",
                                          "WaitForSingleObject"};
// What a run may still do once it has given the lock back: show its log, or write it unseen.
const std::set<std::string> kAfterLockCalls = {
    "ReleaseMutex", "CloseHandle", "GetProcessWindowStation", "GetUserObjectInformationW", "GetAsyncKeyState",
    "DialogBoxParamW", "SetDlgItemTextW", "SetWindowTextW", "EndDialog", "FormatMessageW", "RegisterEventSourceW",
    "ReportEventW", "DeregisterEventSource", "GetCurrentProcessId", "ProcessIdToSessionId"};
// The calls that look at or change the machine.
const char* const kWorkCalls[] = {"FindWindowW", "PostMessageW", "OpenSCManagerW", "EnumPrintersW", "OpenPrinterW",
                                  "RegOpenKeyExA", "CreateFileW", "DeleteFileW", "MoveFileExW", "GetModuleFileNameW",
                                  "SpoolerSetDefaultPrinterW"};

// "lock waited MS": the run's length on the clock. "lock first-work MS [NAME]": the first call
// past the lock came MS after the start or later (and was NAME). "lock untouched": no call looked
// at the machine. "lock held-to-end": after giving the lock back the run only closed its handle
// and showed or wrote its log, so that a log window left open keeps no other run waiting.
// "lock waits-only": the lock of a SYSTEM run was opened for waiting and reading its owner
// alone, as a global name.
Words Lock(const Words& w) {
  static const std::set<std::string> kKinds = {"waited", "first-work", "untouched", "held-to-end", "waits-only"};
  if (!kKinds.count(w[1])) return {"no such lock check"};
  const auto& calls = sim.calls;
  Words seen = {w[1]};
  if (w[1] == "waited") seen.push_back(std::to_string(sim.ended - sim.started));
  if (w[1] == "first-work" && w.size() >= 3) {
    auto first = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return !kLockCalls.count(c.name); });
    if (first == calls.end()) return {"no call past the lock"};
    seen.push_back(first->tick >= sim.started + Num(w[2]) ? w[2] : std::to_string(first->tick - sim.started));
    if (w.size() == 4) seen.push_back(first->name);
  }
  for (const char* name : kWorkCalls)
    if (w[1] == "untouched" && !CallsOf(name).empty()) seen.push_back(std::string("but ") + name);
  if (w[1] == "held-to-end") {
    auto release = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.name == "ReleaseMutex"; });
    std::string but;
    for (auto c = calls.begin(); c != release; ++c)
      if (c->name == "DialogBoxParamW" || c->name == "ReportEventW") but += " " + c->name + " before it";
    for (auto c = release; c != calls.end(); ++c)
      if (!kAfterLockCalls.count(c->name) || (c == release + 1 && c->name != "CloseHandle")) but += " " + c->name;
    if (release == calls.end() || !but.empty()) seen.push_back("but" + but);
  }
  auto opens = CallsOf("OpenMutexA");
  bool waitsOnly = opens.size() == 1 && opens[0].args[0] + " " + opens[0].args[2].substr(0, 7) == "0x120000 Global\\";
  if (w[1] == "waits-only" && !waitsOnly) seen.push_back(std::to_string(opens.size()) + " opens");
  return seen;
}

// "tray-start none" or "tray-start session N as ACCOUNT in DIRECTORY on DESKTOP": how the last
// run started the tray program.
Words TrayStart() {
  const winsim::ProcessStart* last = LastTrayStart(sim.startsBefore);
  if (last == nullptr) return {};
  return {"session", std::to_string(last->session), "as", U8(last->account), "in", U8(last->currentDirectory),
          "on", U8(last->desktop)};
}

}  // namespace

void Fail(const std::string& what) { ADD_FAILURE() << what; }

std::string ComponentBytes(const std::string& name, int build) {
  if (name == "zelhelp.chm") return "ITSF help";
  if (name == "orvtray.exe") return "MZ orvtray";
  return build == kNoBuild ? "MZ " + name + " " : ComponentContents(U16(name), static_cast<WORD>(build));
}

bool PlaceInstaller(int) { return winsim::PutFile(std::u16string(kModuleDir) + u"orvinst.exe", "MZ orvinst"), true; }

std::string UserHive() { return U8(winsim::SidOf(u"admin")); }

// How the next run starts; what a run is set back to after it.
void SetRun(bool shift, bool visible, DWORD session, const std::u16string& account) {
  winsim::SetShiftHeld(shift);
  winsim::SetWindowStationVisible(visible);
  winsim::SetInstallerSession(session);
  winsim::SetInstallerAccount(account);
}

// Two runs started together: the command lock lets them finish one after the other, so the
// simulated machine plays them so.
std::vector<RunSeen> RunInstaller(const RunAsked& asked) {
  sim.eventsBefore = winsim::LoggedEvents().size();
  sim.started = winsim::Now();
  sim.startsBefore = winsim::ProcessStarts().size();
  winsim::ClearCalls();
  // A count of -1 refuses every call; strtol, unlike stoi, cannot throw on a malformed row.
  for (const Words& f : sim.faults)
    winsim::FailNext(f[1], int(std::strtol(f[2].c_str(), nullptr, 10)), Num(f[3]),
                     f.size() == 6 ? int(std::strtol(f[5].c_str(), nullptr, 10)) : 0);
  sim.faults.clear();
  SetRun(asked.shift, !asked.unseen, sim.session, sim.account);
  std::vector<RunSeen> runs;
  if (!asked.killed.empty() && !ArmKill(asked.killed)) return runs;
  for (const std::string& word : asked.words) {
    size_t dialogs = winsim::Dialogs().size(), events = winsim::LoggedEvents().size();
    runs.push_back(Seen(RunInstallerThatMayDie(U16(word)), dialogs, events));
  }
  sim.calls = winsim::Calls();
  sim.ended = winsim::Now();
  winsim::DieWhen(nullptr);
  winsim::ClearFaults();
  SetRun(false, true, 1, u"admin");
  return runs;
}

bool Restart() { return winsim::RestartMachine(), true; }
bool Hold(const std::string& path) { return winsim::HoldFile(U16(path), kOtherProgram), true; }

// A mutex of the user's default security (closed to administrators), one opened to everyone,
// or an event.
bool Squat(const std::string& kind) {
  if (kind != "user-mutex" && kind != "open-user-mutex" && kind != "event") return false;
  winsim::MutexHolderSpec squatter;
  squatter.name = kCommandMutexName;
  squatter.account = u"user";
  squatter.everyoneMayUse = kind == "open-user-mutex";
  squatter.event = kind == "event";
  sim.squatter = winsim::StartMutexHolder(squatter);
  return true;
}

void Release() {
  winsim::ReleaseFiles(kOtherProgram);
  if (sim.squatter != 0) winsim::EndProcess(sim.squatter);
  sim.squatter = 0;
}

bool StartTray() { return winsim::StartTray(TrayIn(1, "admin")), true; }

// A tray runs in any session, and the one the installer started last (if it started one) is it.
bool TrayRunning() {
  const winsim::ProcessStart* last = LastTrayStart(0);
  return !winsim::RunningTrays().empty() && (last == nullptr || winsim::ProcessRunning(last->process));
}

// "fail CALL COUNT ERROR [skip N]": the platform refuses in the next run, as a scanner or a
// policy would.
bool MachineAction(const Words& w) {
  auto simple = kSimple.find({w[0], w.size()});
  if (simple != kSimple.end() && (w[0] != "record" || w[1] == "denied")) return simple->second(w), true;
  if (w[0] == "fail" && (w.size() == 4 || (w.size() == 6 && w[4] == "skip"))) return sim.faults.push_back(w), true;
  if (w[0] == "another-run") return AnotherRun(w);
  if (w[0] == "spooler") return Spooler(w);
  if (w[0] == "connection") return Connection(w);
  return (w[0] == "logon" && Logon(w)) || Forced(w);
}

bool MachineCheck(const Words& w, Words& seen) {
  if (w[0] != "host" && w[0] != "lock" && w[0] != "tray-start") return false;
  return seen = w[0] == "host" ? Host(w) : w[0] == "lock" ? Lock(w) : TrayStart(), true;
}

bool PlaysCheck(const std::string&) { return true; }

namespace {

struct ScenarioTest : ProductMachineTest {
  explicit ScenarioTest(const Scenario& played) : scenario(played) {}
  void TestBody() override {
    sim = Machine();
    winsim::SetSystemDirectory(u"C:\\windows\\system32");
    winsim::SetDriverDirectory(u"C:\\windows\\system32\\spool\\drivers\\x64");
    winsim::LaunchTrayOnStart(TrayIn(1, "admin"));
    PlayScenario(scenario);
    EXPECT_FALSE(winsim::MutexOwnedByInstaller(kCommandMutexName)) << "no command keeps the lock";
  }
  const Scenario& scenario;
};

const bool kRegistered = [] {
  static const std::vector<Scenario> table = ReadTable(SCENARIO_DIR);
  for (const auto& scenario : table) {
    if (scenario.only == "wine") continue;
    ::testing::RegisterTest("Scenario", scenario.name.c_str(), nullptr, nullptr, scenario.file.c_str(), scenario.line,
                            [&scenario]() -> ProductMachineTest* { return new ScenarioTest(scenario); });
  }
  return true;
}();

}  // namespace
}  // namespace scenario
