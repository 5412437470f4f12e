// Plays the scenario table on the simulated machine, one test per scenario, under the same
// leak, handle and spooler checks as every whole-command test.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "app/command_lock.h"
#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

// The scenario table: plain text files (tests/scenarios/*.txt), one scenario after another.
//
//   scenario NAME                      at the left margin
//     about ONE LINE                   what the scenario shows
//     only host: REASON                (or "only wine:") a scenario one machine cannot play
//     ACTION ...                       two spaces in: the machine as it starts, or a step
//       CHECK ...                      deeper: what must hold after the action above it
//         | TEXT                       deeper still: one line of a whole expected log
//
// Words are separated by spaces; "..." keeps spaces; '#' outside quotes starts a comment.

using Words = std::vector<std::string>;
struct Check {
  int line;
  Words words;
  std::vector<std::string> block;  // the "| TEXT" lines under it
};
struct Action {
  int line;
  Words words;
  std::vector<Check> checks;
};
struct Scenario {
  std::string name, file, only, error;  // only: "", "host" or "wine"; error: "FILE:LINE: what"
  int line = 0;
  std::vector<Action> actions;
};

bool Split(const std::string& text, Words& words) {
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      i++;
      continue;
    }
    if (text[i] == '#') break;
    size_t quoted = text[i] == '"' ? 1 : 0;
    size_t end = text.find(quoted ? '"' : ' ', i + 1);
    if (end == std::string::npos && quoted) return false;
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(i + quoted, end - i - quoted));
    i = end + quoted;
  }
  return true;
}

// A malformed line marks the scenario it is in (or, before the first, one named after the file)
// so that its test fails naming the place.
void ReadScenarioFile(const std::string& file, std::vector<Scenario>& all) {
  std::ifstream in(file);
  size_t first = all.size();
  int number = 0;
  auto fail = [&](const std::string& what) {
    if (all.size() == first) all.push_back(Scenario{std::filesystem::path(file).stem().string() + "_table", file, "", "", 0, {}});
    if (all.back().error.empty()) all.back().error = file + ":" + std::to_string(number) + ": " + what;
  };
  for (std::string text; std::getline(in, text);) {
    number++;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    size_t indent = text.find_first_not_of(' ');
    if (indent == std::string::npos || text[indent] == '#') continue;
    std::string body = text.substr(indent);
    Words w;
    if (indent == 0) {
      if (Split(body, w) && w.size() == 2 && w[0] == "scenario") all.push_back(Scenario{w[1], file, "", "", number, {}});
      else fail("expected \"scenario NAME\" at the margin");
    } else if (all.size() == first) {
      fail("a line before the first scenario");
    } else if (body[0] == '|') {
      auto& actions = all.back().actions;
      if (actions.empty() || actions.back().checks.empty()) fail("a log line outside a check");
      else actions.back().checks.back().block.push_back(body.substr(std::min<size_t>(2, body.size())));
    } else if (!Split(body, w)) {
      fail("unclosed quote");
    } else if (w.empty() || (indent == 2 && w[0] == "about")) {
      // a comment or the scenario's description: nothing to play
    } else if (indent == 2 && w[0] == "only") {
      if (w.size() >= 3 && (w[1] == "host:" || w[1] == "wine:")) all.back().only = w[1].substr(0, 4);
      else fail("\"only\" wants \"host:\" or \"wine:\" and a reason");
    } else if (indent == 2) {
      all.back().actions.push_back(Action{number, w, {}});
    } else if (!all.back().actions.empty()) {
      all.back().actions.back().checks.push_back(Check{number, w, {}});
    } else {
      fail("a check before any action");
    }
  }
}

std::vector<Scenario> ReadTable(const std::string& directory) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<Scenario> all;
  for (const std::string& file : files) ReadScenarioFile(file, all);
  return all;
}

const char16_t kSystem[] = u"C:\\windows\\system32\\";
const char16_t kDrivers[] = u"C:\\windows\\system32\\spool\\drivers\\x64\\";
const char16_t kSettingsRoot[] = u"Software\\Corvane\\Orvandelle\\Orvandelles\\";
const char16_t kOtherDriver[] = u"Other printer";
const char16_t kPort[] = u"Orvandelle:";
const int kOtherProgram = 7;  // keeps the files it holds loaded
const int kNoBuild = -1;      // a component without a version resource

std::u16string U16(const std::string& text) { return winsim::Utf16(text); }

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The words after a check's name; "none" for no words.
Words Listed(const Words& w, bool sorted = false) {
  Words listed(w.begin() + 1, w.end());
  if (listed == Words{"none"}) listed.clear();
  if (sorted) std::sort(listed.begin(), listed.end());
  return listed;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "\"" : " \"") + item + "\"";
  return text.empty() ? "none" : text;
}

// A log line as the table gives it: whole, or its beginning when it ends in "...".
bool Matches(const std::string& line, const std::string& pattern) {
  if (pattern.size() >= 3 && pattern.compare(pattern.size() - 3, 3, "...") == 0)
    return line.compare(0, pattern.size() - 3, pattern, 0, pattern.size() - 3) == 0;
  return line == pattern;
}

bool ParseBuild(const std::string& word, int& build) {
  if (word == "none") return build = kNoBuild, true;
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  build = std::stoi(word);
  return true;
}

// A component as a product of `build` ships it.
std::string Component(const std::u16string& name, int build) {
  if (name == u"zelhelp.chm") return "ITSF help";
  return build == kNoBuild ? "MZ " + winsim::Utf8(name) + " " : ComponentContents(name, static_cast<WORD>(build));
}

// Named options after the leading words: "comment X location Y key K dsuser K settings".
struct Options {
  std::map<std::string, std::string> values;
  bool Read(const Words& words, size_t from, const std::vector<std::string>& valued,
            const std::vector<std::string>& flags) {
    for (size_t i = from; i < words.size(); i++) {
      if (std::find(flags.begin(), flags.end(), words[i]) != flags.end()) {
        values[words[i]] = "";
      } else if (std::find(valued.begin(), valued.end(), words[i]) != valued.end() && i + 1 < words.size()) {
        values[words[i]] = words[i + 1];
        i++;
      } else {
        return false;
      }
    }
    return true;
  }
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Get(const std::string& name) const { return Has(name) ? values.at(name) : ""; }
};

struct Printer {
  std::string name, port, driver, comment, location, key, dsuser;
  bool operator==(const Printer& o) const {
    return name == o.name && port == o.port && driver == o.driver && comment == o.comment && location == o.location;
  }
};

std::string KeyOf(const std::u16string& printer, const std::string& dataKey) {
  auto value = winsim::SimPrinterValueOf(printer, dataKey, "SubKey");
  if (!value) return "none";
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

std::vector<Printer> Printers(bool product) {
  std::vector<Printer> found;
  for (const auto& p : winsim::SimPrinters()) {
    if ((p.driverName == kProductDriver) != product) continue;
    found.push_back(Printer{winsim::Utf8(p.name), winsim::Utf8(p.portName), winsim::Utf8(p.driverName),
                            winsim::Utf8(p.comment), winsim::Utf8(p.location),
                            KeyOf(p.name, winsim::kPlainPrinterDataKey), KeyOf(p.name, "DsUser")});
  }
  std::sort(found.begin(), found.end(), [](const Printer& a, const Printer& b) { return a.name < b.name; });
  return found;
}

std::vector<std::string> Names(const std::vector<Printer>& printers) {
  std::vector<std::string> names;
  for (const Printer& p : printers) names.push_back(p.name);
  return names;
}

// A scenario being played: where it stands, and what the last step saw.
struct Play {
  explicit Play(const Scenario& played) : scenario(played) {}
  const Scenario& scenario;
  int line = 0;
  std::vector<int32_t> exits;
  size_t dialogsBefore = 0, eventsBefore = 0;
  DWORD started = 0;    // the clock as the last step began
  int otherRun = 0;     // another run of the installer holding the command lock
  std::vector<Printer> othersBefore;
  bool otherDriver = false;
  std::vector<std::string> settingsKeys;  // marked "deleted" as the scenario began

  std::string Where() const { return scenario.file + ":" + std::to_string(line) + ": "; }
  void Malformed(const Words& words) {
    ADD_FAILURE() << Where() << "malformed line: \"" << words[0] << "\" with " << words.size() - 1 << " words";
  }
  template <typename T, typename U>
  void Expect(const T& actual, const U& expected, const std::string& what) {
    EXPECT_EQ(actual, expected) << Where() << what;
  }
};

// --- the machine as a scenario describes it ---------------------------------------------------

bool Layout(Play&, const Words& w) {
  int build = 2547;
  size_t i = 1;
  if (i < w.size() && w[i] != "missing" && !ParseBuild(w[i++], build)) return false;
  PutInstallerFiles(static_cast<WORD>(build == kNoBuild ? 0 : build));
  for (const char16_t* name : {u"zelmon64.dll", u"zeldrv64.dll", u"zelui64.dll"})
    winsim::PutFile(std::u16string(kModuleDir) + name, Component(name, build));
  if (i < w.size() && w[i++] != "missing") return false;
  for (; i < w.size(); i++)
    winsim::RemoveFile(w[i] == "orvtray.exe" ? std::u16string(kTrayPath) : kModuleDir + U16(w[i]));
  return true;
}

bool Installed(Play&, const Words& w) {
  Options o;
  int monitor = 2547, driver = 2547;
  if (!o.Read(w, 1, {"monitor", "driver", "monitor-dll"}, {})) return false;
  std::u16string dll = o.Has("monitor-dll") ? U16(o.Get("monitor-dll")) : u"zelmon64.dll";
  if ((o.Has("monitor") && !ParseBuild(o.Get("monitor"), monitor)) ||
      (o.Has("driver") && !ParseBuild(o.Get("driver"), driver)))
    return false;
  winsim::PutFile(kSystem + dll, Component(u"zelmon64.dll", monitor));
  winsim::AddSimMonitor(winsim::SimMonitor{kPort, u"Windows x64", dll, {kPort}});
  std::u16string dir = std::u16string(kDrivers) + u"3\\";
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
    winsim::PutFile(dir + name, Component(name, driver));
  winsim::SimDriver d;
  d.name = kProductDriver;
  d.driverPath = d.dataFile = dir + u"zeldrv64.dll";
  d.configFile = dir + u"zelui64.dll";
  d.helpFile = dir + u"zelhelp.chm";
  winsim::AddSimDriver(d);
  return true;
}

void MarkSettings(Play& play, const std::string& key) {
  if (std::find(play.settingsKeys.begin(), play.settingsKeys.end(), key) == play.settingsKeys.end())
    play.settingsKeys.push_back(key);
  winsim::PutString(HKEY_CURRENT_USER, kSettingsRoot + U16(key), u"deleted", u"1");
}

void SetKey(winsim::SimPrinter& printer, const std::string& dataKey, const std::string& key) {
  std::vector<BYTE> data(key.begin(), key.end());
  data.push_back(0);
  printer.data.push_back({dataKey, "SubKey", REG_SZ, data});
}

bool ProductPrinter(Play& play, const Words& w) {
  Options o;
  if (w.size() < 2 || !o.Read(w, 2, {"comment", "location", "key", "dsuser"}, {"settings"})) return false;
  winsim::SimPrinter printer = PrinterOn(U16(w[1]), kProductDriver, kPort);
  printer.comment = U16(o.Get("comment"));
  printer.location = U16(o.Get("location"));
  if (o.Has("key")) SetKey(printer, winsim::kPlainPrinterDataKey, o.Get("key"));
  if (o.Has("dsuser")) SetKey(printer, "DsUser", o.Get("dsuser"));
  winsim::AddSimPrinter(printer);
  if (o.Has("settings"))
    for (const char* field : {"key", "dsuser"})
      if (o.Has(field)) MarkSettings(play, o.Get(field));
  return true;
}

bool OtherPrinter(Play& play, const Words& w) {
  Options o;
  if (w.size() < 2 || !o.Read(w, 2, {"port", "comment", "location"}, {}) || !o.Has("port")) return false;
  if (!play.otherDriver) {
    winsim::SimDriver other;
    other.name = kOtherDriver;
    winsim::AddSimDriver(other);
    play.otherDriver = true;
  }
  winsim::SimPrinter printer = PrinterOn(U16(w[1]), kOtherDriver, U16(o.Get("port")));
  printer.comment = U16(o.Get("comment"));
  printer.location = U16(o.Get("location"));
  winsim::AddSimPrinter(printer);
  return true;
}

// "many N": N product printers carried by every install, "Orvandelle 001" the first, each with
// its own comment, location and settings key, the 107th the default.
std::string Numbered(int i) {
  std::string n = std::to_string(i);
  return std::string(3 - std::min<size_t>(3, n.size()), '0') + n;
}

bool Many(Play& play, const Words& w) {
  if (w.size() != 2 || w[1].find_first_not_of("0123456789") != std::string::npos) return false;
  for (int i = 1; i <= std::stoi(w[1]); i++) {
    std::string key = "K-" + Numbered(i);
    Words printer = {"printer", "Orvandelle " + Numbered(i), "comment", "Desk " + Numbered(i), "location",
                     "Floor " + std::to_string(i % 5) + ", room " + Numbered(i), "key", key, "dsuser", key,
                     "settings"};
    ProductPrinter(play, printer);
  }
  winsim::SetSimDefaultPrinter(u"Orvandelle 107");
  return true;
}

// "another-run MS|forever [dies] [system] [leaves PRINTER]": another run of the installer holds
// the command lock for MS of the clock; it may die owning it, run as SYSTEM in session 0, or
// re-create one more product printer as it ends. "another-run ends": it ends now.
bool AnotherRun(Play& play, const Words& w) {
  if (w.size() == 2 && w[1] == "ends") return winsim::EndProcess(play.otherRun), true;
  Options o;
  if (w.size() < 2 || !o.Read(w, 2, {"leaves"}, {"dies", "system"})) return false;
  winsim::MutexHolderSpec other;
  other.name = kCommandMutexName;
  other.holdFor = w[1] == "forever" ? INFINITE : static_cast<DWORD>(std::stoul(w[1]));
  other.dies = o.Has("dies");
  other.session = o.Has("system") ? 0 : 1;
  other.othersMayOnlyWait = o.Has("system");
  if (o.Has("leaves")) {
    std::string name = o.Get("leaves");
    other.beforeLettingGo = [&play, name] { ProductPrinter(play, {"printer", name, "key", name, "dsuser", name}); };
  }
  play.otherRun = winsim::StartMutexHolder(other);
  return true;
}

// The actions of one fixed shape: their word alone, or with one argument.
struct SimpleAction {
  size_t words;
  void (*act)(const std::string& argument);
};
const std::map<std::string, SimpleAction> kSimpleActions = {
    {"default", {2, [](const std::string& name) { winsim::SetSimDefaultPrinter(U16(name)); }}},
    {"pending", {2, [](const std::string& path) { winsim::AppendPendingRename(NtPath(U16(path)), u""); }}},
    {"runvalue",
     {2, [](const std::string& path) {
        winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", U16(path));
      }}},
    {"hold", {2, [](const std::string& path) { winsim::HoldFile(U16(path), kOtherProgram); }}},
    {"release", {1, [](const std::string&) { winsim::ReleaseFiles(kOtherProgram); }}},
    {"restart", {1, [](const std::string&) { winsim::RestartMachine(); }}},
    {"help-window", {1, [](const std::string&) { winsim::OpenHelpWindow(); }}},
    // The log-on session the installer runs in.
    {"session", {2, [](const std::string& n) { winsim::SetInstallerSession(static_cast<DWORD>(std::stoul(n))); }}},
    // The tray program running with its Run value, as after an install.
    {"tray",
     {1, [](const std::string&) {
        winsim::StartTray(winsim::TraySpec{winsim::TrayAnswer::Quits, 300, true, kTrayPath});
        winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
      }}},
};

bool Copy(Play&, const Words& w) {
  int build = 0;
  if (w.size() != 4 || !ParseBuild(w[1], build)) return false;
  winsim::PutFile(U16(w[3]), Component(U16(w[2]), build));
  return true;
}

// "fail CALL COUNT ERROR [skip N]": the platform refuses in the next run, as a scanner or a
// policy would.
bool Fail(Play&, const Words& w) {
  if ((w.size() != 4 && w.size() != 6) || (w.size() == 6 && w[4] != "skip")) return false;
  winsim::FailNext(w[1], std::stoi(w[2]), static_cast<DWORD>(std::stoul(w[3])), w.size() == 6 ? std::stoi(w[5]) : 0);
  return true;
}

// "spooler holds-deleted-monitors | wine-driver-deletion | stopped | refuses-start ERROR | mended":
// how the print spooler service behaves from now on.
bool Spooler(Play&, const Words& w) {
  if (w.size() == 2 && w[1] == "holds-deleted-monitors") {
    winsim::KeepDeletedMonitorsLoaded(true);
  } else if (w.size() == 2 && w[1] == "wine-driver-deletion") {
    winsim::SetWineDriverDeletion(true);
  } else if (w.size() == 3 && w[1] == "refuses-start") {
    winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
    winsim::RefuseServiceStart(u"spooler", static_cast<DWORD>(std::stoul(w[2])));
  } else if (w.size() == 2 && w[1] == "stopped") {
    winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  } else if (w.size() == 2 && w[1] == "mended") {
    winsim::RefuseServiceStart(u"spooler", 0);
    winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
  } else {
    return false;
  }
  return true;
}

void BeforeRun(Play& play) {
  play.exits.clear();
  play.dialogsBefore = winsim::Dialogs().size();
  play.eventsBefore = winsim::LoggedEvents().size();
  play.othersBefore = Printers(false);
  play.started = winsim::Now();
  winsim::ClearCalls();
}

bool RunOne(Play& play, const Words& w) {
  std::u16string word;
  bool shift = false, unseen = false;
  for (size_t i = 1; i < w.size(); i++) {
    if (w[i] == "shift") shift = true;
    else if (w[i] == "unseen") unseen = true;
    else if (w[i] == "screenshot") continue;  // a picture only a real display can take
    else if (i == 1) word = U16(w[i]);
    else return false;
  }
  BeforeRun(play);
  winsim::SetShiftHeld(shift);
  winsim::SetWindowStationVisible(!unseen);
  play.exits.push_back(RunInstaller(word));
  winsim::ClearFaults();
  winsim::SetShiftHeld(false);
  winsim::SetWindowStationVisible(true);
  return true;
}

// Two runs started at once: the command lock lets one finish before the other begins, so the
// simulated machine plays them one after the other.
bool Together(Play& play, const Words& w) {
  if (w.size() != 3) return false;
  BeforeRun(play);
  for (size_t i = 1; i < 3; i++) play.exits.push_back(RunInstaller(U16(w[i])));
  winsim::ClearFaults();
  return true;
}

// --- what must hold ----------------------------------------------------------------------------

// The log of the last run: its log window, else the event it wrote unseen.
std::vector<std::string> RunLog(Play& play) {
  if (winsim::Dialogs().size() > play.dialogsBefore) return ShownLogLines();
  if (winsim::LoggedEvents().size() > play.eventsBefore)
    return SplitLines(winsim::Utf8(winsim::LoggedEvents().back().strings.at(0)));
  ADD_FAILURE() << play.Where() << "the run showed no log";
  return {};
}

std::vector<std::string> TrimmedLog(Play& play) {
  std::vector<std::string> lines = RunLog(play);
  for (std::string& line : lines) line = Trimmed(line);
  return lines;
}

bool CheckExit(Play& play, const Words& w) {
  std::vector<int32_t> expected;
  for (size_t i = 1; i < w.size(); i++) expected.push_back(std::stoi(w[i]));
  play.Expect(play.exits, expected, "exit codes");
  return w.size() > 1;
}

bool CheckWindow(Play& play, const Words& w) {
  if (w.size() != 2) return false;
  const auto& dialogs = winsim::Dialogs();
  std::string title = dialogs.size() > play.dialogsBefore ? winsim::Utf8(dialogs.back().title) : "none";
  if (w[1] == "error") play.Expect(title, "Orvandelle build 2547- Install error log!", "log window title");
  else if (w[1] == "plain") play.Expect(title, "Orvandelle build 2547- Install log.", "log window title");
  else if (w[1] == "none") play.Expect(title, "none", "log window");
  else return false;
  return true;
}

bool CheckLog(Play& play, const Words& w, bool present) {
  std::vector<std::string> lines = TrimmedLog(play);
  for (size_t i = 1; i < w.size(); i++) {
    bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Matches(l, w[i]); });
    EXPECT_EQ(found, present) << play.Where() << "log line \"" << w[i] << "\"";
  }
  return w.size() > 1;
}

bool CheckErrors(Play& play, const Words& w) {
  std::vector<std::string> errors;
  for (const std::string& line : TrimmedLog(play))
    if (line.find("Error(") != std::string::npos) errors.push_back(line);
  Words expected = Listed(w);
  bool same = errors.size() == expected.size();
  for (size_t i = 0; same && i < errors.size(); i++) same = Matches(errors[i], expected[i]);
  EXPECT_TRUE(same) << play.Where() << "error lines: got " << Joined(errors) << ", expected " << Joined(expected);
  return w.size() > 1;
}

bool CheckWholeLog(Play& play, const Check& check) {
  std::vector<std::string> log = RunLog(play);
  for (size_t i = 0; i < std::max(log.size(), check.block.size()); i++)
    EXPECT_EQ(i < log.size() ? log[i] : "(end)", i < check.block.size() ? check.block[i] : "(end)")
        << play.Where() << "line " << i + 1 << " of the whole log";
  return !check.block.empty();
}

bool CheckMonitor(Play& play, const Words& w) {
  int build = 0;
  if (w.size() != 2 || (w[1] != "none" && !ParseBuild(w[1], build))) return false;
  std::string dll = "none";
  for (const auto& monitor : winsim::SimMonitors())
    if (monitor.name == kPort) dll = winsim::Utf8(monitor.dllName);
  play.Expect(dll, w[1] == "none" ? "none" : "zelmon64.dll", "registered monitor DLL");
  if (w[1] != "none")
    play.Expect(winsim::FileContents(std::u16string(kSystem) + u"zelmon64.dll") == Component(u"zelmon64.dll", build),
                true, "the monitor file in the system directory is of build " + w[1]);
  return true;
}

bool CheckDriver(Play& play, const Words& w) {
  int build = 0;
  if (w.size() != 2 || (w[1] != "none" && !ParseBuild(w[1], build))) return false;
  std::vector<winsim::SimDriver> drivers;
  for (const auto& driver : winsim::SimDrivers())
    if (driver.name == kProductDriver) drivers.push_back(driver);
  play.Expect(drivers.size(), w[1] == "none" ? 0u : 1u, "product drivers");
  if (w[1] == "none" || drivers.empty()) return true;
  std::u16string dir = std::u16string(kDrivers) + u"3\\";
  play.Expect(Lower(winsim::Utf8(drivers[0].driverPath)), Lower(winsim::Utf8(dir + u"zeldrv64.dll")), "driver file");
  play.Expect(Lower(winsim::Utf8(drivers[0].configFile)), Lower(winsim::Utf8(dir + u"zelui64.dll")), "config file");
  play.Expect(Lower(winsim::Utf8(drivers[0].helpFile)), Lower(winsim::Utf8(dir + u"zelhelp.chm")), "help file");
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"}) {
    play.Expect(winsim::FileExists(kDrivers + std::u16string(name)), false, "staged " + winsim::Utf8(name) + " deleted");
    play.Expect(winsim::FileContents(dir + name) == Component(name, build), true, winsim::Utf8(name) + " of build " + w[1]);
  }
  return true;
}

bool CheckPrinters(Play& play, const Words& w) {
  play.Expect(Joined(Names(Printers(true))), Joined(Listed(w, true)), "product printers");
  return w.size() > 1;
}

bool CheckPrinter(Play& play, const Words& w) {
  Options o;
  if (w.size() < 2 || !o.Read(w, 2, {"comment", "location", "key"}, {})) return false;
  std::vector<Printer> all = Printers(true);
  auto p = std::find_if(all.begin(), all.end(), [&](const Printer& x) { return x.name == w[1]; });
  if (p == all.end()) return ADD_FAILURE() << play.Where() << "no product printer \"" << w[1] << "\"", true;
  play.Expect(p->port, "Orvandelle:", w[1] + ": port");
  if (o.Has("comment")) play.Expect(p->comment, o.Get("comment"), w[1] + ": comment");
  if (o.Has("location")) play.Expect(p->location, o.Get("location"), w[1] + ": location");
  if (o.Has("key")) play.Expect(p->key + " " + p->dsuser, o.Get("key") + " " + o.Get("key"), w[1] + ": settings keys");
  return true;
}

bool CheckOthers(Play& play, const Words& w) {
  if (w.size() != 2 || w[1] != "unchanged") return false;
  std::vector<Printer> now = Printers(false);
  play.Expect(now == play.othersBefore, true, "printers of other drivers unchanged (now " + Joined(Names(now)) + ")");
  return true;
}

bool CheckDefault(Play& play, const Words& w) {
  if (w.size() != 2) return false;
  std::string actual = winsim::Utf8(winsim::SimDefaultPrinter());
  play.Expect(actual.empty() ? "none" : actual, w[1], "default printer");
  return true;
}

bool CheckPending(Play& play, const Words& w) {
  std::vector<std::u16string> strings = PendingRenameStrings();
  std::vector<std::string> pairs;
  for (size_t i = 0; i + 1 < strings.size(); i += 2)
    pairs.push_back(Lower(winsim::Utf8(strings[i]) + (strings[i + 1].empty() ? "" : "=>" + winsim::Utf8(strings[i + 1]))));
  Words expected = Listed(w);
  for (std::string& pair : expected) pair = Lower(pair);
  play.Expect(Joined(pairs), Joined(expected), "pending renames");
  return w.size() > 1;
}

bool TrayRuns() {
  return winsim::MutexExists(winsim::kTrayMutexName) && !winsim::ProcessStarts().empty() &&
         winsim::ProcessRunning(winsim::ProcessStarts().back().process);
}

bool CheckTray(Play& play, const Words& w) {
  if (w.size() != 2) return false;
  if (w[1] == "running") {
    play.Expect(winsim::Utf8(TrayRunValue()), winsim::Utf8(kTrayPath), "Run value");
    play.Expect(TrayRuns(), true, "the tray program runs");
  } else if (w[1] == "removed") {
    play.Expect(winsim::Utf8(TrayRunValue()), "(none)", "Run value");
    play.Expect(winsim::MutexExists(winsim::kTrayMutexName), false, "the tray program has quit");
    play.Expect(winsim::FileExists(kTrayPath), false, "the tray program's file is deleted");
  } else {
    return false;
  }
  return true;
}

bool CheckMarked(Play& play, const Words& w) {
  std::vector<std::string> marked;
  for (const std::string& key : play.settingsKeys)
    if (winsim::ReadValue(HKEY_CURRENT_USER, kSettingsRoot + U16(key), u"deleted")) marked.push_back(key);
  std::sort(marked.begin(), marked.end());
  play.Expect(Joined(marked), Joined(Listed(w, true)), "settings keys still marked deleted");
  return w.size() > 1;
}

bool CheckFile(Play& play, const Words& w) {
  if (w.size() != 3 || (w[2] != "absent" && w[2] != "present")) return false;
  play.Expect(winsim::FileExists(U16(w[1])) ? "present" : "absent", w[2], w[1]);
  return true;
}

// "many carried": every printer of "many N" is still there with its fields, and no other.
bool CheckMany(Play& play, const Words& w) {
  if (w.size() != 3 || w[1] != "carried") return false;
  std::vector<Printer> all = Printers(true);
  play.Expect(all.size(), static_cast<size_t>(std::stoi(w[2])), "product printers");
  for (size_t i = 0; i < all.size(); i++) {
    std::string n = Numbered(static_cast<int>(i) + 1), key = "K-" + n;
    Printer expected{"Orvandelle " + n, "Orvandelle:", "Orvandelle printer", "Desk " + n,
                     "Floor " + std::to_string((i + 1) % 5) + ", room " + n, key, key};
    EXPECT_TRUE(all[i] == expected && all[i].key == key && all[i].dsuser == key) << play.Where() << all[i].name;
  }
  play.Expect(winsim::Utf8(winsim::SimDefaultPrinter()), "Orvandelle 107", "default printer");
  return true;
}

// "host event error|info": the kind of the event the run wrote to the event log.
// "host calls NAME N [FIRST]": how often the run made a platform call (with that first argument).
bool CheckHost(Play& play, const Words& w) {
  if (w.size() == 3 && w[1] == "event") {
    const auto& events = winsim::LoggedEvents();
    std::string type = events.size() == play.eventsBefore ? "none"
                       : events.back().type == EVENTLOG_ERROR_TYPE ? "error" : "info";
    play.Expect(type, w[2], "event logged");
    return true;
  }
  if ((w.size() == 4 || w.size() == 5) && w[1] == "calls") {
    size_t count = 0;
    for (const auto& call : winsim::CallsOf(w[2]))
      count += w.size() == 4 || (!call.args.empty() && Lower(call.args[0]) == Lower(w[4]));
    play.Expect(count, static_cast<size_t>(std::stoul(w[3])), "calls of " + w[2]);
    return true;
  }
  return false;
}

// The calls a command makes before it knows whether it may run: the DLL search limit of its
// start, its command line and parent window, and the lock itself.
const std::set<std::string> kLockCalls = {"LimitDllSearchToSystemDirectory", "GetCommandLineW", "CommandLineToArgvW",
                                          "IsWindow", "CreateMutexA", "OpenMutexA", "WaitForSingleObject"};
// The calls that look at or change the machine.
const char* const kWorkCalls[] = {"FindWindowW", "PostMessageW", "OpenSCManagerW", "EnumPrintersW", "OpenPrinterW",
                                  "RegOpenKeyExA", "CreateFileW", "DeleteFileW", "MoveFileExW", "GetModuleFileNameW",
                                  "SpoolerSetDefaultPrinterW"};

// "lock waited MS": the run's length on the clock. "lock first-work MS [NAME]": the first call
// past the lock came MS after the start (and was NAME). "lock untouched": no call looked at the
// machine. "lock held-to-end": after giving the lock back the run only closed its handle.
// "lock waits-only": the lock of a SYSTEM run was opened for waiting alone, as a global name.
bool CheckLock(Play& play, const Words& w) {
  const auto& calls = winsim::Calls();
  if (w.size() == 3 && w[1] == "waited") {
    play.Expect(winsim::Now() - play.started, static_cast<DWORD>(std::stoul(w[2])), "time the run took");
  } else if ((w.size() == 3 || w.size() == 4) && w[1] == "first-work") {
    auto first = std::find_if(calls.begin(), calls.end(), [](const winsim::Call& c) { return !kLockCalls.count(c.name); });
    if (first == calls.end()) return ADD_FAILURE() << play.Where() << "no call past the lock", true;
    EXPECT_GE(first->tick, play.started + std::stoul(w[2])) << play.Where() << first->name << " came too early";
    if (w.size() == 4) play.Expect(first->name, w[3], "the first call past the lock");
  } else if (w.size() == 2 && w[1] == "untouched") {
    for (const char* name : kWorkCalls) play.Expect(winsim::CountCalls(name), 0u, std::string("calls of ") + name);
  } else if (w.size() == 2 && w[1] == "held-to-end") {
    auto release = std::find_if(calls.begin(), calls.end(), [](const winsim::Call& c) { return c.name == "ReleaseMutex"; });
    std::vector<std::string> after;
    for (auto c = release; c != calls.end(); ++c) after.push_back(c->name);
    play.Expect(Joined(after), Joined({"ReleaseMutex", "CloseHandle"}), "calls from the lock's release on");
  } else if (w.size() == 2 && w[1] == "waits-only") {
    auto opens = winsim::CallsOf("OpenMutexA");
    play.Expect(opens.size(), 1u, "OpenMutexA calls");
    if (!opens.empty()) play.Expect(opens[0].args[0] + " " + opens[0].args[2].substr(0, 7), "0x100000 Global\\", "access and name");
  } else {
    return false;
  }
  return true;
}

// "product gone-or-fresh": two runs started together ended one after the other: the machine is
// either uninstalled or as an install leaves an empty machine, never a mixture.
bool CheckOutcome(Play& play, const Words& w) {
  if (w.size() != 2 || w[1] != "gone-or-fresh") return false;
  bool gone = Printers(true).empty() && !OwnMonitorRegistered();
  if (gone) return CheckDriver(play, {"driver", "none"}) && CheckTray(play, {"tray", "removed"});
  return CheckMonitor(play, {"monitor", "2547"}) && CheckPrinters(play, {"printers", "Orvandelle"});
}

using ActionFn = bool (*)(Play&, const Words&);
const std::map<std::string, ActionFn> kActions = {
    {"product", Layout}, {"installed", Installed}, {"printer", ProductPrinter}, {"other", OtherPrinter},
    {"many", Many},      {"another-run", AnotherRun}, {"copy", Copy},         {"fail", Fail},
    {"spooler", Spooler}, {"run", RunOne},           {"together", Together},
};

const std::map<std::string, ActionFn> kChecks = {
    {"exit", CheckExit},       {"window", CheckWindow},   {"errors", CheckErrors},   {"monitor", CheckMonitor},
    {"driver", CheckDriver},   {"printers", CheckPrinters}, {"printer", CheckPrinter}, {"others", CheckOthers},
    {"default", CheckDefault}, {"pending", CheckPending}, {"tray", CheckTray},       {"marked", CheckMarked},
    {"file", CheckFile},       {"many", CheckMany},       {"host", CheckHost},       {"product", CheckOutcome},   {"lock", CheckLock},
};

bool RunCheck(Play& play, const Check& check) {
  const Words& w = check.words;
  if (w[0] == "log") return CheckLog(play, w, true);
  if (w[0] == "nolog") return CheckLog(play, w, false);
  if (w[0] == "whole-log") return CheckWholeLog(play, check);
  auto found = kChecks.find(w[0]);
  return found != kChecks.end() && found->second(play, w);
}

class ScenarioTest : public ProductMachineTest {
 public:
  explicit ScenarioTest(const Scenario& scenario) : scenario_(scenario) {}

  void TestBody() override {
    ASSERT_TRUE(scenario_.error.empty()) << scenario_.error;
    winsim::SetSystemDirectory(u"C:\\windows\\system32");
    winsim::SetDriverDirectory(u"C:\\windows\\system32\\spool\\drivers\\x64");
    winsim::LaunchTrayOnStart(winsim::TraySpec{winsim::TrayAnswer::Quits, 300, true, kTrayPath});
    Play play(scenario_);
    for (const auto& action : scenario_.actions) {
      play.line = action.line;
      const Words& w = action.words;
      auto simple = kSimpleActions.find(w[0]);
      auto found = kActions.find(w[0]);
      if (simple != kSimpleActions.end() && simple->second.words == w.size()) {
        simple->second.act(w.back());
      } else if (found == kActions.end() || !found->second(play, w)) {
        return play.Malformed(w);
      }
      for (const auto& check : action.checks) {
        play.line = check.line;
        if (!RunCheck(play, check)) return play.Malformed(check.words);
      }
    }
    EXPECT_FALSE(winsim::MutexOwnedByInstaller(kCommandMutexName)) << "no command keeps the lock";
  }

 private:
  const Scenario& scenario_;
};

const std::vector<Scenario>& Table() {
  static const std::vector<Scenario> table = ReadTable(SCENARIO_DIR);
  return table;
}

const bool kRegistered = [] {
  for (const auto& scenario : Table()) {
    if (scenario.only == "wine") continue;
    ::testing::RegisterTest("Scenario", scenario.name.c_str(), nullptr, nullptr, scenario.file.c_str(), scenario.line,
                            [&scenario]() -> ProductMachineTest* { return new ScenarioTest(scenario); });
  }
  return true;
}();

}  // namespace
