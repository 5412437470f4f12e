// Plays the scenario table on the simulated machine, one test per scenario, under the same
// leak, handle and spooler checks as every whole-command test.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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
// A check names what it looks at and then how it must be, in the words the table describes the
// machine with ("none" for nothing): "printers A B", "tray running", "file PATH absent".

using Words = std::vector<std::string>;
struct Step {
  int line;
  Words words;
  std::vector<Step> checks;      // under an action: what must hold after it
  std::vector<std::string> log;  // under a check: the "| TEXT" lines of a whole log
};
struct Scenario {
  std::string name, file, only, error;  // only: "", "host" or "wine"; error: "FILE:LINE: what"
  int line = 0;
  std::vector<Step> steps;
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
    if (all.size() == first) all.push_back({std::filesystem::path(file).stem().string() + "_table", file, "", "", 0, {}});
    if (all.back().error.empty()) all.back().error = file + ":" + std::to_string(number) + ": " + what;
  };
  for (std::string text; std::getline(in, text);) {
    number++;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    size_t indent = text.find_first_not_of(' ');
    if (indent == std::string::npos || text[indent] == '#') continue;
    std::string body = text.substr(indent);
    std::vector<Step>* steps = all.size() == first ? nullptr : &all.back().steps;
    Words w;
    if (indent == 0) {
      if (Split(body, w) && w.size() == 2 && w[0] == "scenario") all.push_back({w[1], file, "", "", number, {}});
      else fail("expected \"scenario NAME\" at the margin");
    } else if (!steps) {
      fail("a line before the first scenario");
    } else if (body[0] == '|') {
      if (steps->empty() || steps->back().checks.empty()) fail("a log line outside a check");
      else steps->back().checks.back().log.push_back(body.substr(std::min<size_t>(2, body.size())));
    } else if (!Split(body, w)) {
      fail("unclosed quote");
    } else if (w.empty() || (indent == 2 && w[0] == "about")) {
      // a comment or the scenario's description: nothing to play
    } else if (indent == 2 && w[0] == "only") {
      if (w.size() >= 3 && (w[1] == "host:" || w[1] == "wine:")) all.back().only = w[1].substr(0, 4);
      else fail("\"only\" wants \"host:\" or \"wine:\" and a reason");
    } else if (indent == 2) {
      steps->push_back({number, w, {}, {}});
    } else if (!steps->empty()) {
      steps->back().checks.push_back({number, w, {}, {}});
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
const char16_t* const kDriverFiles[] = {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"};
const int kOtherProgram = 7;  // keeps the files it holds loaded
const int kNoBuild = -1;      // a component without a version resource

std::u16string U16(const std::string& text) { return winsim::Utf16(text); }
// The hive of the person at the console, whichever account the installer runs as.
std::u16string UserHive() { return winsim::SidOf(u"admin") + u"\\"; }
std::string U8(const std::u16string& text) { return winsim::Utf8(text); }

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Joined(const Words& items) {
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
  return build == kNoBuild ? "MZ " + U8(name) + " " : ComponentContents(name, static_cast<WORD>(build));
}

// Named options after the leading words: "comment X location Y key K dsuser K settings".
struct Options {
  std::map<std::string, std::string> values;
  bool Read(const Words& words, size_t from, const Words& valued, const Words& flags) {
    for (size_t i = from; i < words.size(); i++) {
      bool valuedWord = std::count(valued.begin(), valued.end(), words[i]) && i + 1 < words.size();
      if (!valuedWord && !std::count(flags.begin(), flags.end(), words[i])) return false;
      values[words[i]] = valuedWord ? words[i + 1] : "";
      i += valuedWord;
    }
    return true;
  }
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Get(const std::string& name) const { return Has(name) ? values.at(name) : ""; }
};

std::string KeyOf(const std::u16string& printer, const std::string& dataKey) {
  auto value = winsim::SimPrinterValueOf(printer, dataKey, "SubKey");
  if (!value) return "none";
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

// What an administrator sets on a queue, in the table's words: "share S shared yes priority 7
// default-priority 3 separator F hours 480-1080 spooling queued,keep permissions 1013" (minutes of
// the day; "permissions N": only the group with the last number N may print).
const Words kQueueWords = {"share", "shared", "priority", "default-priority", "separator", "hours", "spooling",
                           "permissions"};
const std::pair<const char*, DWORD> kSpooling[] = {{"queued", PRINTER_ATTRIBUTE_QUEUED},
                                                   {"direct", PRINTER_ATTRIBUTE_DIRECT},
                                                   {"keep", PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS},
                                                   {"complete-first", PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST},
                                                   {"bidi", PRINTER_ATTRIBUTE_ENABLE_BIDI}};

// A self-relative security descriptor: owner Administrators, a DACL allowing S-1-5-21-1-2-3-N.
std::vector<BYTE> Permissions(DWORD group) {
  std::vector<BYTE> sd = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0};
  const BYTE owner[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  sd.insert(sd.end(), owner, owner + sizeof(owner));
  const BYTE acl[] = {2, 0, 44, 0, 1, 0, 0, 0, 0, 0, 36, 0, 8, 0, 0, 0,
                      1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  sd.insert(sd.end(), acl, acl + sizeof(acl));
  for (int i = 0; i < 4; i++) sd.push_back(BYTE(group >> (8 * i)));
  return sd;
}

std::string PermissionsWord(const std::vector<BYTE>& sd) {
  if (sd.empty()) return "none";
  DWORD group = 0;
  for (int i = 0; i < 4 && sd.size() == 80; i++) group |= DWORD(sd[76 + i]) << (8 * i);
  return sd.size() == 80 && Permissions(group) == sd ? std::to_string(group) : "other";
}

std::string SpoolingWord(DWORD attributes) {
  std::string words;
  for (const auto& option : kSpooling)
    if (attributes & option.second) words += (words.empty() ? "" : ",") + std::string(option.first);
  return words.empty() ? "none" : words;
}

bool PutQueueSettings(winsim::SimPrinter& printer, const Options& o) {
  if (o.Has("share")) printer.shareName = U16(o.Get("share"));
  if (o.Get("shared") == "yes") printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
  if (o.Has("priority")) printer.priority = static_cast<DWORD>(std::stoul(o.Get("priority")));
  if (o.Has("default-priority")) printer.defaultPriority = static_cast<DWORD>(std::stoul(o.Get("default-priority")));
  printer.sepFile = U16(o.Get("separator"));
  std::string hours = o.Get("hours");
  if (!hours.empty() && hours.find('-') == std::string::npos) return false;
  if (!hours.empty()) printer.startTime = static_cast<DWORD>(std::stoul(hours.substr(0, hours.find('-'))));
  if (!hours.empty()) printer.untilTime = static_cast<DWORD>(std::stoul(hours.substr(hours.find('-') + 1)));
  if (o.Has("spooling")) printer.attributes &= ~DWORD(PRINTER_ATTRIBUTE_QUEUED);
  for (const auto& option : kSpooling)
    if (("," + o.Get("spooling") + ",").find("," + std::string(option.first) + ",") != std::string::npos)
      printer.attributes |= option.second;
  if (o.Has("permissions"))
    printer.securityDescriptor = Permissions(static_cast<DWORD>(std::stoul(o.Get("permissions"))));
  return true;
}

// A printer as the table describes it; a product printer's two settings keys are one word
// when they agree.
using Fields = std::map<std::string, std::string>;
using PrinterMap = std::map<std::string, Fields>;
Fields FieldsOf(const winsim::SimPrinter& p) {
  std::string key = KeyOf(p.name, winsim::kPlainPrinterDataKey), dsuser = KeyOf(p.name, "DsUser");
  return {{"port", U8(p.portName)}, {"driver", U8(p.driverName)}, {"comment", U8(p.comment)},
          {"location", U8(p.location)}, {"key", key == dsuser ? key : key + "/" + dsuser},
          {"share", p.shareName ? U8(*p.shareName) : "none"},
          {"shared", p.attributes & PRINTER_ATTRIBUTE_SHARED ? "yes" : "no"},
          {"priority", std::to_string(p.priority)}, {"default-priority", std::to_string(p.defaultPriority)},
          {"separator", p.sepFile.empty() ? "none" : U8(p.sepFile)},
          {"hours", std::to_string(p.startTime) + "-" + std::to_string(p.untilTime)},
          {"spooling", SpoolingWord(p.attributes)}, {"permissions", PermissionsWord(p.securityDescriptor)},
          {"jobs", std::to_string(p.jobs)}};
}

PrinterMap Printers(bool product) {
  PrinterMap found;
  for (const auto& p : winsim::SimPrinters())
    if ((p.driverName == kProductDriver) == product) found[U8(p.name)] = FieldsOf(p);
  return found;
}

// A scenario being played: where it stands, and what the last step saw.
struct Play {
  explicit Play(const Scenario& played) : scenario(played) {}
  const Scenario& scenario;
  int line = 0;
  Words exits;
  size_t dialogsBefore = 0, eventsBefore = 0;
  DWORD started = 0;    // the clock as the last step began
  size_t startsBefore = 0;  // processes the installer had started before the last step
  int otherRun = 0;     // another run of the installer holding the command lock
  int squatter = 0;     // another program holding the command lock's name
  PrinterMap othersBefore;
  bool otherDriver = false;
  Words settingsKeys;  // marked "deleted" as the scenario began

  std::string Where() const { return scenario.file + ":" + std::to_string(line) + ": "; }
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
  for (; i < w.size(); i++) winsim::RemoveFile(w[i] == "orvtray.exe" ? std::u16string(kTrayPath) : kModuleDir + U16(w[i]));
  return true;
}

bool Installed(Play&, const Words& w) {
  Options o;
  int monitor = 2547, driver = 2547;
  if (!o.Read(w, 1, {"monitor", "driver", "monitor-dll"}, {}) || (o.Has("monitor") && !ParseBuild(o.Get("monitor"), monitor)) ||
      (o.Has("driver") && !ParseBuild(o.Get("driver"), driver)))
    return false;
  std::u16string dll = o.Has("monitor-dll") ? U16(o.Get("monitor-dll")) : u"zelmon64.dll";
  winsim::PutFile(kSystem + dll, Component(u"zelmon64.dll", monitor));
  winsim::AddSimMonitor(winsim::SimMonitor{kPort, u"Windows x64", dll, {kPort}});
  std::u16string dir = std::u16string(kDrivers) + u"3\\";
  for (const char16_t* name : kDriverFiles) winsim::PutFile(dir + name, Component(name, driver));
  winsim::SimDriver d;
  d.name = kProductDriver;
  d.driverPath = d.dataFile = dir + kDriverFiles[0];
  d.configFile = dir + kDriverFiles[1];
  d.helpFile = dir + kDriverFiles[2];
  winsim::AddSimDriver(d);
  return true;
}

// "printer NAME [comment X] [location Y] [key K] [dsuser K] [settings] [queue words]": a product
// printer; with "settings" the user's settings under its keys are there, marked deleted as an
// uninstall leaves them. "other NAME port PORT [comment X] [location Y]": another maker's printer.
bool AddPrinter(Play& play, const Words& w) {
  Options o;
  bool product = w[0] == "printer";
  Words valued = product ? Words{"comment", "location", "key", "dsuser"} : Words{"port", "comment", "location"};
  valued.insert(valued.end(), kQueueWords.begin(), kQueueWords.end());
  if (w.size() < 2 || !o.Read(w, 2, valued, product ? Words{"settings"} : Words{}) || product == o.Has("port")) return false;
  if (!product && !play.otherDriver) {
    winsim::SimDriver other;
    other.name = kOtherDriver;
    winsim::AddSimDriver(other);
    play.otherDriver = true;
  }
  winsim::SimPrinter printer = PrinterOn(U16(w[1]), product ? kProductDriver : kOtherDriver, product ? kPort : U16(o.Get("port")));
  printer.comment = U16(o.Get("comment"));
  printer.location = U16(o.Get("location"));
  if (!PutQueueSettings(printer, o)) return false;
  for (const char* field : {"key", "dsuser"}) {
    if (!o.Has(field)) continue;
    std::string key = o.Get(field);
    std::vector<BYTE> data(key.begin(), key.end());
    data.push_back(0);
    printer.data.push_back({field[0] == 'k' ? winsim::kPlainPrinterDataKey : "DsUser", "SubKey", REG_SZ, data});
    if (!o.Has("settings")) continue;
    if (!std::count(play.settingsKeys.begin(), play.settingsKeys.end(), key)) play.settingsKeys.push_back(key);
    winsim::PutString(HKEY_USERS, UserHive() + kSettingsRoot + U16(key), u"deleted", u"1");
  }
  winsim::AddSimPrinter(printer);
  return true;
}

// "connection \\SERVER\SHARE [jobs N]": the user's connection to a server's queue on the
// product driver and port, with N jobs of every user waiting there.
bool Connection(Play&, const Words& w) {
  Options o;
  if (w.size() < 2 || !o.Read(w, 2, {"jobs"}, {})) return false;
  winsim::SimPrinter printer = PrinterOn(U16(w[1]), kProductDriver, kPort);
  printer.jobs = static_cast<DWORD>(std::stoul("0" + o.Get("jobs")));
  winsim::AddSimConnection(printer);
  return true;
}

// "logon N USER": USER logs on in session N and the tray program starts there from its Run
// value, as on a terminal server.
bool Logon(Play&, const Words& w) {
  if (w.size() != 3 || w[1].find_first_not_of("0123456789") != std::string::npos) return false;
  DWORD session = static_cast<DWORD>(std::stoul(w[1]));
  winsim::SetSessionUser(session, U16(w[2]));
  winsim::TraySpec tray{winsim::TrayAnswer::Quits, 300, true, kTrayPath};
  tray.session = session;
  tray.account = U16(w[2]);
  winsim::StartTray(tray);
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
  return true;
}

// "many N": N product printers carried by every install, "Orvandelle 001" the first, each with
// its own comment, location and settings key, the 107th the default.
std::string Numbered(int i) {
  std::string n = std::to_string(i);
  return std::string(3 - std::min<size_t>(3, n.size()), '0') + n;
}

Words ManyPrinter(int i) {
  std::string n = Numbered(i), key = "K-" + n;
  return {"Orvandelle " + n, "comment", "Desk " + n, "location", "Floor " + std::to_string(i % 5) + ", room " + n,
          "key", key};
}

bool Many(Play& play, const Words& w) {
  if (w.size() != 2 || w[1].find_first_not_of("0123456789") != std::string::npos) return false;
  for (int i = 1; i <= std::stoi(w[1]); i++) {
    Words printer = ManyPrinter(i);
    printer.insert(printer.begin(), "printer");
    printer.insert(printer.end(), {"dsuser", printer.back(), "settings"});
    AddPrinter(play, printer);
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
  other.account = o.Has("system") ? u"SYSTEM" : u"admin";
  if (o.Has("leaves")) {
    std::string name = o.Get("leaves");
    other.beforeLettingGo = [&play, name] { AddPrinter(play, {"printer", name, "key", name, "dsuser", name}); };
  }
  play.otherRun = winsim::StartMutexHolder(other);
  return true;
}

// "squat user-mutex|open-user-mutex|event": a standard user's program takes the command lock's
// name first, with a mutex of its default security (closed to administrators), with one it
// opens to everyone, or with an event, and keeps it until "release".
bool Squat(Play& play, const Words& w) {
  if (w.size() != 2 || (w[1] != "user-mutex" && w[1] != "open-user-mutex" && w[1] != "event")) return false;
  winsim::MutexHolderSpec squatter;
  squatter.name = kCommandMutexName;
  squatter.account = u"user";
  squatter.everyoneMayUse = w[1] == "open-user-mutex";
  squatter.event = w[1] == "event";
  play.squatter = winsim::StartMutexHolder(squatter);
  return true;
}

// "release": the other program lets go of the files it holds and of the name it took.
bool Release(Play& play, const Words& w) {
  if (w.size() != 1) return false;
  winsim::ReleaseFiles(kOtherProgram);
  if (play.squatter != 0) winsim::EndProcess(play.squatter);
  play.squatter = 0;
  return true;
}

// The actions of one fixed shape: their word alone, or with one argument.
struct SimpleAction {
  size_t words;
  void (*act)(const std::string& argument);
};
const std::map<std::string, SimpleAction> kSimpleActions = {
    {"default", {2, [](const std::string& name) { winsim::SetSimDefaultPrinter(U16(name)); }}},
    {"runvalue", {2, [](const std::string& path) {
       winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", U16(path));
     }}},
    {"hold", {2, [](const std::string& path) { winsim::HoldFile(U16(path), kOtherProgram); }}},
    {"restart", {1, [](const std::string&) { winsim::RestartMachine(); }}},
    {"help-window", {1, [](const std::string&) { winsim::OpenHelpWindow(); }}},
    // The log-on session the installer runs in.
    {"session", {2, [](const std::string& n) { winsim::SetInstallerSession(static_cast<DWORD>(std::stoul(n))); }}},
    // The tray program running with its Run value, as after an install, in session 1.
    {"tray", {1, [](const std::string&) {
       winsim::StartTray(winsim::TraySpec{winsim::TrayAnswer::Quits, 300, true, kTrayPath});
       winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
     }}},
    // The tray program of a standard user, running in session 1 with its Run value.
    {"tray-of", {2, [](const std::string& user) {
       winsim::TraySpec tray{winsim::TrayAnswer::Quits, 300, true, kTrayPath};
       tray.account = U16(user);
       winsim::StartTray(tray);
       winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", kTrayPath);
     }}},
    // The installer is run by a deployment tool: as SYSTEM, in session 0.
    {"system", {1, [](const std::string&) {
       winsim::SetInstallerSession(0);
       winsim::SetInstallerAccount(u"SYSTEM");
     }}},
    // Nobody is logged on in the session any more.
    {"logoff", {2, [](const std::string& n) { winsim::SetSessionUser(static_cast<DWORD>(std::stoul(n)), u""); }}},
};

const char16_t kRecordKey[] = u"SOFTWARE\\Corvane\\Orvandelle\\Carried printers";

// "record damaged NAME": the record of printers being carried over holds NAME's settings cut
// short by one byte. "record denied": the product's machine-wide key refuses the record's.
bool Record(Play&, const Words& w) {
  if (w.size() == 3 && w[1] == "damaged") {
    std::string data = "RVC2";
    const DWORD numbers[] = {0, PRINTER_ATTRIBUTE_QUEUED, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0};
    for (DWORD number : numbers) data += std::string(reinterpret_cast<const char*>(&number), 4);
    // the counted key, then four empty texts, no permissions and no user's default
    data.insert(data.size() - 6 * 4, "K-ghost");
    winsim::PutValue(HKEY_LOCAL_MACHINE, kRecordKey, U16(w[2]), REG_BINARY, data.substr(0, data.size() - 1));
    return true;
  }
  if (w.size() != 2 || w[1] != "denied") return false;
  winsim::DenyKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane\\Orvandelle");
  return true;
}

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

// "spooler holds-deleted-monitors | wine-driver-deletion | stopped | refuses-start ERROR | mended |
// slow-stop MS | dependent NAME": how the print spooler service behaves from now on; a stop that
// takes MS, or a running service NAME that depends on it.
bool Spooler(Play&, const Words& w) {
  static const std::set<std::string> kWays = {"holds-deleted-monitors", "wine-driver-deletion", "stopped", "mended"};
  static const std::set<std::string> kWaysWithArgument = {"refuses-start", "slow-stop", "dependent"};
  std::string how = w.size() >= 2 ? w[1] : "";
  if (!(w.size() == 2 ? kWays : kWaysWithArgument).count(how) || w.size() > 3) return false;
  if (how == "slow-stop") winsim::SetServiceDelays(u"spooler", winsim::kDefaultStartDelay, static_cast<DWORD>(std::stoul(w[2])));
  if (how == "dependent") winsim::AddDependentService(U16(w[2]), u"spooler", SERVICE_RUNNING);
  if (how == "holds-deleted-monitors") winsim::KeepDeletedMonitorsLoaded(true);
  if (how == "wine-driver-deletion") winsim::SetWineDriverDeletion(true);
  if (how == "stopped" || how == "refuses-start") winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  if (how == "refuses-start") winsim::RefuseServiceStart(u"spooler", static_cast<DWORD>(std::stoul(w[2])));
  if (how == "mended") winsim::RefuseServiceStart(u"spooler", 0);
  if (how == "mended") winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
  return true;
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

// "run [WORD] [shift] [unseen] [killed WHEN]" plays one command; "together WORD WORD" two started
// at once, which the command lock lets finish one after the other, so the simulated machine plays
// them so. A killed run's exit is "killed".
bool Run(Play& play, const Words& w) {
  Words words;
  bool shift = false, unseen = false;
  std::string killed;
  for (size_t i = 1; i < w.size(); i++) {
    if (w[i] == "shift" || w[i] == "unseen") (w[i] == "shift" ? shift : unseen) = true;
    else if (w[i] == "killed" && i + 1 < w.size()) killed = w[++i];
    else if (w[i] != "screenshot") words.push_back(w[i]);  // a picture only a real display can take
  }
  if (w[0] == "together" ? words.size() != 2 || shift || unseen : words.size() > 1) return false;
  if (words.empty()) words.push_back("");
  play.exits.clear();
  play.dialogsBefore = winsim::Dialogs().size();
  play.eventsBefore = winsim::LoggedEvents().size();
  play.othersBefore = Printers(false);
  play.started = winsim::Now();
  play.startsBefore = winsim::ProcessStarts().size();
  winsim::ClearCalls();
  winsim::SetShiftHeld(shift);
  winsim::SetWindowStationVisible(!unseen);
  if (!killed.empty() && !ArmKill(killed)) return false;
  for (const std::string& word : words) {
    int32_t code = RunInstallerThatMayDie(U16(word));
    play.exits.push_back(code == kDied ? "killed" : std::to_string(code));
  }
  winsim::ClearFaults();
  winsim::SetShiftHeld(false);
  winsim::SetWindowStationVisible(true);
  return true;
}

// "pending SOURCE [TARGET]", "pending2 ...": a pair appended to the first or second list, as
// another program's setup leaves it. A plain path is written as Wine and older systems write it
// ("\??\PATH"); an entry that begins with "*", "!", "@" or "\" is written as it stands.
std::u16string PendingEntry(const std::string& text) {
  return text.empty() || std::string("*!@\\").find(text[0]) != std::string::npos ? U16(text) : NtPath(U16(text));
}

bool AddPending(Play&, const Words& w) {
  if (w.size() < 2 || w.size() > 3) return false;
  winsim::AppendPendingRename(PendingEntry(w[1]), w.size() == 3 ? PendingEntry(w[2]) : u"",
                              w[0] == "pending2" ? winsim::kPendingRenamesValue2 : winsim::kPendingRenamesValue);
  return true;
}

using ActionFn = bool (*)(Play&, const Words&);
const std::map<std::string, ActionFn> kActions = {
    {"product", Layout}, {"installed", Installed}, {"printer", AddPrinter}, {"other", AddPrinter},
    {"many", Many},      {"another-run", AnotherRun}, {"copy", Copy},         {"fail", Fail},
    {"connection", Connection}, {"logon", Logon},
    {"spooler", Spooler},   {"run", Run},             {"together", Run},          {"pending", AddPending},
    {"pending2", AddPending}, {"squat", Squat}, {"release", Release}, {"record", Record},
};

// --- what must hold: each observer describes the machine in the table's words after the check's
// name, and the check holds when they are the table's words --------------------------------------

Words Exit(Play& play, const Words&) { return play.exits; }

Words Window(Play& play, const Words&) {
  if (winsim::Dialogs().size() == play.dialogsBefore) return {};
  std::string title = U8(winsim::Dialogs().back().title);
  if (title == "Orvandelle build 2547- Install error log!") return {"error"};
  return {title == "Orvandelle build 2547- Install log." ? "plain" : title};
}

Words Monitor(Play&, const Words& w) {
  std::string dll;
  for (const auto& monitor : winsim::SimMonitors())
    if (monitor.name == kPort) dll = U8(monitor.dllName);
  if (dll.empty()) return {};
  if (dll != "zelmon64.dll") return {"registered as " + dll};
  int build = kNoBuild;
  bool same = ParseBuild(w[1], build) && winsim::FileContents(kSystem + U16(dll)) == Component(U16(dll), build);
  return {same ? w[1] : "a monitor file of another build"};
}

// The product driver with its files in the version directory, of one build, the staged copies gone.
Words Driver(Play&, const Words& w) {
  std::vector<winsim::SimDriver> drivers;
  for (const auto& driver : winsim::SimDrivers())
    if (driver.name == kProductDriver) drivers.push_back(driver);
  if (drivers.size() != 1) return drivers.empty() ? Words{} : Words{std::to_string(drivers.size()) + " drivers"};
  int build = kNoBuild;
  ParseBuild(w[1], build);
  const std::u16string* paths[] = {&drivers[0].driverPath, &drivers[0].configFile, &drivers[0].helpFile};
  for (int i = 0; i < 3; i++) {
    std::u16string path = std::u16string(kDrivers) + u"3\\" + kDriverFiles[i];
    if (Lower(U8(*paths[i])) != Lower(U8(path))) return {"registered with " + U8(*paths[i])};
    if (winsim::FileExists(kDrivers + std::u16string(kDriverFiles[i]))) return {"staged " + U8(kDriverFiles[i]) + " left"};
    if (winsim::FileContents(path) != Component(kDriverFiles[i], build)) return {U8(kDriverFiles[i]) + " of another build"};
  }
  return {w[1]};
}

Words PrinterNames(Play&, const Words&) {
  Words names;
  for (const auto& printer : Printers(true)) names.push_back(printer.first);
  return names;
}

// "printer NAME [comment X] [location Y] [key K] [queue words]": the product printer, on the
// product's port.
Words Printer(Play&, const Words& w) {
  auto all = Printers(true);
  if (!all.count(w[1])) return {"no product printer " + w[1]};
  Words seen = {w[1]};
  if (all[w[1]]["port"] != U8(kPort)) seen.push_back("on " + all[w[1]]["port"]);
  for (size_t i = 2; i + 1 < w.size(); i += 2) seen.insert(seen.end(), {w[i], all[w[1]][w[i]]});
  return seen;
}

Words Others(Play& play, const Words&) {
  auto now = Printers(false);
  if (now == play.othersBefore) return {"unchanged"};
  Words names = {"changed:"};
  for (const auto& printer : now) names.push_back(printer.first);
  return names;
}

// "record NAME...": the printers the record of printers being carried over holds ("none": no
// record at all, not even an empty key).
Words Recorded(Play&, const Words&) {
  Words names;
  for (const std::u16string& name : winsim::ValueNames(HKEY_LOCAL_MACHINE, kRecordKey)) names.push_back(U8(name));
  if (names.empty() && winsim::KeyExists(HKEY_LOCAL_MACHINE, kRecordKey)) names.push_back("(an empty key)");
  return names;
}

Words Default(Play&, const Words&) {
  std::string name = U8(winsim::SimDefaultPrinter());
  return name.empty() ? Words{} : Words{name};
}

// "pending PAIR...", "pending2 PAIR...": the first or second list, a pair as "SOURCE" (a
// deletion) or "SOURCE=>TARGET". Windows 10 and 11 write "*1" before a deletion's source where
// Wine writes nothing: that marker is compared only where the table writes one.
Words Pending(Play&, const Words& w) {
  std::vector<std::u16string> strings =
      PendingRenameStrings(w[0] == "pending2" ? winsim::kPendingRenamesValue2 : winsim::kPendingRenamesValue);
  Words pairs;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::string source = U8(strings[i]);
    size_t word = pairs.size() + 1;
    bool markedInTable = word < w.size() && !w[word].empty() && w[word][0] == '*';
    if (!markedInTable && source.size() > 1 && source[0] == '*' && std::isdigit(static_cast<unsigned char>(source[1])))
      source.erase(0, source.find_first_not_of("0123456789", 1));
    pairs.push_back(source + (strings[i + 1].empty() ? "" : "=>" + U8(strings[i + 1])));
  }
  return pairs;
}

// The last start of the tray program since `from`, or null.
const winsim::ProcessStart* LastTrayStart(size_t from) {
  const auto& starts = winsim::ProcessStarts();
  for (size_t i = starts.size(); i > from; i--)
    if (U8(starts[i - 1].commandLine).find("orvtray.exe") != std::string::npos) return &starts[i - 1];
  return nullptr;
}

// A tray runs in any session, and the one the installer started last (if it started one) is it.
Words Tray(Play&, const Words&) {
  std::string run = U8(TrayRunValue());
  bool file = winsim::FileExists(kTrayPath);
  const winsim::ProcessStart* last = LastTrayStart(0);
  bool runs = !winsim::RunningTrays().empty() && (last == nullptr || winsim::ProcessRunning(last->process));
  if (run == U8(kTrayPath) && runs) return {"running"};
  if (run == "(none)" && !runs && !file) return {"removed"};
  return {"Run value " + run, runs ? "running" : "not running", file ? "its file there" : "its file gone"};
}

// "tray-start none" or "tray-start session N as ACCOUNT in DIRECTORY on DESKTOP": how the last
// run started the tray program.
Words TrayStart(Play& play, const Words&) {
  const winsim::ProcessStart* last = LastTrayStart(play.startsBefore);
  if (last == nullptr) return {};
  return {"session", std::to_string(last->session), "as", U8(last->account), "in", U8(last->currentDirectory),
          "on", U8(last->desktop)};
}

Words Marked(Play& play, const Words&) {
  Words marked;
  for (const std::string& key : play.settingsKeys)
    if (winsim::ReadValue(HKEY_USERS, UserHive() + kSettingsRoot + U16(key), u"deleted")) marked.push_back(key);
  return marked;
}

Words File(Play&, const Words& w) { return {w[1], winsim::FileExists(U16(w[1])) ? "present" : "absent"}; }

// "many carried N": every printer of "many N" is still there with its fields, and no other.
Words ManyCarried(Play&, const Words&) {
  auto all = Printers(true);
  Words seen = {"carried", std::to_string(all.size())};
  int i = 0;
  for (auto& printer : all) {
    Words expected = ManyPrinter(++i);
    expected.insert(expected.end(), {"port", U8(kPort)});
    bool same = printer.first == expected[0];
    for (size_t f = 1; f + 1 < expected.size(); f += 2) same = same && printer.second[expected[f]] == expected[f + 1];
    if (!same) seen.push_back(printer.first + " differs");
  }
  std::string def = U8(winsim::SimDefaultPrinter());
  if (def != "Orvandelle 107") seen.push_back("default " + def);
  return seen;
}

// "product gone-or-fresh": two runs started together ended one after the other: the machine is
// either uninstalled or as an install leaves an empty machine, never a mixture.
Words Outcome(Play& play, const Words&) {
  bool gone = Printers(true).empty() && !OwnMonitorRegistered() && Driver(play, {"", "none"}).empty() &&
              Tray(play, {}) == Words{"removed"};
  bool fresh = Monitor(play, {"", "2547"}) == Words{"2547"} && PrinterNames(play, {}) == Words{"Orvandelle"};
  return {gone || fresh ? "gone-or-fresh" : "a mixture"};
}

// "host event error|info|none": the event the run wrote to the event log. "host events N": how
// many it wrote.
// "host calls NAME N [FIRST]": how often the run made a platform call (with that first argument).
// "host service NAME running|stopped|...": the state of a service now.
Words Host(Play& play, const Words& w) {
  if (w[1] == "service" && w.size() == 4) {
    static const char* const kStates[] = {"none", "stopped", "start-pending", "stop-pending", "running"};
    DWORD state = winsim::ServiceState(U16(w[2]));
    return {"service", w[2], state <= SERVICE_RUNNING ? kStates[state] : std::to_string(state)};
  }
  if (w[1] == "events") return {"events", std::to_string(winsim::LoggedEvents().size() - play.eventsBefore)};
  if (w[1] == "event") {
    const auto& events = winsim::LoggedEvents();
    if (events.size() == play.eventsBefore) return {"event", "none"};
    return {"event", events.back().type == EVENTLOG_ERROR_TYPE ? "error" : "info"};
  }
  size_t count = 0;
  for (const auto& call : winsim::CallsOf(w[2]))
    count += w.size() < 5 || (!call.args.empty() && Lower(call.args[0]) == Lower(w[4]));
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
Words Lock(Play& play, const Words& w) {
  static const std::set<std::string> kKinds = {"waited", "first-work", "untouched", "held-to-end", "waits-only"};
  if (!kKinds.count(w[1])) return {"no such lock check"};
  const auto& calls = winsim::Calls();
  Words seen = {w[1]};
  if (w[1] == "waited") seen.push_back(std::to_string(winsim::Now() - play.started));
  if (w[1] == "first-work" && w.size() >= 3) {
    auto first = std::find_if(calls.begin(), calls.end(), [](const winsim::Call& c) { return !kLockCalls.count(c.name); });
    if (first == calls.end()) return {"no call past the lock"};
    seen.push_back(first->tick >= play.started + std::stoul(w[2]) ? w[2] : std::to_string(first->tick - play.started));
    if (w.size() == 4) seen.push_back(first->name);
  }
  for (const char* name : kWorkCalls)
    if (w[1] == "untouched" && winsim::CountCalls(name)) seen.push_back(std::string("but ") + name);
  if (w[1] == "held-to-end") {
    auto release = std::find_if(calls.begin(), calls.end(), [](const winsim::Call& c) { return c.name == "ReleaseMutex"; });
    Words after;
    for (auto c = calls.begin(); c != release; ++c)
      if (c->name == "DialogBoxParamW" || c->name == "ReportEventW") after.push_back(c->name + " before it");
    for (auto c = release; c != calls.end(); ++c)
      if (!kAfterLockCalls.count(c->name) || (c == release + 1 && c->name != "CloseHandle")) after.push_back(c->name);
    if (release == calls.end() || !after.empty()) seen.push_back("but " + Joined(after));
  }
  auto opens = winsim::CallsOf("OpenMutexA");
  if (w[1] == "waits-only" && (opens.size() != 1 || opens[0].args[0] + " " + opens[0].args[2].substr(0, 7) != "0x120000 Global\\"))
    seen.push_back(std::to_string(opens.size()) + " opens");
  return seen;
}

using ObserveFn = Words (*)(Play&, const Words&);
struct Observer {
  ObserveFn observe;
  size_t words;        // at least this many on the check's line, its name counted
  bool sorted = false;  // the table lists them in any order
  bool anyCase = false;  // paths, compared as Windows compares them
};
const std::map<std::string, Observer> kObservers = {
    {"exit", {Exit, 2}},        {"window", {Window, 2}},     {"monitor", {Monitor, 2}},
    {"driver", {Driver, 2}},    {"printers", {PrinterNames, 2, true}}, {"printer", {Printer, 2}},
    {"others", {Others, 2}},    {"default", {Default, 2}},   {"pending", {Pending, 2, false, true}},
    {"pending2", {Pending, 2, false, true}},
    {"tray", {Tray, 2}},        {"marked", {Marked, 2, true}}, {"file", {File, 3}},
    {"tray-start", {TrayStart, 2}},
    {"many", {ManyCarried, 3}}, {"product", {Outcome, 2}},   {"host", {Host, 3}},
    {"lock", {Lock, 2}},        {"record", {Recorded, 2, true}},
};

// The log of the last run: its log window, else the events it wrote unseen, one after another.
Words RunLog(Play& play) {
  if (winsim::Dialogs().size() > play.dialogsBefore) return ShownLogLines();
  std::u16string text;
  for (size_t i = play.eventsBefore; i < winsim::LoggedEvents().size(); i++)
    text += winsim::LoggedEvents()[i].strings.at(0);
  if (!text.empty()) return SplitLines(U8(text));
  ADD_FAILURE() << play.Where() << "the run showed no log";
  return {};
}

Words TrimmedLog(Play& play) {
  Words lines = RunLog(play);
  for (std::string& line : lines) {
    line.erase(0, std::min(line.size(), line.find_first_not_of(" \t")));
    line.erase(line.find_last_not_of(" \t") + 1);
  }
  return lines;
}

// "log LINE...", "nolog LINE...": lines the run's log holds or does not hold; "errors LINE...":
// its error lines, all and in order; "whole-log" with its lines under it: the log, line for line.
bool CheckLog(Play& play, const Step& check) {
  const Words& w = check.words;
  if (w[0] == "whole-log") {
    Words log = RunLog(play);
    for (size_t i = 0; i < std::max(log.size(), check.log.size()); i++)
      EXPECT_EQ(i < log.size() ? log[i] : "(end)", i < check.log.size() ? check.log[i] : "(end)")
          << play.Where() << "line " << i + 1 << " of the whole log";
    return !check.log.empty();
  }
  if ((w[0] != "log" && w[0] != "nolog" && w[0] != "errors") || w.size() < 2) return false;
  Words lines = TrimmedLog(play), errors, expected(w.begin() + 1, w.end());
  for (size_t i = 1; w[0] != "errors" && i < w.size(); i++) {
    bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Matches(l, w[i]); });
    EXPECT_EQ(found, w[0] == "log") << play.Where() << "log line \"" << w[i] << "\"";
  }
  if (w[0] != "errors") return true;
  for (const std::string& line : lines)
    if (line.find("Error(") != std::string::npos) errors.push_back(line);
  if (expected == Words{"none"}) expected.clear();
  bool same = errors.size() == expected.size();
  for (size_t i = 0; same && i < errors.size(); i++) same = Matches(errors[i], expected[i]);
  EXPECT_TRUE(same) << play.Where() << "error lines: got " << Joined(errors) << ", expected " << Joined(expected);
  return true;
}

bool RunCheck(Play& play, const Step& check) {
  const Words& w = check.words;
  auto found = kObservers.find(w[0]);
  if (found == kObservers.end()) return CheckLog(play, check);
  if (w.size() < found->second.words) return false;
  Words expected(w.begin() + 1, w.end()), seen = found->second.observe(play, w);
  if (expected == Words{"none"}) expected.clear();
  for (Words* words : {&expected, &seen})
    for (std::string& word : *words) word = found->second.anyCase ? Lower(word) : word;
  if (found->second.sorted) std::sort(expected.begin(), expected.end()), std::sort(seen.begin(), seen.end());
  EXPECT_EQ(Joined(seen), Joined(expected)) << play.Where() << w[0];
  return true;
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
    for (const Step& action : scenario_.steps) {
      play.line = action.line;
      const Words& w = action.words;
      auto simple = kSimpleActions.find(w[0]);
      auto found = kActions.find(w[0]);
      if (simple != kSimpleActions.end() && simple->second.words == w.size()) {
        simple->second.act(w.back());
      } else if (found == kActions.end() || !found->second(play, w)) {
        ADD_FAILURE() << play.Where() << "malformed action \"" << w[0] << "\" with " << w.size() - 1 << " words";
        return;
      }
      for (const Step& check : action.checks) {
        play.line = check.line;
        if (!RunCheck(play, check))
          return ADD_FAILURE() << play.Where() << "malformed check \"" << check.words[0] << "\"", void();
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
