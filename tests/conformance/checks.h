// The platform answers the installer relies on, as checks without a test framework: the host
// tests run them against winsim, win64.conformance against Wine. Each failed expectation adds a
// line; where Wine answers otherwise than Windows, the check accepts Wine's answer only under
// Wine and notes it (winsim gives Windows' answers).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "app/install_context.h"
#include "platform.h"
#include "spooler/spooler_queries.h"
#include "text/wide_text.h"

namespace conformance {

using Text = std::basic_string<WCHAR>;
inline Text TextOf(const WCHAR* chars) { return chars != nullptr ? Text(chars) : Text(); }

struct Failures {
  std::vector<std::string> lines, wineNotes;
};

inline bool Expect(Failures& f, bool ok, const std::string& what) { return ok || (f.lines.push_back(what), false); }

inline void ExpectNumber(Failures& f, unsigned long long got, unsigned long long expected, const std::string& what) {
  if (got != expected)
    f.lines.push_back(what + ": got " + std::to_string(got) + ", expected " + std::to_string(expected));
}

// A call's answer as one number: 0 for success, else the last error (a failure that sets none
// must not pass for a success).
inline DWORD Answered(BOOL ok) { return ok ? 0 : (GetLastError() != 0 ? GetLastError() : 0xffffffff); }

// The last error is poisoned before a call, so that a stale error cannot pass for its answer.
inline DWORD Poisoned() { return SetLastError(0xdeadbeef), 0; }

// Windows' answer, or under Wine Wine's (0: success), noted where the two differ.
inline void ExpectAnswer(Failures& f, bool wine, DWORD got, DWORD windows, DWORD wineAnswer, const std::string& what) {
  if (wine && wineAnswer != windows)
    f.wineNotes.push_back(what + ": Wine " + std::to_string(wineAnswer) + ", Windows " + std::to_string(windows));
  ExpectNumber(f, got, wine ? wineAnswer : windows, what);
}

// --- The machine each side sets up and changes --------------------------------------------------
enum class Hold { Loaded, OpenedUnshared, OpenedForReading };
enum class Refusal { IgnoresStop, Disabled };

// What differs per platform: `put` places a stand-in product module at `path`; `hold` has
// another process hold a file; `refuse` makes the "spooler" service refuse from now
// on, `withdraw` puts it back.
struct Machine {
  bool (*put)(const WCHAR* module, const WCHAR* path);
  bool (*hold)(const WCHAR* path, Hold how);
  void (*release)(const WCHAR* path);
  bool (*refuse)(Refusal refusal);
  void (*withdraw)(Refusal refusal);
};

inline DWORD AddPrinterAnswer(const WCHAR* name, const WCHAR* port, const WCHAR* driver) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<WCHAR*>(name);
  info.pPortName = const_cast<WCHAR*>(port);
  info.pDriverName = const_cast<WCHAR*>(driver);
  info.pPrintProcessor = const_cast<WCHAR*>(W("WinPrint"));
  info.pDatatype = const_cast<WCHAR*>(W("RAW"));  // Wine refuses a null data type
  Poisoned();
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  DWORD answer = Answered(added != nullptr);
  if (added != nullptr) ClosePrinter(added);
  return answer;
}

// The stand-in driver modules staged under the given names, added at level 6 as the installer adds.
inline DWORD AddDriver(const Machine& machine, const WCHAR* name, const WCHAR* driverFile, const WCHAR* configFile) {
  WCHAR directory[MAX_PATH] = {0};
  DWORD needed = 0;
  WCHAR* x64 = const_cast<WCHAR*>(W("Windows x64"));
  GetPrinterDriverDirectoryW(nullptr, x64, 1, reinterpret_cast<BYTE*>(directory), sizeof directory, &needed);
  Text driver = TextOf(directory) + W("\\") + driverFile, config = TextOf(directory) + W("\\") + configFile;
  if (!machine.put(W("zeldrv64.dll"), driver.c_str()) || !machine.put(W("zelui64.dll"), config.c_str())) return 2;
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = const_cast<WCHAR*>(name);
  info.pEnvironment = x64;
  info.pDriverPath = info.pDataFile = &driver[0];
  info.pConfigFile = &config[0];
  return Answered(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES));
}

// Without the product: another maker's driver and its printer "Text" on FILE:, no default. With
// it, added to that: the product's monitor, driver and printer on its port, made the default.
inline bool SetUpSpooler(Failures& f, const Machine& machine, bool withProduct) {
  const WCHAR* driver = withProduct ? W("Orvandelle printer") : W("Other printer");
  WCHAR system[MAX_PATH] = {0};
  GetSystemDirectoryW(system, MAX_PATH);
  MONITOR_INFO_2W monitor = {const_cast<WCHAR*>(W("Orvandelle:")), const_cast<WCHAR*>(W("Windows x64")),
                             const_cast<WCHAR*>(W("zelmon64.dll"))};
  Expect(f, !withProduct || (machine.put(W("zelmon64.dll"), (TextOf(system) + W("\\zelmon64.dll")).c_str()) &&
                             AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor))), "set-up: monitor");
  ExpectNumber(f, withProduct ? AddDriver(machine, driver, W("zeldrv64.dll"), W("zelui64.dll"))
                              : AddDriver(machine, driver, W("othdrv64.dll"), W("othui64.dll")), 0, "set-up: driver");
  ExpectNumber(f, withProduct ? AddPrinterAnswer(W("Orvandelle"), W("Orvandelle:"), driver)
                              : AddPrinterAnswer(W("Text"), W("FILE:"), driver), 0, "set-up: printer");
  Expect(f, !withProduct || SpoolerSetDefaultPrinterW(W("Orvandelle")), "set-up: default printer");
  return f.lines.empty();
}

// --- Read-only spooler queries ------------------------------------------------------------------
// An existing printer whose driver is installed, the default printer (null: none), and whether
// the product's monitor and driver are installed.
struct SpoolerFixture {
  const WCHAR *printerName, *defaultPrinter;
  bool ownMonitorInstalled, ownDriverInstalled;
};

// Every string of `count` entries lies behind the entries and inside `needed` bytes.
inline bool StringsInside(const BYTE* buffer, DWORD count, size_t entrySize, DWORD needed,
                          const std::vector<size_t>& offsets) {
  for (DWORD i = 0; i < count; i++)
    for (size_t offset : offsets) {
      const BYTE* text = *reinterpret_cast<BYTE* const*>(buffer + i * entrySize + offset);
      if (text != nullptr && (text < buffer + count * entrySize || text >= buffer + needed)) return false;
    }
  return true;
}

inline DriverList DriversAtLevel(DWORD level) {
  DriverList list{nullptr, level, 0};
  DWORD needed = 0, returned = 0;
  EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &returned);
  list.buffer = static_cast<BYTE*>(AllocateZeroed(needed));
  if (!EnumPrinterDriversW(nullptr, nullptr, level, list.buffer, needed, &needed, &list.count)) FreeDriverList(list);
  return list;
}

// A size query fails with 122 and names a size.
inline void CheckSizeQueries(Failures& f, HANDLE printer) {
  WCHAR* x64 = const_cast<WCHAR*>(W("Windows x64"));
  DWORD n = 0, returned = 0, all = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  const std::vector<std::pair<const char*, std::function<BOOL()>>> queries = {
      {"EnumMonitorsW", [&] { return EnumMonitorsW(nullptr, 2, nullptr, 0, &n, &returned); }},
      {"EnumPrinterDriversW", [&] { return EnumPrinterDriversW(nullptr, x64, 6, nullptr, 0, &n, &returned); }},
      {"EnumPrintersW", [&] { return EnumPrintersW(all, nullptr, 2, nullptr, 0, &n, &returned); }},
      {"GetPrinterW", [&] { return GetPrinterW(printer, 2, nullptr, 0, &n); }},
      {"GetPrinterDriverW", [&] { return GetPrinterDriverW(printer, x64, 2, nullptr, 0, &n); }}};
  for (const auto& query : queries) {
    n = 0;
    ExpectNumber(f, Answered(query.second()), ERROR_INSUFFICIENT_BUFFER, std::string("size query: ") + query.first);
    Expect(f, n > 0, std::string("size query: ") + query.first + " names a size");
  }
}

inline void CheckMonitorsAndDrivers(Failures& f, const SpoolerFixture& fixture) {
  InstallContext context{};
  MonitorList monitors;
  EnumMonitorList(monitors, context);
  DWORD needed = 0, returned = 0;
  EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned);
  Expect(f, monitors.level == 2 && StringsInside(monitors.buffer, monitors.count, sizeof(MONITOR_INFO_2W), needed,
                                                 {offsetof(MONITOR_INFO_2W, pName),
                                                  offsetof(MONITOR_INFO_2W, pDLLName),
                                                  offsetof(MONITOR_INFO_2W, pEnvironment)}),
         "monitor list: level 2, strings behind the entries inside the size asked for");
  Expect(f, (FindOwnMonitor(monitors) >= 0) == fixture.ownMonitorInstalled, "monitor list: own monitor found");
  Expect(f, Length(context.LogText) == 0 || monitors.count == 0, "monitor list: a filled list logs nothing");
  FreeMonitorList(monitors);
  ReleaseText(context.LogText);
  DriverList six;
  EnumDriverList(six, W("Windows x64"));
  int32_t expected = FindOwnDriver(six);
  Expect(f, six.level == 6 && (expected >= 0) == fixture.ownDriverInstalled, "driver list: own driver at level 6");
  for (DWORD level = 1; level <= 6; level++) {
    DriverList list = DriversAtLevel(level);
    Expect(f, FindOwnDriver(list) == expected, "driver list: the same index at level " + std::to_string(level));
    FreeDriverList(list);
  }
  six.level = 7;
  Expect(f, FindOwnDriver(six) == -1, "driver list: level 7 never matches");
  FreeDriverList(six);
}

// The snapshot holds EnumPrintersW's answer and 32 zero bytes; exactly the default is marked.
inline void CheckSnapshot(Failures& f, const SpoolerFixture& fixture) {
  InstallContext context{};
  MarkDefaultPrinter(context);
  PrinterSnapshot& snapshot = context.Printers;
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
  bool slackZero = Expect(f, snapshot.count > 0 && snapshot.buffer != nullptr, "snapshot: printers listed");
  for (DWORD i = 0; slackZero && i < 32; i++) slackZero = snapshot.buffer[needed + i] == 0;
  Expect(f, slackZero, "snapshot: the 32 bytes behind the spooler's answer stay zero");
  Expect(f, StringsInside(snapshot.buffer, snapshot.count, sizeof(PRINTER_INFO_2W), needed,
                          {offsetof(PRINTER_INFO_2W, pPrinterName), offsetof(PRINTER_INFO_2W, pPortName),
                           offsetof(PRINTER_INFO_2W, pDriverName)}),
         "snapshot: strings lie behind the entries");
  bool marksRight = true;
  for (DWORD i = 0; i < snapshot.count; i++) {
    const PRINTER_INFO_2W* entry = SnapshotEntry(snapshot, i);
    bool isDefault = fixture.defaultPrinter != nullptr && TextEquals(entry->pPrinterName, fixture.defaultPrinter);
    marksRight &= ((entry->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0) == isDefault;
  }
  Expect(f, marksRight, "snapshot: exactly the default printer is marked");
  FreePrinterSnapshot(snapshot);
  ReleaseText(context.LogText);
}

// One printer's settings, its driver, and a buffer one byte short of the size asked for.
inline void CheckSinglePrinter(Failures& f, const SpoolerFixture& fixture, HANDLE printer) {
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  const auto* entry = reinterpret_cast<const PRINTER_INFO_2W*>(info.buffer);
  if (!Expect(f, entry != nullptr, "single printer: its settings")) return;
  Expect(f, TextEquals(entry->pPrinterName, fixture.printerName), "single printer: its name");
  DWORD needed = 0;
  BYTE* shortBuffer = static_cast<BYTE*>(AllocateZeroed(info.size));
  ExpectNumber(f, Answered(GetPrinterW(printer, 2, shortBuffer, info.size - 1, &needed)), ERROR_INSUFFICIENT_BUFFER,
               "single printer: one byte short");
  ExpectNumber(f, needed, info.size, "single printer: one byte short asks for the same size");
  BYTE* driver = GetDriverInfo2(printer);
  const auto* driverInfo = reinterpret_cast<const DRIVER_INFO_2W*>(driver);
  Expect(f, driverInfo != nullptr && TextEquals(driverInfo->pName, entry->pDriverName), "single printer: its driver");
  for (BYTE* block : {shortBuffer, driver, info.buffer})
    if (block != nullptr) GlobalFree(block);
}

// None set: 2. Otherwise the name and its length with the terminator; one character short: 122
// and that length.
inline void CheckDefaultPrinter(Failures& f, const SpoolerFixture& fixture) {
  WCHAR name[256] = {0};
  DWORD chars = 256;
  DWORD answer = Answered(SpoolerGetDefaultPrinterW(name, &chars));
  if (!fixture.defaultPrinter) return ExpectNumber(f, answer, ERROR_FILE_NOT_FOUND, "default printer: none set");
  DWORD length = static_cast<DWORD>(TextLength(fixture.defaultPrinter));
  Expect(f, answer == 0 && TextEquals(name, fixture.defaultPrinter), "default printer: its name");
  ExpectNumber(f, chars, length + 1, "default printer: its length with the terminator");
  chars = length;
  ExpectNumber(f, Answered(SpoolerGetDefaultPrinterW(name, &chars)), ERROR_INSUFFICIENT_BUFFER,
               "default printer: one character short");
  ExpectNumber(f, chars, length + 1, "default printer: one character short asks for the length");
}

// Printer data around a 64-byte buffer, plain and under "DsUser" (the installer's key): a value
// never written 2; 63 characters 0, needed 64, REG_SZ; 64 characters 234, needed 65.
inline void CheckPrinterData(Failures& f, HANDLE printer, const char* key) {
  const std::string label = key ? std::string("GetPrinterDataExA ") + key : "GetPrinterDataA";
  BYTE buffer[64] = {0};
  DWORD type = 0, needed = 0;
  auto get = [&](const char* name) -> DWORD {
    if (key == nullptr) return GetPrinterDataA(printer, const_cast<char*>(name), &type, buffer, 64, &needed);
    return GetPrinterDataExA(printer, key, name, &type, buffer, 64, &needed);
  };
  ExpectNumber(f, get("ConformanceNeverWritten"), ERROR_FILE_NOT_FOUND, label + ": a missing value");
  for (DWORD length : {63, 64}) {
    const std::string text(length, 'k'), what = label + ": " + std::to_string(length) + " characters";
    BYTE* data = reinterpret_cast<BYTE*>(const_cast<char*>(text.c_str()));
    ExpectNumber(f, key ? SetPrinterDataExA(printer, key, "ConformanceSize", REG_SZ, data, length + 1)
                        : SetPrinterDataA(printer, const_cast<char*>("ConformanceSize"), REG_SZ, data, length + 1),
                 ERROR_SUCCESS, what + " written");
    ExpectNumber(f, get("ConformanceSize"), length < 64 ? ERROR_SUCCESS : ERROR_MORE_DATA, what + " in 64 bytes");
    ExpectNumber(f, needed, length + 1, what + " need their length and the terminator");
    Expect(f, length == 64 || (type == REG_SZ && std::string(reinterpret_cast<char*>(buffer)) == text),
           what + " read back as REG_SZ");
  }
}

inline Failures RunSpoolerQueryChecks(const SpoolerFixture& fixture) {
  Failures f;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!Expect(f, OpenPrinterW(const_cast<WCHAR*>(fixture.printerName), &printer, &defaults), "printer opened"))
    return f;
  CheckSizeQueries(f, printer);
  CheckMonitorsAndDrivers(f, fixture);
  CheckSnapshot(f, fixture);
  CheckSinglePrinter(f, fixture, printer);
  CheckDefaultPrinter(f, fixture);
  CheckPrinterData(f, printer, nullptr);
  CheckPrinterData(f, printer, "DsUser");
  Expect(f, ClosePrinterHandle(printer) != FALSE, "printer closed");
  return f;
}

// --- System calls outside the spooler -------------------------------------------------------
// Windows' quoting: the program name ends at a space or its closing quote and knows no escapes;
// 2n backslashes before a quote give n and the quote delimits, 2n+1 give n and a literal quote;
// other backslashes are literal; a doubled quote inside quotes is literal.
inline bool SplitsInto(const WCHAR* line, const std::vector<const WCHAR*>& expected) {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(line, &count);
  if (args == nullptr) return false;
  bool same = count == static_cast<int>(expected.size());
  for (int i = 0; same && i < count; i++) same = TextEquals(args[i], expected[i]);
  LocalFree(args);
  return same;
}

inline void CheckCommandLineSplitting(Failures& f) {
  WCHAR self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::vector<std::pair<const WCHAR*, std::vector<const WCHAR*>>> cases = {
      {W("prog a b"), {W("prog"), W("a"), W("b")}}, {W("p \"a b\" c"), {W("p"), W("a b"), W("c")}},
      {W("\"C:\\Program Files\\x.exe\" in"), {W("C:\\Program Files\\x.exe"), W("in")}},
      {W("C:\\a\\\"b c"), {W("C:\\a\\\"b"), W("c")}}, {W("p a\\\\b"), {W("p"), W("a\\\\b")}},
      {W("p a\\\"b"), {W("p"), W("a\"b")}}, {W("p a\\\\\"b c\""), {W("p"), W("a\\b c")}},
      {W("p a\\\\\\\"b"), {W("p"), W("a\\\"b")}}, {W("p \"a\"\"b\""), {W("p"), W("a\"b")}},
      {W("p \"\" x"), {W("p"), W(""), W("x")}}, {W("p\t a  \t"), {W("p"), W("a")}},
      {W(""), {self}},  // the program's own path
  };
  for (size_t i = 0; i < cases.size(); i++)
    Expect(f, SplitsInto(cases[i].first, cases[i].second), "CommandLineToArgvW: case " + std::to_string(i + 1));
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
// at once. The list is put back afterwards, so nothing is carried out at the next start.
inline void CheckDeletionAtReboot(Failures& f, const WCHAR* path) {
  HKEY key = nullptr;
  if (!Expect(f, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS,
              "MoveFileExW: the session manager's key opened"))
    return;
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
  Text expected = before + TextOf(W("\\??\\")) + TextOf(path) + Text(3, 0);
  ExpectNumber(f, answer, 0, "MoveFileExW: a deletion at the next start");
  ExpectNumber(f, typeAfter, REG_MULTI_SZ, "MoveFileExW: the list's type");
  Expect(f, after == expected, "MoveFileExW: \"\\??\\\" and the path, then an empty string, appended");
}

// A desktop session's window station has WSF_VISIBLE (a buffer too small: Windows 122, Wine 111;
// the installer passes a whole one).
inline Failures RunSystemChecks(const WCHAR* scratchFile) {
  Failures f;
  CheckCommandLineSplitting(f);
  CheckDeletionAtReboot(f, scratchFile);
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  Expect(f, GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) &&
                (flags.dwFlags & WSF_VISIBLE),
         "GetUserObjectInformationW: WSF_VISIBLE");
  return f;
}

// --- Changes to the machine -------------------------------------------------------------------
// Loaded: deleting 5, writing 32, reading works. Open without sharing: 32 for all three. Open
// sharing reading: 32 for deleting and writing. Once let go, the file can be deleted.
inline void CheckHeldFiles(Failures& f, const Machine& machine, const WCHAR* path) {
  const char* labels[] = {"held file (loaded)", "held file (opened, share 0)", "held file (opened, share read)"};
  for (Hold how : {Hold::Loaded, Hold::OpenedUnshared, Hold::OpenedForReading}) {
    const std::string label = labels[static_cast<int>(how)];
    if (!Expect(f, machine.put(W("zeldrv64.dll"), path) && machine.hold(path, how), label + ": set up")) continue;
    ExpectNumber(f, Answered(Poisoned() || DeleteFileW(path)),
                 how == Hold::Loaded ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION, label + ": DeleteFileW");
    for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(GENERIC_READ)}) {
      Poisoned();
      HANDLE file = CreateFileW(path, access, FILE_SHARE_READ, nullptr,
                                access == GENERIC_READ ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      DWORD answer = Answered(file != INVALID_HANDLE_VALUE);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      bool readable = access == GENERIC_READ && how != Hold::OpenedUnshared;
      ExpectNumber(f, answer, readable ? 0 : ERROR_SHARING_VIOLATION,
                   label + (access == GENERIC_READ ? ": opened for reading" : ": opened for writing"));
    }
    machine.release(path);
    Expect(f, DeleteFileW(path) != FALSE, label + ": deleted once let go");
  }
}

inline bool ReachesState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status = {};
  for (int poll = 0; poll <= 100; poll++, Sleep(200))
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
  return false;
}

// Asks for `control` (0: start) and expects the call to succeed and the service to reach `state`.
inline void ExpectReaches(Failures& f, SC_HANDLE service, DWORD control, DWORD state, const std::string& what) {
  SERVICE_STATUS status = {};
  Expect(f, (control ? ControlService(service, control, &status) : StartServiceW(service, 0, nullptr)) != FALSE, what);
  Expect(f, ReachesState(service, state), what + ": reached");
}

// Starting a running service 1056; stopping a stopped one 1062 with the status filled; a disabled
// one does not start, 1058; one that accepts no STOP answers 1052 and keeps running. The service
// is left running with the refusals withdrawn.
inline void CheckServiceAnswers(Failures& f, const Machine& machine) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, W("spooler"), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)
                              : nullptr;
  if (Expect(f, service != nullptr, "service: spooler opened")) {
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING)
      ExpectReaches(f, service, 0, SERVICE_RUNNING, "service: set up running");
    ExpectNumber(f, Answered(Poisoned() || StartServiceW(service, 0, nullptr)), ERROR_SERVICE_ALREADY_RUNNING,
                 "service: starting a running one");
    ExpectReaches(f, service, SERVICE_CONTROL_STOP, SERVICE_STOPPED, "service: stopped");
    status.dwCurrentState = 0;
    ExpectNumber(f, Answered(Poisoned() || ControlService(service, SERVICE_CONTROL_STOP, &status)),
                 ERROR_SERVICE_NOT_ACTIVE, "service: stopping a stopped one");
    ExpectNumber(f, status.dwCurrentState, SERVICE_STOPPED, "service: stopping a stopped one fills the status");
    if (Expect(f, machine.refuse(Refusal::Disabled), "service: disabled")) {
      ExpectNumber(f, Answered(Poisoned() || StartServiceW(service, 0, nullptr)), ERROR_SERVICE_DISABLED,
                   "service: starting a disabled one");
      machine.withdraw(Refusal::Disabled);
    }
    if (Expect(f, machine.refuse(Refusal::IgnoresStop), "service: made to ignore STOP")) {
      ExpectReaches(f, service, 0, SERVICE_RUNNING, "service: started ignoring STOP");
      ExpectNumber(f, Answered(Poisoned() || ControlService(service, SERVICE_CONTROL_STOP, &status)),
                   ERROR_INVALID_SERVICE_CONTROL, "service: a stop it does not accept");
      Expect(f, QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING,
             "service: still running after the refused stop");
      machine.withdraw(Refusal::IgnoresStop);
    }
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
      ExpectReaches(f, service, 0, SERVICE_RUNNING, "service: started after the refusals");
    ExpectReaches(f, service, SERVICE_CONTROL_STOP, SERVICE_STOPPED, "service: stops after the refusals");
    ExpectReaches(f, service, 0, SERVICE_RUNNING, "service: starts after the refusals");
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

inline bool DeleteNamedPrinter(const WCHAR* name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(name), &printer, &defaults)) return false;
  bool deleted = DeletePrinter(printer) != FALSE;
  ClosePrinter(printer);
  return deleted;
}

// AddPrinterW: an unknown driver 1797, a name that exists 1802, a port no monitor provides 1796.
// A deleted printer does not open: 1801. After the default printer is deleted there is no
// default or another existing printer is it (Windows documents neither; Wine makes the first
// listed printer the default). Played on the set-up without the product.
inline void CheckPrinterChanges(Failures& f, bool wine) {
  const WCHAR* driver = W("Other printer");
  const WCHAR* kept = W("Conformance kept");
  const WCHAR* deleted = W("Conformance deleted");
  ExpectNumber(f, AddPrinterAnswer(W("Conformance unknown driver"), W("FILE:"), W("No such driver")),
               ERROR_UNKNOWN_PRINTER_DRIVER, "AddPrinterW: an unknown driver");
  for (const WCHAR* name : {kept, deleted})
    ExpectNumber(f, AddPrinterAnswer(name, W("FILE:"), driver), 0, "AddPrinterW: a new name");
  ExpectAnswer(f, wine, AddPrinterAnswer(kept, W("FILE:"), driver), ERROR_PRINTER_ALREADY_EXISTS, 0,
               "AddPrinterW: a name that exists");
  DWORD noPort = AddPrinterAnswer(W("Conformance no port"), W("NOPORT9:"), driver);
  ExpectAnswer(f, wine, noPort, ERROR_UNKNOWN_PORT, 0, "AddPrinterW: a port no monitor provides");
  if (noPort == 0) DeleteNamedPrinter(W("Conformance no port"));

  Expect(f, SpoolerSetDefaultPrinterW(deleted) != FALSE, "default printer: set");
  Expect(f, DeleteNamedPrinter(deleted), "DeletePrinter: the default printer");
  HANDLE gone = nullptr;
  ExpectNumber(f, Answered(Poisoned() || OpenPrinterW(const_cast<WCHAR*>(deleted), &gone, nullptr)),
               ERROR_INVALID_PRINTER_NAME, "OpenPrinterW: a deleted printer");
  if (gone != nullptr) ClosePrinter(gone);
  WCHAR name[256] = {0};
  DWORD chars = 256;
  Text after = SpoolerGetDefaultPrinterW(name, &chars) ? Text(name) : Text();
  HANDLE named = nullptr;
  Expect(f, after != TextOf(deleted) && (after.empty() || OpenPrinterW(&after[0], &named, nullptr)),
         "default printer: none or one that exists, not the deleted one");
  if (named != nullptr) ClosePrinter(named);
  if (wine) {
    InstallContext context{};
    MarkDefaultPrinter(context);
    bool first = context.Printers.count > 0 && after == SnapshotEntry(context.Printers, 0)->pPrinterName;
    Expect(f, first, "default printer: Wine makes the first listed one it");
    f.wineNotes.push_back("default printer: the first listed printer becomes the default after a deletion");
    FreePrinterSnapshot(context.Printers);
    ReleaseText(context.LogText);
  }
  Expect(f, DeleteNamedPrinter(kept), "DeletePrinter: a printer");
}

// On the set-up with the product: adding its monitor again 3006, deleting an unknown one 3000,
// deleting it while its port is in use 3008 (Wine deletes it), deleting the driver in use 3001
// (Wine: 87 with its files, and deletes it without). Under Wine both are gone afterwards.
inline void CheckMonitorAndDriverChanges(Failures& f, bool wine) {
  WCHAR *x64 = const_cast<WCHAR*>(W("Windows x64")), *monitor = const_cast<WCHAR*>(W("Orvandelle:"));
  WCHAR* name = const_cast<WCHAR*>(W("Orvandelle printer"));
  MONITOR_INFO_2W info = {monitor, x64, const_cast<WCHAR*>(W("zelmon64.dll"))};
  ExpectNumber(f, Answered(Poisoned() || AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))),
               ERROR_PRINT_MONITOR_ALREADY_INSTALLED, "AddMonitorW: installed already");
  ExpectNumber(f, Answered(Poisoned() || DeleteMonitorW(nullptr, x64, const_cast<WCHAR*>(W("No such monitor")))),
               ERROR_UNKNOWN_PRINT_MONITOR, "DeleteMonitorW: an unknown monitor");
  ExpectAnswer(f, wine, Answered(Poisoned() || DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0)),
               ERROR_PRINTER_DRIVER_IN_USE, ERROR_INVALID_PARAMETER, "DeletePrinterDriverExW: with files, in use");
  ExpectAnswer(f, wine, Answered(Poisoned() || DeletePrinterDriverExW(nullptr, x64, name, 0, 0)),
               ERROR_PRINTER_DRIVER_IN_USE, 0, "DeletePrinterDriverExW: without files, in use");
  ExpectAnswer(f, wine, Answered(Poisoned() || DeleteMonitorW(nullptr, x64, monitor)), ERROR_PRINT_MONITOR_IN_USE, 0,
               "DeleteMonitorW: its port in use");
}

// The road both sides play, each phase reported; false when a set-up failed.
inline bool PlayRoad(const Machine& machine, bool wine, const WCHAR* scratchFile, const WCHAR* heldFile,
                     void (*report)(const char* phase, const Failures& failures)) {
  report("system", RunSystemChecks(scratchFile));
  Failures changes;
  CheckHeldFiles(changes, machine, heldFile);
  CheckServiceAnswers(changes, machine);
  report("held files and the service", changes);
  for (bool withProduct : {false, true}) {
    Failures setUp, checks;
    if (!SetUpSpooler(setUp, machine, withProduct)) return report("set-up", setUp), false;
    if (withProduct) {
      report("with the product", RunSpoolerQueryChecks({W("Orvandelle"), W("Orvandelle"), true, true}));
      CheckMonitorAndDriverChanges(checks, wine);  // last: under Wine it deletes the monitor
    } else {
      report("without the product", RunSpoolerQueryChecks({W("Text"), nullptr, false, false}));
      CheckPrinterChanges(checks, wine);
    }
    report(withProduct ? "monitor and driver changes" : "printers added and deleted", checks);
  }
  return true;
}

}  // namespace conformance
