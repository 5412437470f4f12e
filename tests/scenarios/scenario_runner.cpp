// The scenario table played through the Win32 calls of platform.h: the same source is built
// against the simulated machine (machine_sim.cpp) and as a Windows program run under Wine
// (machine_wine.cpp). It lays the machine out as Windows would have it, runs the installer
// through the machine, and reads back what every check looks at through the same calls.
#include <algorithm>
#include <cstring>
#include <codecvt>
#include <filesystem>
#include <fstream>
#include <locale>
#include <map>

#include "scenarios/scenario_machine.h"

namespace scenario {

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

namespace {

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
    std::string table = std::filesystem::path(file).stem().string() + "_table";
    if (all.size() == first) all.push_back({table, file, "", "", 0, {}});
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

// --- text ----------------------------------------------------------------------------------

using Wide = std::basic_string<WCHAR>;

// Text the table and the machine exchange; what cannot be converted becomes "?".
std::wstring_convert<std::codecvt_utf8_utf16<WCHAR>, WCHAR>& Converter() {
  static std::wstring_convert<std::codecvt_utf8_utf16<WCHAR>, WCHAR> converter("?", Wide(1, WCHAR('?')));
  return converter;
}

}  // namespace

Wide W16(const std::string& text) { return Converter().from_bytes(text); }
std::string U8(const WCHAR* text) { return text == nullptr ? "" : Converter().to_bytes(text); }

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

DWORD Num(const std::string& word) {
  return !word.empty() && word.size() <= 10 && word.find_first_not_of("0123456789") == std::string::npos
             ? static_cast<DWORD>(std::stoull(word)) : 0;
}

namespace {

WCHAR* Ptr(Wide& text) { return &text[0]; }

std::string Joined(const Words& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "\"" : " \"") + item + "\"";
  return text.empty() ? "none" : text;
}

bool Number(const std::string& w) { return !w.empty() && w.find_first_not_of("0123456789") == std::string::npos; }

// A log line as the table gives it: whole, or its beginning when it ends in "...".
bool Matches(const std::string& line, const std::string& pattern) {
  if (pattern.size() >= 3 && pattern.compare(pattern.size() - 3, 3, "...") == 0)
    return line.compare(0, pattern.size() - 3, pattern, 0, pattern.size() - 3) == 0;
  return line == pattern;
}

bool ParseBuild(const std::string& word, int& build) {
  build = word == "none" ? kNoBuild : Number(word) ? static_cast<int>(Num(word)) : build;
  return word == "none" || Number(word);
}

// --- the machine through Win32 -------------------------------------------------------------

const char kSystem[] = "C:\\windows\\system32\\";
const char kDrivers[] = "C:\\windows\\system32\\spool\\drivers\\x64\\";
const char kModuleDir[] = "C:\\Product\\drv\\";
const char kTrayPath[] = "C:\\Product\\orvtray.exe";
const char kSettingsRoot[] = "\\Software\\Corvane\\Orvandelle\\Orvandelles\\";
const char kRecordKey[] = "SOFTWARE\\Corvane\\Orvandelle\\Carried printers";
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", kRunValue[] = "OrvandelleTray";
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";
const char kProductDriver[] = "Orvandelle printer";
const char kOtherDriver[] = "Other printer";
const char kPort[] = "Orvandelle:";
const char* const kDriverFiles[] = {"zeldrv64.dll", "zelui64.dll", "zelhelp.chm"};

// Whether the file holds these bytes already.
bool SameBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(W16(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string data(bytes.size() + 1, '\0');
  DWORD read = 0;
  bool same = ReadFile(file, &data[0], static_cast<DWORD>(data.size()), &read, nullptr) && read == bytes.size() &&
              data.compare(0, read, bytes) == 0;
  CloseHandle(file);
  return same;
}

// The file with its directories, made as needed. A running program's file cannot be written:
// the same bytes already there count as written (the table lays the product out again).
bool PutFile(const std::string& path, const std::string& bytes) {
  if (SameBytes(path, bytes)) return true;
  auto create = [&path] {
    return CreateFileW(W16(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = create();
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
      CreateDirectoryW(W16(path.substr(0, at)).c_str(), nullptr);
    file = create();
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool FileExists(const std::string& path) { return GetFileAttributesW(W16(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

// The spooler asked to stop or start, and waited for until it has.
bool SpoolerTo(DWORD control, DWORD state) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, W16("Spooler").c_str(), SERVICE_START | SERVICE_STOP |
                                                                                 SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status = {};
  bool asked = service && (control == SERVICE_CONTROL_STOP ? ControlService(service, control, &status)
                                                           : StartServiceW(service, 0, nullptr));
  for (int i = 0; asked && i < 600 && QueryServiceStatus(service, &status) && status.dwCurrentState != state; i++)
    Sleep(100);
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return asked && status.dwCurrentState == state;
}

// A file the spooler has loaded (a monitor or driver file) is replaced as an administrator
// replaces it: with the spooler stopped.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  if (PutFile(path, bytes)) return true;
  if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
  bool ok = SpoolerTo(SERVICE_CONTROL_STOP, SERVICE_STOPPED) && PutFile(path, bytes);
  return SpoolerTo(0, SERVICE_RUNNING) && ok;
}

// The last number of the file's product version, as the installer reads it.
int FileBuild(const std::string& path) {
  Wide name = W16(path);
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(name.c_str(), &ignored);
  std::vector<BYTE> block(size + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  bool read = size != 0 && GetFileVersionInfoW(name.c_str(), 0, size, block.data()) &&
              VerQueryValueW(block.data(), W16("\\").c_str(), reinterpret_cast<void**>(&info), &length);
  return read && length >= sizeof *info ? static_cast<int>(info->dwProductVersionLS & 0xFFFF) : kNoBuild;
}

bool SetValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG status = RegSetValueExW(key, W16(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// A REG_MULTI_SZ's texts are each ended by a zero, the list by the one after them.
bool SetText(HKEY root, const std::string& path, const std::string& name, const Wide& text, DWORD type = REG_SZ) {
  const char* bytes = reinterpret_cast<const char*>(text.c_str());
  return SetValue(root, path, name, type, std::string(bytes, (text.size() + 1) * sizeof(WCHAR)));
}

// The value's data as texts (one for REG_SZ, each of a REG_MULTI_SZ); false when it is missing.
bool ReadTexts(HKEY root, const std::string& path, const std::string& name, Words& texts) {
  HKEY key = nullptr;
  texts.clear();
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0, type = 0;
  Wide value = W16(name);
  bool ok = RegQueryValueExW(key, value.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  std::vector<WCHAR> data(size / sizeof(WCHAR) + 2, 0);  // two zeros beyond, whatever the value holds
  BYTE* bytes = reinterpret_cast<BYTE*>(data.data());
  ok = ok && RegQueryValueExW(key, value.c_str(), nullptr, &type, bytes, &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  size_t end = size / sizeof(WCHAR);
  if (type == REG_MULTI_SZ && end > 0 && data[end - 1] == 0) end--;  // the list's own end
  for (size_t at = 0; ok && at < end; at++) {
    texts.push_back(U8(&data[at]));
    while (data[at] != 0) at++;
    if (type != REG_MULTI_SZ) break;
  }
  return ok;
}

// An enumeration made twice: for the size, then into a buffer of that size. The records' texts
// point into the buffer, which the caller keeps.
template <typename Record, typename Call>
std::vector<Record> Enumerate(std::vector<BYTE>& buffer, Call call) {
  DWORD needed = 0, count = 0;
  call(nullptr, 0, &needed, &count);
  buffer.assign(needed + sizeof(Record), 0);
  if (needed == 0 || !call(buffer.data(), needed, &needed, &count)) count = 0;
  std::vector<Record> records(count);
  if (count != 0) std::memcpy(records.data(), buffer.data(), count * sizeof(Record));
  return records;
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

// The descriptor's group word when it is one Permissions made, else "other" ("none": none).
std::string PermissionsWord(const BYTE* sd) {
  if (sd == nullptr) return "none";
  DWORD group = 0;
  for (int i = 0; i < 4; i++) group |= DWORD(sd[76 + i]) << (8 * i);
  std::vector<BYTE> expected = Permissions(group);
  return std::equal(expected.begin(), expected.end() - 4, sd) ? std::to_string(group) : "other";
}

std::string SpoolingWord(DWORD attributes) {
  std::string words;
  for (const auto& option : kSpooling)
    if (attributes & option.second) words += (words.empty() ? "" : ",") + std::string(option.first);
  return words.empty() ? "none" : words;
}

// The queue words set through SetPrinterW on the printer as it is; its device mode stays.
bool SetQueue(const std::string& name, const Options& o) {
  Wide printerName = W16(name), share = W16(o.Get("share")), separator = W16(o.Get("separator"));
  std::vector<BYTE> permissions = Permissions(Num(o.Get("permissions")));
  std::string hours = o.Get("hours");
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if ((!hours.empty() && hours.find('-') == std::string::npos) || !OpenPrinterW(Ptr(printerName), &printer, &access))
    return false;
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2W));
  auto& info = *reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  bool ok = GetPrinterW(printer, 2, buffer.data(), needed, &needed);
  info.pDevMode = nullptr;
  if (o.Has("share")) info.pShareName = Ptr(share);
  if (o.Get("shared") == "yes") info.Attributes |= PRINTER_ATTRIBUTE_SHARED;
  if (o.Has("priority")) info.Priority = Num(o.Get("priority"));
  if (o.Has("default-priority")) info.DefaultPriority = Num(o.Get("default-priority"));
  if (o.Has("separator")) info.pSepFile = Ptr(separator);
  if (!hours.empty()) info.StartTime = Num(hours.substr(0, hours.find('-')));
  if (!hours.empty()) info.UntilTime = Num(hours.substr(hours.find('-') + 1));
  if (o.Has("spooling")) info.Attributes &= ~DWORD(PRINTER_ATTRIBUTE_QUEUED);
  for (const auto& option : kSpooling)
    if (("," + o.Get("spooling") + ",").find("," + std::string(option.first) + ",") != std::string::npos)
      info.Attributes |= option.second;
  if (o.Has("permissions")) info.pSecurityDescriptor = permissions.data();
  ok = ok && SetPrinterW(printer, 2, buffer.data(), 0);
  ClosePrinter(printer);
  return ok;
}

std::string SubKey(HANDLE printer, const char* key) {
  char data[1024] = {0};
  DWORD type = 0, needed = 0;
  if (GetPrinterDataExA(printer, key, "SubKey", &type, reinterpret_cast<BYTE*>(data), sizeof data - 1, &needed) !=
      ERROR_SUCCESS)
    return "none";
  return type == REG_SZ ? std::string(data) : "(type " + std::to_string(type) + ")";
}

// A printer as the table describes it; a product printer's two settings keys are one word
// when they agree.
using Fields = std::map<std::string, std::string>;
using PrinterMap = std::map<std::string, Fields>;
Fields FieldsOf(const PRINTER_INFO_2W& p) {
  std::string key = "none", dsuser = "none";
  HANDLE printer = nullptr;
  if (OpenPrinterW(p.pPrinterName, &printer, nullptr)) {
    key = SubKey(printer, "PrinterDriverData"), dsuser = SubKey(printer, "DsUser");
    ClosePrinter(printer);
  }
  std::string separator = U8(p.pSepFile);
  return {{"port", U8(p.pPortName)}, {"driver", U8(p.pDriverName)}, {"comment", U8(p.pComment)},
          {"location", U8(p.pLocation)}, {"key", key == dsuser ? key : key + "/" + dsuser},
          {"share", p.pShareName ? U8(p.pShareName) : "none"},
          {"shared", p.Attributes & PRINTER_ATTRIBUTE_SHARED ? "yes" : "no"},
          {"priority", std::to_string(p.Priority)}, {"default-priority", std::to_string(p.DefaultPriority)},
          {"separator", separator.empty() ? "none" : separator},
          {"hours", std::to_string(p.StartTime) + "-" + std::to_string(p.UntilTime)},
          {"spooling", SpoolingWord(p.Attributes)},
          {"permissions", PermissionsWord(static_cast<const BYTE*>(p.pSecurityDescriptor))},
          {"jobs", std::to_string(p.cJobs)}};
}

PrinterMap Printers(bool product) {
  std::vector<BYTE> buffer;
  PrinterMap found;
  for (const PRINTER_INFO_2W& p : Enumerate<PRINTER_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
       }))
    if ((U8(p.pDriverName) == kProductDriver) == product) found[U8(p.pPrinterName)] = FieldsOf(p);
  return found;
}

std::string DefaultPrinter() {
  WCHAR name[1024] = {0};
  DWORD size = 1024;
  return GetDefaultPrinterW(name, &size) ? U8(name) : "";
}

// A scenario being played: where it stands, and what the last step saw.
struct Play {
  explicit Play(const Scenario& played) : scenario(played) {}
  const Scenario& scenario;
  int line = 0;
  std::vector<RunSeen> runs;
  PrinterMap othersBefore;
  bool otherDriver = false;
  Words settingsKeys;  // marked "deleted" as the scenario began

  std::string Where() const { return scenario.file + ":" + std::to_string(line) + ": "; }
};

// --- the machine as a scenario describes it ---------------------------------------------------

std::string ComponentPath(const std::string& name) { return name == "orvtray.exe" ? kTrayPath : kModuleDir + name; }

// "product [BUILD] [missing FILE...]": the installer unpacked with its components.
bool Layout(Play&, const Words& w) {
  int build = 2547;
  size_t i = 1;
  if (i < w.size() && w[i] != "missing" && !ParseBuild(w[i++], build)) return false;
  bool ok = PlaceInstaller(build);
  for (const char* name : {"zelmon64.dll", "zeldrv64.dll", "zelui64.dll", "zelhelp.chm", "orvtray.exe"})
    ok = PutFile(ComponentPath(name), ComponentBytes(name, build)) && ok;
  if (i < w.size() && w[i++] != "missing") return false;
  for (; i < w.size(); i++) ok = DeleteFileW(W16(ComponentPath(w[i])).c_str()) && ok;
  return ok;
}

// The driver as an install leaves it: its files staged in the driver directory, copied into the
// version directory by the spooler, and the staged copies deleted.
bool AddDriver(const std::string& driverName, const char* const files[3], int build) {
  Wide paths[3], name = W16(driverName), environment = W16("Windows x64");
  bool ok = true;
  for (int i = 0; i < 3; i++) {
    paths[i] = W16(kDrivers + std::string(files[i]));
    ok = PutFile(kDrivers + std::string(files[i]), ComponentBytes(files[i], build)) && ok;
  }
  DRIVER_INFO_3W info = {3, Ptr(name), Ptr(environment), Ptr(paths[0]), Ptr(paths[0]), Ptr(paths[1]), Ptr(paths[2]),
                         nullptr, nullptr, nullptr};
  ok = ok && AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
  for (const Wide& path : paths) DeleteFileW(path.c_str());
  return ok;
}

// "installed [monitor BUILD] [driver BUILD] [monitor-dll NAME]": an earlier install's monitor
// and driver.
bool Installed(Play&, const Words& w) {
  Options o;
  int monitor = 2547, driver = 2547;
  if (!o.Read(w, 1, {"monitor", "driver", "monitor-dll"}, {}) ||
      (o.Has("monitor") && !ParseBuild(o.Get("monitor"), monitor)) ||
      (o.Has("driver") && !ParseBuild(o.Get("driver"), driver)))
    return false;
  Wide dll = W16(o.Has("monitor-dll") ? o.Get("monitor-dll") : "zelmon64.dll"), port = W16(kPort),
       environment = W16("Windows x64");
  bool ok = PutFile(kSystem + U8(dll.c_str()), ComponentBytes("zelmon64.dll", monitor));
  MONITOR_INFO_2W info = {Ptr(port), Ptr(environment), Ptr(dll)};
  ok = ok && AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  return AddDriver(kProductDriver, kDriverFiles, driver) && ok;
}

// "printer NAME [comment X] [location Y] [key K] [dsuser K] [settings] [queue words]": a product
// printer; with "settings" the user's settings under its keys are there, marked deleted as an
// uninstall leaves them. "other NAME port PORT [comment X] [location Y]": another maker's printer.
bool PutPrinter(Play& play, const Words& w) {
  static const char* const kOtherFiles[] = {"othdrv64.dll", "othui64.dll", "othhelp.chm"};
  Options o;
  bool product = w[0] == "printer";
  Words valued = product ? Words{"comment", "location", "key", "dsuser"} : Words{"port", "comment", "location"};
  valued.insert(valued.end(), kQueueWords.begin(), kQueueWords.end());
  if (w.size() < 2 || !o.Read(w, 2, valued, product ? Words{"settings"} : Words{}) || product == o.Has("port"))
    return false;
  if (!product && !play.otherDriver) play.otherDriver = AddDriver(kOtherDriver, kOtherFiles, kNoBuild);
  Wide name = W16(w[1]), port = W16(product ? kPort : o.Get("port")), comment = W16(o.Get("comment")),
       driver = W16(product ? kProductDriver : kOtherDriver), location = W16(o.Get("location")),
       processor = W16("winprint"), type = W16("RAW");
  PRINTER_INFO_2W info = {nullptr, Ptr(name), nullptr, Ptr(port), Ptr(driver), Ptr(comment), Ptr(location),
                          nullptr, nullptr, Ptr(processor), Ptr(type), nullptr, nullptr, PRINTER_ATTRIBUTE_QUEUED,
                          1, 0, 0, 0, 0, 0, 0};
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  bool ok = printer != nullptr;
  for (const char* field : {"key", "dsuser"}) {
    if (!ok || !o.Has(field)) continue;
    std::string key = o.Get(field);
    ok = SetPrinterDataExA(printer, field[0] == 'k' ? "PrinterDriverData" : "DsUser", "SubKey", REG_SZ,
                           reinterpret_cast<BYTE*>(&key[0]), static_cast<DWORD>(key.size() + 1)) == ERROR_SUCCESS;
    if (!o.Has("settings")) continue;
    if (!std::count(play.settingsKeys.begin(), play.settingsKeys.end(), key)) play.settingsKeys.push_back(key);
    ok = ok && SetText(HKEY_USERS, UserHive() + kSettingsRoot + key, "deleted", W16("1"));
  }
  if (printer != nullptr) ClosePrinter(printer);
  bool queue = std::any_of(kQueueWords.begin(), kQueueWords.end(), [&o](const std::string& q) { return o.Has(q); });
  return ok && (!queue || SetQueue(w[1], o));
}

// "many N": N product printers carried by every install, "Orvandelle 001" the first, each with
// its own comment, location and settings key, the 107th the default.
Words ManyPrinter(int i) {
  std::string n = std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i), key = "K-" + n;
  return {"Orvandelle " + n, "comment", "Desk " + n, "location", "Floor " + std::to_string(i % 5) + ", room " + n,
          "key", key};
}

bool Many(Play& play, const Words& w) {
  if (w.size() != 2 || !Number(w[1])) return false;
  bool ok = true;
  for (int i = 1; i <= static_cast<int>(Num(w[1])); i++) {
    Words printer = ManyPrinter(i);
    printer.insert(printer.begin(), "printer");
    printer.insert(printer.end(), {"dsuser", printer.back(), "settings"});
    ok = PutPrinter(play, printer) && ok;
  }
  return SetDefaultPrinterW(W16("Orvandelle 107").c_str()) && ok;
}

// "copy BUILD NAME PATH": a component of BUILD put at PATH.
bool Copy(Play&, const Words& w) {
  int build = 0;
  return w.size() == 4 && ParseBuild(w[1], build) && ReplaceFile(w[3], ComponentBytes(w[2], build));
}

// "pending SOURCE [TARGET]", "pending2 ...": a pair appended to the first or second list, as
// another program's setup leaves it. A plain path is written as Wine and older systems write it
// ("\??\PATH"); an entry that begins with "*", "!", "@" or "\" is written as it stands.
std::string PendingEntry(const std::string& text) {
  return text.empty() || std::string("*!@\\").find(text[0]) != std::string::npos ? text : "\\??\\" + text;
}

bool AddPending(Play&, const Words& w) {
  if (w.size() < 2 || w.size() > 3) return false;
  std::string value = kPendingValue + std::string(w[0] == "pending2" ? "2" : "");
  Words list;
  ReadTexts(HKEY_LOCAL_MACHINE, kSessionManager, value, list);
  list.push_back(PendingEntry(w[1]));
  list.push_back(w.size() == 3 ? PendingEntry(w[2]) : "");
  Wide data;
  for (const std::string& text : list) data += W16(text) + WCHAR(0);
  return SetText(HKEY_LOCAL_MACHINE, kSessionManager, value, data, REG_MULTI_SZ);
}

// "record damaged NAME": the record of printers being carried over holds NAME's settings cut
// short by one byte.
bool Record(Play&, const Words& w) {
  if (w.size() != 3 || w[1] != "damaged") return false;
  std::string data = "RVC2";
  const DWORD numbers[] = {0, PRINTER_ATTRIBUTE_QUEUED, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0};
  for (DWORD number : numbers) data += std::string(reinterpret_cast<const char*>(&number), 4);
  // the counted key, then four empty texts, no permissions and no user's default
  data.insert(data.size() - 6 * 4, "K-ghost");
  return SetValue(HKEY_LOCAL_MACHINE, kRecordKey, w[2], REG_BINARY, data.substr(0, data.size() - 1));
}

// "run [WORD] [shift] [unseen] [screenshot] [killed WHEN]" plays one command; "together WORD
// WORD" two started at once. A killed run's exit is "killed".
bool Run(Play& play, const Words& w) {
  RunAsked asked;
  for (size_t i = 1; i < w.size(); i++) {
    if (w[i] == "shift" || w[i] == "unseen" || w[i] == "screenshot")
      (w[i] == "shift" ? asked.shift : w[i] == "unseen" ? asked.unseen : asked.screenshot) = true;
    else if (w[i] == "killed" && i + 1 < w.size()) asked.killed = w[++i];
    else asked.words.push_back(w[i]);
  }
  asked.besideWindow = w[0] == "beside-window";
  if (w[0] != "run" ? asked.words.size() != 2 || asked.shift || asked.unseen : asked.words.size() > 1) return false;
  if (asked.words.empty()) asked.words.push_back("");
  play.othersBefore = Printers(false);
  play.runs = RunInstaller(asked);
  return !play.runs.empty();
}

// An action's words counted (its name too) when it has one shape; 0: it checks its words itself.
struct Action {
  bool (*act)(Play&, const Words&);
  size_t words = 0;
};
const std::map<std::string, Action> kActions = {
    {"product", {Layout}}, {"installed", {Installed}}, {"printer", {PutPrinter}}, {"other", {PutPrinter}},
    {"many", {Many}}, {"copy", {Copy}}, {"run", {Run}}, {"together", {Run}}, {"beside-window", {Run}},
    {"pending", {AddPending}}, {"pending2", {AddPending}}, {"record", {Record}},
    {"default", {[](Play&, const Words& w) { return SetDefaultPrinterW(W16(w[1]).c_str()) != FALSE; }, 2}},
    {"runvalue", {[](Play&, const Words& w) { return SetText(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, W16(w[1])); }, 2}},
    {"hold", {[](Play&, const Words& w) { return Hold(w[1]); }, 2}},
    {"squat", {[](Play&, const Words& w) { return Squat(w[1]); }, 2}},
    {"release", {[](Play&, const Words&) { return Release(), true; }, 1}},
    {"restart", {[](Play&, const Words&) { return Restart(); }, 1}},
    // The tray program running with its Run value, as after an install.
    {"tray", {[](Play&, const Words&) {
                return StartTray() && SetText(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, W16(kTrayPath));
              }, 1}},
};

// --- what must hold: each observer describes the machine in the table's words after the check's
// name, and the check holds when they are the table's words --------------------------------------

Words Window(Play& play, const Words&) {
  std::string title;
  for (const RunSeen& run : play.runs) title = run.title.empty() ? title : run.title;
  if (title.empty()) return {};
  return {title == "Orvandelle build 2547- Install error log!" ? "error"
          : title == "Orvandelle build 2547- Install log."     ? "plain"
                                                               : title};
}

Words Monitor(Play&, const Words& w) {
  std::vector<BYTE> buffer;
  std::string dll;
  for (const MONITOR_INFO_2W& m : Enumerate<MONITOR_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumMonitorsW(nullptr, 2, b, s, n, c);
       }))
    if (U8(m.pName) == kPort) dll = U8(m.pDLLName);
  if (dll.empty()) return {};
  if (Lower(dll) != "zelmon64.dll") return {"registered as " + dll};
  int build = kNoBuild;
  bool same = ParseBuild(w[1], build) && FileExists(kSystem + dll) && FileBuild(kSystem + dll) == build;
  return {same ? w[1] : "a monitor file of another build"};
}

// The product driver with its files in the version directory, of one build, the staged copies
// gone; the driver is its own data file.
Words Driver(Play&, const Words& w) {
  std::vector<BYTE> buffer;
  std::vector<DRIVER_INFO_3W> drivers;
  Wide environment = W16("Windows x64");
  auto list = [&environment](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
    return EnumPrinterDriversW(nullptr, Ptr(environment), 3, b, s, n, c);
  };
  for (const DRIVER_INFO_3W& d : Enumerate<DRIVER_INFO_3W>(buffer, list))
    if (U8(d.pName) == kProductDriver) drivers.push_back(d);
  if (drivers.size() != 1) return drivers.empty() ? Words{} : Words{std::to_string(drivers.size()) + " drivers"};
  int build = kNoBuild;
  ParseBuild(w[1], build);
  const WCHAR* paths[] = {drivers[0].pDriverPath, drivers[0].pConfigFile, drivers[0].pHelpFile};
  if (Lower(U8(drivers[0].pDataFile)) != Lower(U8(paths[0]))) return {"its data file " + U8(drivers[0].pDataFile)};
  for (int i = 0; i < 3; i++) {
    std::string path = kDrivers + std::string("3\\") + kDriverFiles[i];
    if (Lower(U8(paths[i])) != Lower(path)) return {"registered with " + U8(paths[i])};
    std::string file = kDriverFiles[i];
    if (FileExists(kDrivers + file)) return {"staged " + file + " left"};
    if (!FileExists(path) || (i < 2 && FileBuild(path) != build)) return {file + " of another build"};
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
  if (all[w[1]]["port"] != kPort) seen.push_back("on " + all[w[1]]["port"]);
  // a field the machine does not keep (Wine: permissions) is taken as the table writes it
  for (size_t i = 2; i + 1 < w.size(); i += 2)
    seen.insert(seen.end(), {w[i], PlaysCheck(w[i]) ? all[w[1]][w[i]] : w[i + 1]});
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
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  WCHAR name[512];
  DWORD length = 512;
  for (DWORD i = 0; RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; i++)
    names.push_back(U8(name)), length = 512;
  RegCloseKey(key);
  return names.empty() ? Words{"(an empty key)"} : names;
}

// "pending PAIR...", "pending2 PAIR...": the first or second list, a pair as "SOURCE" (a
// deletion) or "SOURCE=>TARGET". Windows 10 and 11 write "*1" before a deletion's source where
// Wine writes nothing: that marker is compared only where the table writes one.
Words Pending(Play&, const Words& w) {
  Words strings, pairs;
  ReadTexts(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue + std::string(w[0] == "pending2" ? "2" : ""), strings);
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::string source = strings[i];
    size_t word = pairs.size() + 1;
    bool markedInTable = word < w.size() && !w[word].empty() && w[word][0] == '*';
    if (!markedInTable && source.size() > 1 && source[0] == '*' && source[1] >= '0' && source[1] <= '9')
      source.erase(0, source.find_first_not_of("0123456789", 1));
    pairs.push_back(source + (strings[i + 1].empty() ? "" : "=>" + strings[i + 1]));
  }
  return pairs;
}

Words Tray(Play&, const Words&) {
  Words run;
  bool there = ReadTexts(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, run);
  std::string value = there ? (run.empty() ? "" : run[0]) : "(none)";
  bool file = FileExists(kTrayPath), runs = TrayRunning();
  if (value == kTrayPath && runs) return {"running"};
  if (value == "(none)" && !runs && !file) return {"removed"};
  return {"Run value " + value, runs ? "running" : "not running", file ? "its file there" : "its file gone"};
}

Words Marked(Play& play, const Words&) {
  Words marked, value;
  for (const std::string& key : play.settingsKeys)
    if (ReadTexts(HKEY_USERS, UserHive() + kSettingsRoot + key, "deleted", value)) marked.push_back(key);
  return marked;
}

// "many carried N": every printer of "many N" is still there with its fields, and no other.
Words ManyCarried(Play&, const Words&) {
  auto all = Printers(true);
  Words seen = {"carried", std::to_string(all.size())};
  int i = 0;
  for (auto& printer : all) {
    Words expected = ManyPrinter(++i);
    expected.insert(expected.end(), {"port", kPort});
    bool same = printer.first == expected[0];
    for (size_t f = 1; f + 1 < expected.size(); f += 2) same = same && printer.second[expected[f]] == expected[f + 1];
    if (!same) seen.push_back(printer.first + " differs");
  }
  std::string def = DefaultPrinter();
  if (def != "Orvandelle 107") seen.push_back("default " + def);
  return seen;
}

// "product gone-or-fresh": two runs started together ended one after the other: the machine is
// either uninstalled or as an install leaves an empty machine, never a mixture.
Words Outcome(Play& play, const Words&) {
  bool gone = Printers(true).empty() && Monitor(play, {"", "none"}).empty() && Driver(play, {"", "none"}).empty() &&
              Tray(play, {}) == Words{"removed"};
  bool fresh = Monitor(play, {"", "2547"}) == Words{"2547"} && PrinterNames(play, {}) == Words{"Orvandelle"};
  return {gone || fresh ? "gone-or-fresh" : "a mixture"};
}

Words OnMachine(Play&, const Words& w) {
  Words seen;
  return MachineCheck(w, seen) ? seen : Words{"a check this machine does not know"};
}

using ObserveFn = Words (*)(Play&, const Words&);
struct Observer {
  ObserveFn observe;
  size_t words;          // at least this many on the check's line, its name counted
  bool sorted = false;   // the table lists them in any order
  bool anyCase = false;  // paths, compared as Windows compares them
};
const std::map<std::string, Observer> kObservers = {
    {"exit", {[](Play& play, const Words&) {
                Words exits;
                for (const RunSeen& run : play.runs) exits.push_back(run.exit);
                return exits;
              }, 2}},
    {"default", {[](Play&, const Words&) { return DefaultPrinter().empty() ? Words{} : Words{DefaultPrinter()}; }, 2}},
    {"file", {[](Play&, const Words& w) { return Words{w[1], FileExists(w[1]) ? "present" : "absent"}; }, 3}},
    {"window", {Window, 2}},    {"monitor", {Monitor, 2}},     {"driver", {Driver, 2}},
    {"printers", {PrinterNames, 2, true}}, {"printer", {Printer, 2}}, {"others", {Others, 2}},
    {"pending", {Pending, 2, false, true}}, {"pending2", {Pending, 2, false, true}},
    {"tray", {Tray, 2}},        {"marked", {Marked, 2, true}}, {"many", {ManyCarried, 3}},
    {"product", {Outcome, 2}},  {"record", {Recorded, 2, true}},
    {"host", {OnMachine, 3}},   {"lock", {OnMachine, 2}},    {"tray-start", {OnMachine, 2}},
    {"planted", {OnMachine, 2}}, {"first-error", {OnMachine, 3}},
};

// The log of the last run: its log window, else what it wrote unseen; trimmed but where the
// whole log is compared.
Words RunLog(Play& play, bool trimmed) {
  for (size_t i = play.runs.size(); i > 0; i--) {
    Words lines = play.runs[i - 1].log;
    for (std::string& line : lines)
      if (trimmed) line.erase(0, line.find_first_not_of(" \t")), line.erase(line.find_last_not_of(" \t") + 1);
    if (play.runs[i - 1].logRead) return lines;
  }
  Fail(play.Where() + "the run showed no log");
  return {};
}

// "log LINE...", "nolog LINE...": lines the run's log holds or does not hold; "errors LINE...":
// its error lines, all and in order; "whole-log" with its lines under it: the log, line for line.
bool CheckLog(Play& play, const Step& check) {
  const Words& w = check.words;
  if (w[0] == "whole-log") {
    Words log = RunLog(play, false);
    for (size_t i = 0; i < std::max(log.size(), check.log.size()); i++) {
      std::string got = i < log.size() ? log[i] : "(end)", expected = i < check.log.size() ? check.log[i] : "(end)";
      if (got != expected)
        Fail(play.Where() + "line " + std::to_string(i + 1) + " of the whole log: got " + Joined({got}) +
             ", expected " + Joined({expected}));
    }
    return !check.log.empty();
  }
  if ((w[0] != "log" && w[0] != "nolog" && w[0] != "errors") || w.size() < 2) return false;
  Words lines = RunLog(play, true), errors, expected(w.begin() + 1, w.end());
  for (size_t i = 1; w[0] != "errors" && i < w.size(); i++) {
    bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Matches(l, w[i]); });
    if (found != (w[0] == "log")) Fail(play.Where() + "log line \"" + w[i] + (found ? "\" found" : "\" missing"));
  }
  if (w[0] != "errors") return true;
  for (const std::string& line : lines)
    if (line.find("Error(") != std::string::npos) errors.push_back(line);
  if (expected == Words{"none"}) expected.clear();
  bool same = errors.size() == expected.size();
  for (size_t i = 0; same && i < errors.size(); i++) same = Matches(errors[i], expected[i]);
  if (!same) Fail(play.Where() + "error lines: got " + Joined(errors) + ", expected " + Joined(expected));
  return true;
}

bool RunCheck(Play& play, const Step& check) {
  const Words& w = check.words;
  if (!PlaysCheck(w[0])) return true;
  auto found = kObservers.find(w[0]);
  if (found == kObservers.end()) return CheckLog(play, check);
  if (w.size() < found->second.words) return false;
  Words expected(w.begin() + 1, w.end()), seen = found->second.observe(play, w);
  if (expected == Words{"none"}) expected.clear();
  for (Words* words : {&expected, &seen})
    for (std::string& word : *words) word = found->second.anyCase ? Lower(word) : word;
  if (found->second.sorted) std::sort(expected.begin(), expected.end()), std::sort(seen.begin(), seen.end());
  if (Joined(seen) != Joined(expected))
    Fail(play.Where() + w[0] + ": got " + Joined(seen) + ", expected " + Joined(expected));
  return true;
}

bool RunAction(Play& play, const Words& w) {
  auto found = kActions.find(w[0]);
  if (found == kActions.end() || (found->second.words != 0 && found->second.words != w.size()))
    return MachineAction(w);
  // Only a row the simulated machine alone plays may have it force what Windows refuses: in a row
  // both play, a layout the runner could not make must fail there too.
  return found->second.act(play, w) || (found->second.words == 0 && play.scenario.only == "host" && MachineAction(w));
}

}  // namespace

std::vector<Scenario> ReadTable(const std::string& directory) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<Scenario> all;
  for (const std::string& file : files) ReadScenarioFile(file, all);
  return all;
}

void PlayScenario(const Scenario& scenario) {
  if (!scenario.error.empty()) return Fail(scenario.error);
  Play play(scenario);
  for (const Step& action : scenario.steps) {
    play.line = action.line;
    if (!RunAction(play, action.words))
      return Fail(play.Where() + "action \"" + action.words[0] + "\" with " + std::to_string(action.words.size() - 1) +
                  " words failed (error " + std::to_string(GetLastError()) + ") or is malformed");
    for (const Step& check : action.checks) {
      play.line = check.line;
      if (!RunCheck(play, check)) return Fail(play.Where() + "malformed check \"" + check.words[0] + "\"");
    }
  }
}

}  // namespace scenario
