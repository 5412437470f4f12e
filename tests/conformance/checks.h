// The platform answers the installer relies on that no scenario played on both machines reaches:
// what the table plays on both is its own conformance check. The host tests play these against
// winsim, win64.conformance against Wine. Each failed expectation adds a line; where Wine answers
// otherwise than Windows, a check accepts Wine's answer only under Wine and notes it (winsim
// gives Windows' answers).
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"

namespace conformance {

using Text = std::basic_string<WCHAR>;
inline WCHAR* Mutable(const WCHAR* text) { return const_cast<WCHAR*>(text); }

enum class Refusal { IgnoresStop, Disabled };

// What differs per side: `put` places a stand-in product module at `path`; `refuse` makes the
// "spooler" service refuse from now on, or (off) puts it back.
struct Side {
  bool wine;
  bool (*put)(const WCHAR* module, const WCHAR* path);
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

// The product's monitor, driver (the stand-in modules staged, added at level 6 as the installer
// adds) and printer on its port.
inline void SetUpSpooler(Failures& f, const Side& side) {
  WCHAR directory[MAX_PATH] = {0}, system[MAX_PATH] = {0};
  DWORD needed = 0;
  WCHAR* x64 = Mutable(W("Windows x64"));
  GetPrinterDriverDirectoryW(nullptr, x64, 1, reinterpret_cast<BYTE*>(directory), sizeof directory, &needed);
  GetSystemDirectoryW(system, MAX_PATH);
  Text driver = Text(directory) + W("\\zeldrv64.dll"), config = Text(directory) + W("\\zelui64.dll");
  MONITOR_INFO_2W monitor = {Mutable(W("Orvandelle:")), x64, Mutable(W("zelmon64.dll"))};
  Expect(f, side.put(W("zelmon64.dll"), (Text(system) + W("\\zelmon64.dll")).c_str()) &&
                AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor)), "monitor");
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = Mutable(W("Orvandelle printer"));
  info.pEnvironment = x64;
  info.pDriverPath = info.pDataFile = &driver[0];
  info.pConfigFile = &config[0];
  Expect(f, side.put(W("zeldrv64.dll"), driver.c_str()) && side.put(W("zelui64.dll"), config.c_str()), "driver staged");
  ExpectNumber(f, Answered(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES)), 0,
               "driver");
  ExpectNumber(f, Answered(AddPrinterOn(W("Orvandelle"), W("Orvandelle:"), info.pName)), 0, "printer");
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

// --- The spooler service's refusals, which only the host's rows meet ---------------------------
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

// On the set-up with the product, the refusals the host's rows lean on and no row played on both
// machines meets: deleting the driver in use 3001 (Wine: 87 with its files, and deletes it
// without), deleting the monitor while its port is in use 3008 (Wine deletes it; so this comes
// last).
inline void CheckMonitorAndDriverChanges(Failures& f, const Side& side) {
  WCHAR *x64 = Mutable(W("Windows x64")), *monitor = Mutable(W("Orvandelle:"));
  WCHAR* name = Mutable(W("Orvandelle printer"));
  ExpectAnswers(f, side.wine, {
      {"DeletePrinterDriverExW: with files, in use", 3001, 87,
       [&] { return DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0); }},
      {"DeletePrinterDriverExW: without files, in use", 3001, 0,
       [&] { return DeletePrinterDriverExW(nullptr, x64, name, 0, 0); }},
      {"DeleteMonitorW: its port in use", 3008, 0, [&] { return DeleteMonitorW(nullptr, x64, monitor); }}});
}

// --- The checks, in the order both sides play them --------------------------------------------
struct Check {
  const char* name;  // a set-up's name starts with "set-up": when it fails, the rest is not played
  void (*run)(Failures& f, const Side& side);
};

inline const Check kChecks[] = {
    {"CommandLineToArgvW", CheckCommandLineSplitting},
    {"service", CheckServiceAnswers},
    {"set-up with the product", SetUpSpooler},
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
