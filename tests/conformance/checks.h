// The platform answers the installer relies on, as one table of checks without a test framework:
// the host tests play it against winsim, win64.conformance against Wine. Each failed expectation
// adds a line; where Wine answers otherwise than Windows, a check accepts Wine's answer only
// under Wine and notes it (winsim gives Windows' answers).
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/install_context.h"
#include "platform.h"
#include "spooler/spooler_queries.h"
#include "text/wide_text.h"

namespace conformance {

using Text = std::basic_string<WCHAR>;
inline WCHAR* Mutable(const WCHAR* text) { return const_cast<WCHAR*>(text); }

enum class Refusal { IgnoresStop, Disabled };

// What differs per side: `put` places a stand-in product module at `path`; `load` has a file
// loaded as the spooler's process loads a module, until `unload`; `refuse` makes the "spooler"
// service refuse from now on, or (off) puts it back.
struct Side {
  bool wine;
  const WCHAR *scratchFile, *heldFile;
  bool (*put)(const WCHAR* module, const WCHAR* path);
  bool (*load)(const WCHAR* path);
  void (*unload)(const WCHAR* path);
  bool (*refuse)(Refusal refusal, bool on);
};

struct Failures { std::vector<std::string> lines, wineNotes; };

inline bool Expect(Failures& f, bool ok, const std::string& what) { return ok || (f.lines.push_back(what), false); }

inline void ExpectNumber(Failures& f, unsigned long long got, unsigned long long expected, const std::string& what) {
  Expect(f, got == expected, what + ": got " + std::to_string(got) + ", expected " + std::to_string(expected));
}

// A call's answer as one number: 0 for success, else the last error (a failure that sets none
// must not pass for a success). Poisoned() before the call keeps a stale error from passing for it.
inline DWORD Answered(BOOL ok) { return ok ? 0 : (GetLastError() != 0 ? GetLastError() : 0xffffffff); }
inline DWORD Poisoned() { return SetLastError(0xdeadbeef), 0; }
// A call that answers its error itself, as one that sets the last error.
inline BOOL Returned(DWORD error) { return SetLastError(error), error == ERROR_SUCCESS; }

// Calls as data rows: each answers Windows' error (0: success), or under Wine Wine's, noted
// where the two differ.
struct Answer { std::string what; DWORD windows, wine; std::function<BOOL()> call; };

inline void ExpectAnswers(Failures& f, bool wine, const std::vector<Answer>& rows) {
  for (const Answer& row : rows) {
    if (wine && row.wine != row.windows)
      f.wineNotes.push_back(row.what + ": Wine " + std::to_string(row.wine) + ", Windows " +
                            std::to_string(row.windows));
    ExpectNumber(f, Answered(Poisoned() || row.call()), wine ? row.wine : row.windows, row.what);
  }
}

inline BOOL AddPrinterOn(const WCHAR* name, const WCHAR* port, const WCHAR* driver) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = Mutable(name);
  info.pPortName = Mutable(port);
  info.pDriverName = Mutable(driver);
  info.pPrintProcessor = Mutable(W("WinPrint"));
  info.pDatatype = Mutable(W("RAW"));  // Wine refuses a null data type
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  return added != nullptr && (ClosePrinter(added), true);
}

inline BOOL DeleteNamedPrinter(const WCHAR* name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(Mutable(name), &printer, &defaults)) return FALSE;
  BOOL deleted = DeletePrinter(printer);
  ClosePrinter(printer);
  return deleted;
}

// Without the product: another maker's driver and its printer "Text" on FILE:, no default. With
// it, added to that: the product's monitor, driver (the stand-in modules staged, added at level
// 6 as the installer adds) and printer on its port, made the default.
inline void SetUpSpooler(Failures& f, const Side& side, bool product) {
  WCHAR directory[MAX_PATH] = {0}, system[MAX_PATH] = {0};
  DWORD needed = 0;
  WCHAR* x64 = Mutable(W("Windows x64"));
  GetPrinterDriverDirectoryW(nullptr, x64, 1, reinterpret_cast<BYTE*>(directory), sizeof directory, &needed);
  GetSystemDirectoryW(system, MAX_PATH);
  Text driver = Text(directory) + (product ? W("\\zeldrv64.dll") : W("\\othdrv64.dll"));
  Text config = Text(directory) + (product ? W("\\zelui64.dll") : W("\\othui64.dll"));
  MONITOR_INFO_2W monitor = {Mutable(W("Orvandelle:")), x64, Mutable(W("zelmon64.dll"))};
  Expect(f, !product || (side.put(W("zelmon64.dll"), (Text(system) + W("\\zelmon64.dll")).c_str()) &&
                         AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor))), "monitor");
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = Mutable(product ? W("Orvandelle printer") : W("Other printer"));
  info.pEnvironment = x64;
  info.pDriverPath = info.pDataFile = &driver[0];
  info.pConfigFile = &config[0];
  Expect(f, side.put(W("zeldrv64.dll"), driver.c_str()) && side.put(W("zelui64.dll"), config.c_str()), "driver staged");
  ExpectNumber(f, Answered(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES)), 0,
               "driver");
  ExpectNumber(f, Answered(product ? AddPrinterOn(W("Orvandelle"), W("Orvandelle:"), info.pName)
                                   : AddPrinterOn(W("Text"), W("FILE:"), info.pName)), 0, "printer");
  Expect(f, !product || SpoolerSetDefaultPrinterW(W("Orvandelle")), "default printer");
}

// --- Read-only spooler queries ------------------------------------------------------------------
// On the machine as set up: an existing printer, the default printer (null: none), and whether
// the product's monitor and driver are installed. Only what the installer reads is asked, each
// through the installer's own size-then-data calls: its monitor and driver by name, the printer
// snapshot it marks the default in itself, one printer's driver path, and the settings key read
// into 64 bytes.
inline void CheckQueries(Failures& f, const WCHAR* printerName, const WCHAR* defaultPrinter, bool product) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!Expect(f, OpenPrinterW(Mutable(printerName), &printer, &defaults), "printer opened")) return;
  InstallContext context{};
  MonitorList monitors;
  EnumMonitorList(monitors, context);
  Expect(f, (FindOwnMonitor(monitors) >= 0) == product, "monitor list: own monitor found");
  FreeMonitorList(monitors);
  ReleaseText(context.LogText);
  DriverList drivers;
  EnumDriverList(drivers, W("Windows x64"));
  Expect(f, (FindOwnDriver(drivers) >= 0) == product, "driver list: own driver found");
  FreeDriverList(drivers);

  // The snapshot holds EnumPrintersW's answer with its strings behind the entries, and 32 zero
  // bytes; exactly the default is marked. The installer reads the strings while it keeps it.
  DWORD answered = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &answered, &returned);
  MarkDefaultPrinter(context);
  const PrinterSnapshot& snapshot = context.Printers;
  if (Expect(f, snapshot.count > 0 && snapshot.buffer != nullptr, "snapshot: printers listed")) {
    const BYTE *strings = snapshot.buffer + snapshot.count * sizeof(PRINTER_INFO_2W), *end = snapshot.buffer + answered;
    bool slackZero = true, inside = true, marksRight = true;
    for (DWORD i = 0; i < 32; i++) slackZero &= end[i] == 0;
    for (DWORD i = 0; i < snapshot.count; i++) {
      const PRINTER_INFO_2W* entry = SnapshotEntry(snapshot, i);
      for (const WCHAR* text : {entry->pPrinterName, entry->pPortName, entry->pDriverName})
        inside &= reinterpret_cast<const BYTE*>(text) >= strings && reinterpret_cast<const BYTE*>(text) < end;
      bool isDefault = defaultPrinter != nullptr && TextEquals(entry->pPrinterName, defaultPrinter);
      marksRight &= ((entry->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0) == isDefault;
    }
    Expect(f, slackZero, "snapshot: the 32 bytes behind the spooler's answer stay zero");
    Expect(f, inside, "snapshot: strings lie behind the entries");
    Expect(f, marksRight, "snapshot: exactly the default printer is marked");
  }
  FreePrinterSnapshot(context.Printers);

  // One printer's settings and its driver, whose path the version check reads.
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  const auto* entry = reinterpret_cast<const PRINTER_INFO_2W*>(info.buffer);
  BYTE* driver = GetDriverInfo2(printer);
  const auto* driverInfo = reinterpret_cast<const DRIVER_INFO_2W*>(driver);
  Expect(f, entry != nullptr && TextEquals(entry->pPrinterName, printerName) && driverInfo != nullptr &&
                TextEquals(driverInfo->pName, entry->pDriverName) && driverInfo->pDriverPath != nullptr,
         "single printer: its name, its driver and the driver's path");
  for (BYTE* block : {driver, info.buffer})
    if (block != nullptr) GlobalFree(block);

  // The default printer: none set, 2; otherwise its name.
  WCHAR name[256] = {0};
  DWORD chars = 256;
  DWORD answer = Answered(SpoolerGetDefaultPrinterW(name, &chars));
  if (defaultPrinter == nullptr)
    ExpectNumber(f, answer, ERROR_FILE_NOT_FOUND, "default printer: none set");
  else
    Expect(f, answer == 0 && TextEquals(name, defaultPrinter), "default printer: its name");

  // The settings key in a 64-byte buffer, plain and under "DsUser": a value never written 2;
  // 64 characters do not fit with the terminator (234), 63 do, as REG_SZ.
  for (const char* key : {static_cast<const char*>(nullptr), "DsUser"}) {
    const std::string label = key ? std::string("GetPrinterDataExA ") + key : "GetPrinterDataA";
    char buffer[64] = {0};
    DWORD type = 0, needed = 0;
    auto get = [&](const char* value) {
      auto* data = reinterpret_cast<BYTE*>(buffer);
      return Returned(key ? GetPrinterDataExA(printer, key, value, &type, data, 64, &needed)
                          : GetPrinterDataA(printer, const_cast<char*>(value), &type, data, 64, &needed));
    };
    auto set = [&](DWORD length) {
      const std::string text(length, 'k');
      auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(text.c_str()));
      return Returned(key ? SetPrinterDataExA(printer, key, "ConformanceSize", REG_SZ, data, length + 1)
                          : SetPrinterDataA(printer, const_cast<char*>("ConformanceSize"), REG_SZ, data, length + 1));
    };
    ExpectAnswers(f, false, {{label + ": a missing value", 2, 2, [&] { return get("ConformanceNeverWritten"); }},
                             {label + ": 64 characters written", 0, 0, [&] { return set(64); }},
                             {label + ": 64 characters in 64 bytes", 234, 234, [&] { return get("ConformanceSize"); }},
                             {label + ": 63 characters written", 0, 0, [&] { return set(63); }},
                             {label + ": 63 characters in 64 bytes", 0, 0, [&] { return get("ConformanceSize"); }}});
    Expect(f, type == REG_SZ && std::string(buffer) == std::string(63, 'k'), label + ": 63 characters as REG_SZ");
  }
  Expect(f, ClosePrinterHandle(printer) != FALSE, "printer closed");
}

// --- System calls outside the spooler -------------------------------------------------------
// Windows' quoting: the program name ends at a space or its closing quote and knows no escapes;
// 2n backslashes before a quote give n and the quote delimits, 2n+1 give n and a literal quote;
// other backslashes are literal; a doubled quote inside quotes is literal. Each case: a line and
// its arguments joined by "|"; the empty line gives the program's own path.
inline void CheckCommandLineSplitting(Failures& f, const Side&) {
  WCHAR self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::pair<const WCHAR*, const WCHAR*> cases[] = {
      {W("prog a b"), W("prog|a|b")}, {W("p \"a b\" c"), W("p|a b|c")},
      {W("\"C:\\Program Files\\x.exe\" in"), W("C:\\Program Files\\x.exe|in")}, {W("C:\\a\\\"b c"), W("C:\\a\\\"b|c")},
      {W("p a\\\\b"), W("p|a\\\\b")}, {W("p a\\\"b"), W("p|a\"b")}, {W("p a\\\\\"b c\""), W("p|a\\b c")},
      {W("p a\\\\\\\"b"), W("p|a\\\"b")}, {W("p \"a\"\"b\""), W("p|a\"b")}, {W("p \"\" x"), W("p||x")},
      {W("p\t a  \t"), W("p|a")}, {W(""), self}};
  for (const auto& row : cases) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(row.first, &count);
    Text joined;
    for (int i = 0; args != nullptr && i < count; i++) joined += (i ? W("|") : W("")) + Text(args[i]);
    if (args != nullptr) LocalFree(args);
    Expect(f, args != nullptr && joined == row.second, "case " + std::to_string(&row - cases + 1));
  }
}

// The list's UTF-16 units; its type 0 when it is missing.
inline Text ReadPending(HKEY key, DWORD* type) {
  DWORD size = 0;
  *type = 0;
  if (RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, type, nullptr, &size)) return Text();
  Text units(size / sizeof(WCHAR), 0);
  RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, type, reinterpret_cast<BYTE*>(&units[0]), &size);
  return units;
}

// A deletion at the next start appends "\??\path" and an empty string to the REG_MULTI_SZ list
// at once; Windows 10 and 11 write "*1" before it, Wine does not. The list is put back
// afterwards, so nothing is carried out at the next start.
inline void CheckDeletionAtReboot(Failures& f, const Side& side) {
  HKEY key = nullptr;
  if (!Expect(f, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS,
              "the session manager's key opened"))
    return;
  const WCHAR* path = side.scratchFile;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  DWORD typeBefore = 0, typeAfter = 0;
  Text before = ReadPending(key, &typeBefore);
  DWORD answer = Answered(MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  Text after = ReadPending(key, &typeAfter);
  if (typeBefore == 0)
    RegDeleteValueA(key, "PendingFileRenameOperations");
  else
    RegSetValueExW(key, W("PendingFileRenameOperations"), 0, typeBefore, reinterpret_cast<const BYTE*>(before.data()),
                   static_cast<DWORD>(before.size() * sizeof(WCHAR)));
  RegCloseKey(key);
  DeleteFileW(path);
  if (!before.empty() && before.back() == 0) before.pop_back();  // the list's closing empty string
  ExpectNumber(f, answer, 0, "MoveFileExW");
  ExpectNumber(f, typeAfter, REG_MULTI_SZ, "the list's type");
  Expect(f, after == before + W("\\??\\") + path + Text(3, 0) || after == before + W("*1\\??\\") + path + Text(3, 0),
         "\"\\??\\\" (or \"*1\\??\\\") and the path, then an empty string, appended");
}

// --- Changes to the machine -------------------------------------------------------------------
// Loaded: deleting 5, writing 32, reading works. Open without sharing: 32 for all three. Open
// sharing reading: 32 for deleting and writing. Once let go, the file can be deleted.
inline void CheckHeldFiles(Failures& f, const Side& side) {
  struct Row { const char* label; bool loaded; DWORD share, deleting, writing, reading; };
  const Row rows[] = {{"loaded", true, 0, 5, 32, 0}, {"opened, share 0", false, 0, 32, 32, 32},
                      {"opened, share read", false, FILE_SHARE_READ, 32, 32, 0}};
  const WCHAR* path = side.heldFile;
  auto open = [path](DWORD access, DWORD share) {
    HANDLE file = CreateFileW(path, access, share, nullptr, access == GENERIC_WRITE ? CREATE_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE ? file : nullptr;
  };
  auto opens = [&](DWORD access) { HANDLE file = open(access, FILE_SHARE_READ); return file && CloseHandle(file); };
  for (const Row& row : rows) {
    const std::string label = row.label;
    HANDLE held = nullptr;
    bool holds = side.put(W("zeldrv64.dll"), path) &&
                 (row.loaded ? side.load(path) : (held = open(GENERIC_READ, row.share)) != nullptr);
    if (!Expect(f, holds, label + ": set up")) continue;
    ExpectAnswers(f, false, {{label + ": DeleteFileW", row.deleting, 0, [path] { return DeleteFileW(path); }},
                             {label + ": opened for writing", row.writing, 0, [&] { return opens(GENERIC_WRITE); }},
                             {label + ": opened for reading", row.reading, 0, [&] { return opens(GENERIC_READ); }}});
    if (row.loaded) side.unload(path);
    if (held != nullptr) CloseHandle(held);
    Expect(f, DeleteFileW(path) != FALSE, label + ": deleted once let go");
  }
}

inline bool ReachesState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status = {};
  for (int poll = 0; poll <= 100; poll++, Sleep(200))
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
  return false;
}

// The spooler service, step by step: starting a running service 1056; stopping a stopped one
// 1062 with the status filled; a disabled one does not start, 1058; one that accepts no STOP
// answers 1052 and keeps running. The service is left running with the refusals withdrawn.
inline void CheckServiceAnswers(Failures& f, const Side& side) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, W("spooler"), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)
                              : nullptr;
  // 's' start, 'S' start unless running, 'x' stop, '?' the state now; 'D' or 'I' refuse
  // (disabled, ignoring STOP), 'd' or 'i' withdraw. A state is reached after a success, and
  // reported in the status filled by a failed stop.
  struct Step { const char* what; char op; DWORD answer, state; };
  const DWORD running = SERVICE_RUNNING, stopped = SERVICE_STOPPED;
  const Step steps[] = {
      {"set up running", 'S', 0, running}, {"starting a running one", 's', 1056, 0}, {"stopped", 'x', 0, stopped},
      {"stopping a stopped one", 'x', 1062, stopped}, {"disabled", 'D', 0, 0},
      {"starting a disabled one", 's', 1058, 0}, {"enabled again", 'd', 0, 0}, {"made to ignore STOP", 'I', 0, 0},
      {"started ignoring STOP", 's', 0, running},
      {"a stop it does not accept", 'x', 1052, 0}, {"still running after the refused stop", '?', 0, running},
      {"ignoring STOP withdrawn", 'i', 0, 0}, {"started after the refusals", 'S', 0, running},
      {"stops after the refusals", 'x', 0, stopped}, {"starts after the refusals", 's', 0, running}};
  for (const Step& step : steps) {
    if (!Expect(f, service != nullptr, "spooler opened")) break;
    const std::string what = step.what;
    const Refusal refusal = step.op == 'D' || step.op == 'd' ? Refusal::Disabled : Refusal::IgnoresStop;
    SERVICE_STATUS status = {};
    bool up = QueryServiceStatus(service, &status) && status.dwCurrentState == running;
    status.dwCurrentState = 0;
    DWORD answer = 0;
    const bool on = step.op == 'D' || step.op == 'I';
    if (on || step.op == 'd' || step.op == 'i') answer = side.refuse(refusal, on) ? 0 : 0xffffffff;
    if (step.op == 's' || (step.op == 'S' && !up)) answer = Answered(Poisoned() || StartServiceW(service, 0, nullptr));
    if (step.op == 'x') answer = Answered(Poisoned() || ControlService(service, SERVICE_CONTROL_STOP, &status));
    ExpectNumber(f, answer, step.answer, what);
    if (step.state != 0 && step.answer == 0) Expect(f, ReachesState(service, step.state), what + ": reached");
    if (step.state != 0 && step.answer != 0) ExpectNumber(f, status.dwCurrentState, step.state, what + ": the status");
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// AddPrinterW: an unknown driver 1797, a name that exists 1802, a port no monitor provides 1796.
// A deleted printer does not open: 1801. After the default printer is deleted there is no
// default or another existing printer is it (Windows documents neither; Wine makes the first
// listed printer the default). Played on the set-up without the product.
inline void CheckPrinterChanges(Failures& f, const Side& side) {
  const WCHAR *driver = W("Other printer"), *kept = W("Conformance kept"), *deleted = W("Conformance deleted"),
              *noPort = W("Conformance no port");
  HANDLE gone = nullptr;
  ExpectAnswers(f, side.wine, {
      {"AddPrinterW: an unknown driver", 1797, 1797, [] { return AddPrinterOn(W("No driver"), W("FILE:"), W("X")); }},
      {"AddPrinterW: a new name", 0, 0, [&] { return AddPrinterOn(kept, W("FILE:"), driver); }},
      {"AddPrinterW: another new name", 0, 0, [&] { return AddPrinterOn(deleted, W("FILE:"), driver); }},
      {"AddPrinterW: a name that exists", 1802, 0, [&] { return AddPrinterOn(kept, W("FILE:"), driver); }},
      {"AddPrinterW: a port no monitor provides", 1796, 0, [&] { return AddPrinterOn(noPort, W("NOPORT9:"), driver); }},
      {"default printer: set", 0, 0, [&] { return SpoolerSetDefaultPrinterW(deleted); }},
      {"DeletePrinter: the default printer", 0, 0, [&] { return DeleteNamedPrinter(deleted); }},
      {"OpenPrinterW: a deleted printer", 1801, 1801, [&] { return OpenPrinterW(Mutable(deleted), &gone, nullptr); }}});
  if (gone != nullptr) ClosePrinter(gone);
  DeleteNamedPrinter(noPort);  // where it was added
  WCHAR name[256] = {0};
  DWORD chars = 256;
  Text after = SpoolerGetDefaultPrinterW(name, &chars) ? Text(name) : Text();
  HANDLE named = nullptr;
  Expect(f, after != deleted && (after.empty() || OpenPrinterW(&after[0], &named, nullptr)),
         "default printer: none or one that exists, not the deleted one");
  if (named != nullptr) ClosePrinter(named);
  if (side.wine) {
    InstallContext context{};
    MarkDefaultPrinter(context);
    Expect(f, context.Printers.count > 0 && after == SnapshotEntry(context.Printers, 0)->pPrinterName,
           "default printer: Wine makes the first listed one it");
    f.wineNotes.push_back("default printer: the first listed printer becomes the default after a deletion");
    FreePrinterSnapshot(context.Printers);
    ReleaseText(context.LogText);
  }
  Expect(f, DeleteNamedPrinter(kept), "DeletePrinter: a printer");
}

// A printer's queue settings changed at level 2 as `change` says, with full access.
template <typename Change>
BOOL ChangeQueue(const WCHAR* name, Change change) {
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(Mutable(name), &printer, &all)) return FALSE;
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 1);
  BOOL ok = GetPrinterW(printer, 2, buffer.data(), needed, &needed);
  if (ok) change(*reinterpret_cast<PRINTER_INFO_2W*>(buffer.data()));
  ok = ok && SetPrinterW(printer, 2, buffer.data(), 0);
  DWORD error = GetLastError();
  ClosePrinter(printer);
  SetLastError(error);
  return ok;
}

// SetPrinterW level 2 keeps a queue's share name, sharing, spooling options, priorities and
// hours, and EnumPrintersW reports them. A separator file that is not there: 1799; sharing under
// a name another queue shares: 1215 (Wine takes both). Played on the set-up without the product.
inline void CheckQueueSettings(Failures& f, const Side& side) {
  const WCHAR *driver = W("Other printer"), *first = W("Conformance queue"), *second = W("Conformance queue 2");
  const DWORD kept = PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_QUEUED;
  ExpectAnswers(f, side.wine, {
      {"AddPrinterW: two queues", 0, 0, [&] { return AddPrinterOn(first, W("FILE:"), driver) &&
                                                     AddPrinterOn(second, W("FILE:"), driver); }},
      {"SetPrinterW: shared, priorities, hours", 0, 0, [&] { return ChangeQueue(first, [&](PRINTER_INFO_2W& q) {
         q.pShareName = Mutable(W("CONFQ"));
         q.Attributes = (q.Attributes & ~DWORD(PRINTER_ATTRIBUTE_DIRECT)) | kept;
         q.Priority = 9, q.DefaultPriority = 4, q.StartTime = 60, q.UntilTime = 120;
       }); }},
      {"SetPrinterW: a separator file that is not there", 1799, 0, [&] { return ChangeQueue(second, [](PRINTER_INFO_2W& q) {
         q.pSepFile = Mutable(W("C:\\no such folder\\none.sep"));
       }); }},
      {"SetPrinterW: a share name another queue shares", 1215, 0, [&] { return ChangeQueue(second, [](PRINTER_INFO_2W& q) {
         q.pShareName = Mutable(W("CONFQ"));
         q.Attributes |= PRINTER_ATTRIBUTE_SHARED;
       }); }}});
  InstallContext context{};
  MarkDefaultPrinter(context);
  bool found = false;
  for (DWORD i = 0; i < context.Printers.count; i++) {
    const PRINTER_INFO_2W& q = *SnapshotEntry(context.Printers, i);
    if (q.pPrinterName == nullptr || Text(q.pPrinterName) != first) continue;
    found = true;
    Expect(f, q.pShareName != nullptr && Text(q.pShareName) == W("CONFQ"), "EnumPrintersW: the share name");
    ExpectNumber(f, q.Attributes & (kept | PRINTER_ATTRIBUTE_DIRECT), kept, "EnumPrintersW: the attributes");
    ExpectNumber(f, q.Priority * 1000000ull + q.DefaultPriority * 10000ull + q.StartTime * 1000ull + q.UntilTime,
                 9000000ull + 40000ull + 60000ull + 120ull, "EnumPrintersW: priorities and hours");
  }
  Expect(f, found, "EnumPrintersW: the queue");
  FreePrinterSnapshot(context.Printers);
  ReleaseText(context.LogText);
  Expect(f, DeleteNamedPrinter(first) && DeleteNamedPrinter(second), "DeletePrinter: both queues");
}

// The registry calls of the record of printers being carried over: a key made under
// HKEY_LOCAL_MACHINE and flushed; values listed in turn (a name that does not fit 234, past the
// last 259); deleting a missing value 2; a key with a key below it is not deleted (5).
inline void CheckRecordKey(Failures& f, const Side& side) {
  HKEY key = nullptr, below = nullptr;
  WCHAR name[4];
  DWORD chars = 4;
  const char* path = "SOFTWARE\\Corvane\\Conformance record";
  auto make = [](const char* at, HKEY& made) {
    return Returned(RegCreateKeyExA(HKEY_LOCAL_MACHINE, at, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &made, nullptr));
  };
  const BYTE data[] = {1, 2, 3};
  ExpectAnswers(f, side.wine, {
      {"RegCreateKeyExA", 0, 0, [&] { return make(path, key); }},
      {"RegSetValueExW", 0, 0, [&] { return Returned(RegSetValueExW(key, W("Printer one"), 0, REG_BINARY, data, 3)); }},
      {"RegFlushKey", 0, 0, [&] { return Returned(RegFlushKey(key)); }},
      {"RegEnumValueW: a name that does not fit", 234, 234,
       [&] { return Returned(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr)); }},
      {"RegEnumValueW: past the last", 259, 259,
       [&] { return chars = 4, Returned(RegEnumValueW(key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr)); }},
      {"RegDeleteValueW: a missing value", 2, 2, [&] { return Returned(RegDeleteValueW(key, W("Printer two"))); }},
      {"RegDeleteValueW", 0, 0, [&] { return Returned(RegDeleteValueW(key, W("Printer one"))); }},
      {"RegCreateKeyExA: a key below", 0, 0, [&] { return make("SOFTWARE\\Corvane\\Conformance record\\below", below); }},
      {"RegDeleteKeyA: a key with a key below", 5, 5, [&] { return Returned(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path)); }},
      {"RegDeleteKeyA: the key below", 0, 0, [&] { return Returned(RegDeleteKeyA(key, "below")); }},
      {"RegDeleteKeyA", 0, 0, [&] { return Returned(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path)); }}});
  if (below != nullptr) RegCloseKey(below);
  if (key != nullptr) RegCloseKey(key);
}

// On the set-up with the product: adding its monitor again 3006, deleting an unknown one 3000,
// deleting the driver in use 3001 (Wine: 87 with its files, and deletes it without), deleting
// the monitor while its port is in use 3008 (Wine deletes it; so this comes last).
inline void CheckMonitorAndDriverChanges(Failures& f, const Side& side) {
  WCHAR *x64 = Mutable(W("Windows x64")), *monitor = Mutable(W("Orvandelle:"));
  WCHAR* name = Mutable(W("Orvandelle printer"));
  MONITOR_INFO_2W info = {monitor, x64, Mutable(W("zelmon64.dll"))};
  ExpectAnswers(f, side.wine, {
      {"AddMonitorW: installed already", 3006, 3006,
       [&] { return AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info)); }},
      {"DeleteMonitorW: an unknown monitor", 3000, 3000,
       [&] { return DeleteMonitorW(nullptr, x64, Mutable(W("No such monitor"))); }},
      {"DeletePrinterDriverExW: with files, in use", 3001, 87,
       [&] { return DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0); }},
      {"DeletePrinterDriverExW: without files, in use", 3001, 0,
       [&] { return DeletePrinterDriverExW(nullptr, x64, name, 0, 0); }},
      {"DeleteMonitorW: its port in use", 3008, 0, [&] { return DeleteMonitorW(nullptr, x64, monitor); }}});
}

// --- The road both sides play: one table, one runner ------------------------------------------
struct Check {
  const char* name;  // a set-up's name starts with "set-up": when it fails, the rest is not played
  void (*run)(Failures& f, const Side& side);
};

inline const Check kChecks[] = {
    {"CommandLineToArgvW", CheckCommandLineSplitting},
    {"deletion at the next start", CheckDeletionAtReboot},
    // A desktop session's window station has WSF_VISIBLE (a buffer too small: Windows 122, Wine
    // 111; the installer passes a whole one).
    {"window station", [](Failures& f, const Side&) {
       USEROBJECTFLAGS flags = {};
       DWORD needed = 0;
       Expect(f, GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) &&
                     (flags.dwFlags & WSF_VISIBLE), "WSF_VISIBLE");
     }},
    {"held file", CheckHeldFiles},
    {"service", CheckServiceAnswers},
    {"set-up without the product", [](Failures& f, const Side& side) { SetUpSpooler(f, side, false); }},
    {"queries without the product", [](Failures& f, const Side&) { CheckQueries(f, W("Text"), nullptr, false); }},
    {"printers added and deleted", CheckPrinterChanges},
    {"queue settings", CheckQueueSettings},
    {"record key", CheckRecordKey},
    {"set-up with the product", [](Failures& f, const Side& side) { SetUpSpooler(f, side, true); }},
    {"queries with the product",
     [](Failures& f, const Side&) { CheckQueries(f, W("Orvandelle"), W("Orvandelle"), true); }},
    {"monitor and driver changes", CheckMonitorAndDriverChanges},
};

// The checks whose name holds `only` (all without it), in the table's order; each line and note
// starts with its check's name.
inline Failures Run(const Side& side, const char* only = nullptr) {
  Failures all;
  for (const Check& check : kChecks) {
    if (only != nullptr && std::strstr(check.name, only) == nullptr) continue;
    Failures f;
    check.run(f, side);
    for (const std::string& line : f.lines) all.lines.push_back(std::string(check.name) + ": " + line);
    for (const std::string& note : f.wineNotes) all.wineNotes.push_back(std::string(check.name) + ": " + note);
    if (!f.lines.empty() && std::strncmp(check.name, "set-up", 6) == 0) break;
  }
  return all;
}

}  // namespace conformance
