// The scenario machine under Wine: the runner is a Windows program inside a fresh prefix, and
// the real orvinst.exe runs as its child. Wine's spooler lives in whichever process calls it
// (wine-notes.md), so the runner and the installer each carry their own copy over one registry.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "scenario_machine.h"

namespace scenario {
namespace {

const wchar_t kInstaller[] = L"C:\\Product\\drv\\orvinst.exe";
const wchar_t kProductDir[] = L"C:\\Product\\drv\\";
const wchar_t kReadyEvent[] = L"orv-scenario-held";
const wchar_t* const kLogTitles[] = {L"Orvandelle build 2547- Install error log!",
                                     L"Orvandelle build 2547- Install log."};
const int kLogTextId = 1001;
const char* const kPlanted[] = {"version.dll", "winspool.drv", "localspl.dll"};

struct Machine {
  std::string scenario;
  std::vector<std::string> failures;
  std::vector<HANDLE> helpers;  // children holding a file or the lock's name
  std::vector<RunSeen> runs;    // the last step's, for the checks only Wine makes
  bool display = false;
} machine;

void Out(const std::string& line) { std::printf("%s\n", line.c_str()), std::fflush(stdout); }

// The folder of the runner in the build tree (Z:\...\bin): orvinst.exe and bin\e2e beside it.
std::wstring BuildBin() {
  wchar_t self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path().wstring() + L"\\";
}

// Into its folder, made as needed (the outer setup makes C:\Product\drv).
bool Copy(const std::wstring& from, const std::wstring& to) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ignored);
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// --- children ---

HANDLE Start(const std::wstring& program, const std::wstring& arguments, wchar_t* desktop = nullptr) {
  std::wstring line = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup, startup.lpDesktop = desktop;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return Fail("CreateProcessW " + U8(program.c_str()) + ": error " + std::to_string(GetLastError())), nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

bool Signaled(HANDLE object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

// Looks every `everyMs` until `done` holds or `limitMs` passed; whether it held.
bool Poll(DWORD limitMs, const std::function<bool()>& done, DWORD everyMs = 50) {
  for (ULONGLONG end = GetTickCount64() + limitMs; !done(); Sleep(everyMs))
    if (GetTickCount64() >= end) return false;
  return true;
}

// The exit code in decimal, "timeout" after `limitMs` (the process is then ended).
std::string Finish(HANDLE process, DWORD limitMs) {
  DWORD code = 0;
  if (process == nullptr) return "not started";
  bool ended = WaitForSingleObject(process, limitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  if (!ended) TerminateProcess(process, 0xFFFFFFFF), WaitForSingleObject(process, 5000);
  CloseHandle(process);
  return ended ? std::to_string(code) : "timeout";
}

// A child left running once `ready` holds; null (the child ended) when it ends first or `limitMs` passes.
HANDLE StartUntil(const std::wstring& program, const std::wstring& arguments, DWORD limitMs,
                  const std::function<bool()>& ready) {
  HANDLE child = Start(program, arguments);
  if (child == nullptr || (Poll(limitMs, [&] { return ready() || Signaled(child); }) && ready())) return child;
  return Finish(child, 0), nullptr;
}

// A child of this same program that holds something until Release() ends it; false if it could not.
bool StartHelper(const std::wstring& arguments) {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEvent);
  ResetEvent(ready);
  HANDLE child = StartUntil(BuildBin() + L"scenario_runner.exe", arguments, 30000, [ready] { return Signaled(ready); });
  CloseHandle(ready);
  if (child != nullptr) machine.helpers.push_back(child);
  return child != nullptr;
}

// The helper's side: signals once it holds, and holds until it is ended (an exit, too, would
// leave an owned mutex abandoned).
int HoldUntilEnded(HANDLE held) {
  if (held == nullptr) return 1;
  SetEvent(CreateEventW(nullptr, TRUE, FALSE, kReadyEvent));
  return Sleep(INFINITE), 0;
}

// A standard user's program that takes the installer's lock name first: a mutex of its own
// default security (closed to administrators), one open to everyone, or an event. Wine lets any
// owner be named; Windows would take the user's own.
HANDLE SquatLockName(const std::wstring& kind) {
  const std::string user = "S-1-5-21-1004336348-1177238915-682003330-1001";
  std::string sddl =
      "O:" + user + "D:" + (kind == L"open-user-mutex" ? "(A;;GA;;;WD)" : "(A;;GA;;;" + user + ")(A;;GA;;;SY)");
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &security.lpSecurityDescriptor, nullptr))
    return nullptr;
  const char* name = "Global\\Orvandelle.Install.{28CD40B4-D7C9-452C-9FDF-8E440253425E}";
  HANDLE object = kind == L"event" ? CreateEventA(&security, TRUE, FALSE, name) : CreateMutexA(&security, TRUE, name);
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  LocalFree(security.lpSecurityDescriptor);
  return existed ? nullptr : object;
}

// --- the log window, as a person sees it ---

HWND FindLogWindow(DWORD processId, std::wstring& title) {
  for (const wchar_t* candidate : kLogTitles)
    for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"#32770", candidate)) != nullptr;) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      title = candidate;
      if (owner == processId && IsWindowVisible(window)) return window;
    }
  return nullptr;
}

// The window's area of the screen, kept as a 24-bit bottom-up BMP file; a picture of one colour
// is a window that was never painted. A real display (Xvfb) only.
void CheckScreenshot(HWND window) {
  RECT area = {};
  GetWindowRect(window, &area);
  int width = area.right - area.left, height = area.bottom - area.top;
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  std::string image(std::max(((width * 3 + 3) / 4) * 4 * height, 0), '\0');
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  bool ok = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, previous);
  ok = ok && GetDIBits(memory, bitmap, 0, height, &image[0], &info, DIB_RGB_COLORS) == height;
  DeleteObject(bitmap), DeleteDC(memory), ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, sizeof file + sizeof info.bmiHeader};
  file.bfSize = file.bfOffBits + image.size();
  wchar_t folder[MAX_PATH];
  GetFullPathNameW((BuildBin() + L"..\\e2e\\artifacts").c_str(), MAX_PATH, folder, nullptr);
  CreateDirectoryW(folder, nullptr);
  std::wstring path = folder + (L"\\" + W16(machine.scenario) + L"-log-window.bmp");
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out.write(reinterpret_cast<char*>(&file), sizeof file).write(reinterpret_cast<char*>(&info), sizeof info.bmiHeader);
  if (!ok || !out.write(image.data(), image.size()).flush()) return Fail("no screenshot of the log window");
  std::set<std::string> colours;
  for (size_t i = 0; i + 3 <= image.size(); i += 3 * 97) colours.insert(image.substr(i, 3));
  if (colours.size() < 2) Fail("the screenshot of the log window has one colour");
  Out("screenshot of the log window: " + U8(path.c_str()));
}

// Its title and text box (read by messages: GetWindowText of another process's window gives
// its caption only). The pause lets the owner paint first.
void ReadLogWindow(HWND window, const std::wstring& title, bool picture, RunSeen& seen) {
  Sleep(picture ? 1500 : 50);
  std::vector<wchar_t> text(SendDlgItemMessageW(window, kLogTextId, WM_GETTEXTLENGTH, 0, 0) + 2, 0);
  GetDlgItemTextW(window, kLogTextId, text.data(), static_cast<int>(text.size() - 1));
  seen.title = U8(title.c_str()), seen.logRead = true;
  std::istringstream lines(U8(text.data()));
  for (std::string line; std::getline(lines, line);) seen.log.push_back(line.substr(0, line.find('\r')));
  if (picture && machine.display) CheckScreenshot(window);
  if (picture && !machine.display) Out("note: no display, so no screenshot of the log window");
}

// Wine keeps the desktop's key state while a process of the session lives: this one presses
// Shift and stays alive until the installer has looked at it.
void SendShift(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD, input.ki = {VK_LSHIFT, 0x2a, down ? 0u : static_cast<DWORD>(KEYEVENTF_KEYUP), 0, 0};
  SendInput(1, &input, sizeof input);
}

// --- runs of the installer ---

struct Child {
  HANDLE process = nullptr;
  RunSeen seen;         // its exit set once it has ended
  HWND kept = nullptr;  // its log window, left open
};

Child StartInstaller(const std::string& word, wchar_t* desktop = nullptr) {
  Child c;
  c.process = Start(kInstaller, W16(word), desktop), c.seen.exit = c.process == nullptr ? "not-started" : "";
  return c;
}

// One look at a child: its end, else its log window, read and closed (or left open); whether it ended.
bool Look(Child& c, bool watch, bool picture, bool keep = false) {
  DWORD code = 0;
  if (c.seen.exit.empty() && Signaled(c.process) && GetExitCodeProcess(c.process, &code))
    c.seen.exit = std::to_string(code);
  std::wstring title;
  bool looks = watch && c.seen.exit.empty() && !c.seen.logRead;
  HWND window = looks ? FindLogWindow(GetProcessId(c.process), title) : nullptr;
  if (window != nullptr) ReadLogWindow(window, title, picture, c.seen);
  if (window != nullptr && keep) c.kept = window;
  else if (window != nullptr) SendDlgItemMessageW(window, IDOK, BM_CLICK, 0, 0);
  return !c.seen.exit.empty();
}

// Looks until every child has ended or `limitMs` passed (those left are ended: "timeout").
std::vector<RunSeen> WaitForChildren(std::vector<Child>& children, DWORD limitMs, bool watch, bool picture) {
  Poll(limitMs, [&] {
    bool all = true;
    for (Child& c : children) all = Look(c, watch, picture) && all;
    return all;
  });
  std::vector<RunSeen> seen;
  for (Child& c : children) {
    if (c.seen.exit.empty()) c.seen.exit = "timeout", TerminateProcess(c.process, 0xFFFFFFFF);
    if (c.process != nullptr) WaitForSingleObject(c.process, 5000), CloseHandle(c.process);
    seen.push_back(c.seen);
  }
  return seen;
}

// The runner's own spooler keeps every monitor it added, and configuration module it asked,
// loaded (wine-notes.md): as held files they would change what the installer finds. Another
// process's copy of the spooler is no holder on Windows.
void DropProductModules() {
  for (const wchar_t* name : {L"zelmon64.dll", L"zelui64.dll", L"zeldrv64.dll"})
    for (HMODULE module; (module = GetModuleHandleW(name)) != nullptr;) FreeLibrary(module);
}

// The local printers at `level` into `buffer`, their count. Level 4 holds names alone, which Wine
// reads far faster than level 2: fast enough to see a reinstall halfway through its printers.
DWORD LocalPrinters(DWORD level, std::vector<BYTE>& buffer) {
  DWORD needed = 0, count = 0;
  buffer.resize(std::max<size_t>(buffer.size(), 0x40000));
  while (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buffer.data(), DWORD(buffer.size()), &needed, &count))
    buffer.resize(std::max<size_t>(buffer.size(), 2 * needed));  // also a read while the installer writes
  return count;
}

// Ends the installer as a deployment tool's time-out does, once the spooler shows the first
// product printer gone ("first-gone") or half of them back after fewer were left ("half-back").
// The spooler is read without a pause: a reinstall re-creates its printers fast.
std::vector<RunSeen> Killed(const RunAsked& asked) {
  std::vector<BYTE> buffer;
  size_t others = LocalPrinters(2, buffer), count = 0, now = 0;
  for (size_t i = 0; i < others; i++)
    count += U8(reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())[i].pDriverName) == "Orvandelle printer";
  others -= count;
  bool fewerThanHalf = false, killed = false;
  std::vector<Child> run = {StartInstaller(asked.words[0])};
  Poll(90000, [&] {
    now = std::max<size_t>(LocalPrinters(4, buffer), others) - others;
    fewerThanHalf = fewerThanHalf || now < (count + 1) / 2;
    bool due = asked.killed == "first-gone" ? now < count : fewerThanHalf && now >= (count + 1) / 2;
    return Look(run[0], false, false) || (due && (killed = TerminateProcess(run[0].process, 0xDEAD)));
  }, 0);
  std::vector<RunSeen> seen = WaitForChildren(run, 60000, true, false);
  if (!killed) return Fail("orvinst.exe was not ended from outside (" + asked.killed + ")"), seen;
  Out("note: orvinst.exe killed at " + std::to_string(now) + " product printers");
  return seen[0].exit = "killed", seen;
}

// In a window station with no display surface, as a service running as SYSTEM starts it; a
// run past 20 s is ended. The station is first proven invisible by a child that reports its flags.
std::vector<RunSeen> Unseen(const RunAsked& asked) {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationW(L"OrvScenarioStation", 0, WINSTA_ALL_ACCESS, nullptr);
  HDESK desktop = station != nullptr && SetProcessWindowStation(station)
                      ? CreateDesktopW(L"OrvScenarioDesktop", nullptr, nullptr, 0, GENERIC_ALL, nullptr) : nullptr;
  DWORD error = GetLastError();
  SetProcessWindowStation(own);
  if (desktop == nullptr)
    return Fail("making the window station: error " + std::to_string(error)), std::vector<RunSeen>{};
  std::wstring name = L"OrvScenarioStation\\OrvScenarioDesktop";
  std::string flags = Finish(Start(BuildBin() + L"scenario_runner.exe", L"--station-flags", &name[0]), 20000);
  if (flags != "0") Fail("flags of the run's window station (WSF_VISIBLE is 1): " + flags);
  std::vector<Child> run = {StartInstaller(asked.words[0], &name[0])};
  std::vector<RunSeen> seen = WaitForChildren(run, 20000, false, false);
  CloseDesktop(desktop), CloseWindowStation(station);
  return seen;
}

// "beside-window A B": the first run's log window stays open, as a person who left it would,
// while the second run starts and ends; then it is closed. The second must not wait for it.
std::vector<RunSeen> Beside(const RunAsked& asked) {
  std::vector<Child> first = {StartInstaller(asked.words[0])}, second;
  Poll(90000, [&] { return Look(first[0], true, false, true) || first[0].kept != nullptr; });
  second.push_back(StartInstaller(asked.words[1]));
  std::vector<RunSeen> seen = WaitForChildren(second, 60000, true, false);
  if (first[0].kept == nullptr || seen[0].exit == "timeout")
    Fail("the second run did not end while the first one's log window was open");
  if (first[0].kept != nullptr) SendDlgItemMessageW(first[0].kept, IDOK, BM_CLICK, 0, 0);
  seen.insert(seen.begin(), WaitForChildren(first, 60000, false, false)[0]);
  return seen;
}

// --- DLLs planted beside the installer ---

// How Wine loads the DLLs `dlls` for one program ("" none, "native,builtin" the program's
// folder first, as Windows' search order would without the installer's guard); a child's own
// WINEDLLOVERRIDES is not read, the registry's per-program overrides are.
bool Override(const std::wstring& program, const std::vector<const wchar_t*>& dlls, const wchar_t* how) {
  std::wstring key = L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides";
  RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  bool ok = true;
  for (const wchar_t* dll : dlls)
    ok = ok && (how == nullptr || RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), dll, REG_SZ, how,
                                                  (lstrlenW(how) + 1) * sizeof(wchar_t)) == ERROR_SUCCESS);
  return ok;
}

// {"version.dll loaded": programs, ...} from the marks planted DLLs leave, removed once read.
std::map<std::string, Words> PlantedMarks() {
  std::map<std::string, Words> marks;
  for (const char* dll : kPlanted)
    for (const char* kind : {"loaded", "called"}) {
      std::wstring path = kProductDir + W16(std::string(dll) + "." + kind);
      std::ifstream in(std::filesystem::path(path), std::ios::binary);
      for (std::string line; std::getline(in, line);) marks[std::string(dll) + " " + kind].push_back(line);
      in.close(), DeleteFileW(path.c_str());
    }
  return marks;
}

// Proof first that a program built the usual way takes all three, else this proves nothing.
bool Plant(const Words&) {
  std::wstring e2e = BuildBin() + L"e2e\\", naive = kProductDir + std::wstring(L"naive_loader.exe");
  bool ok = Copy(e2e + L"naive_loader.exe", naive);
  for (const char* dll : kPlanted) ok = ok && Copy(e2e + L"planted.dll", kProductDir + W16(dll));
  for (const wchar_t* program : {L"orvinst.exe", L"naive_loader.exe"})
    ok = ok && Override(program, {L"version", L"winspool.drv", L"localspl"}, L"native,builtin");
  std::string exit = ok ? Finish(Start(naive, L""), 60000) : "not copied", taken;
  if (exit != "0") Fail("the usual program beside the planted DLLs exited " + exit);
  for (const auto& mark : PlantedMarks()) taken += mark.first + ";";
  if (taken != "localspl.dll loaded;version.dll called;version.dll loaded;winspool.drv called;winspool.drv loaded;")
    Fail("planted DLLs the usual program takes: " + taken);
  return DeleteFileW(naive.c_str()), ok;
}

// Wine's own user32 imports version.dll and calls it, so native-first Wine loads a planted copy
// into every program with a window (docs/wine-differences.md); the installer itself may
// neither load nor call it.
Words PlantedSeen(const Words&) {
  Words seen;
  for (const auto& mark : PlantedMarks())
    for (const std::string& program : mark.second)
      if (mark.first != "version.dll loaded" &&
          (mark.first != "version.dll called" || _strnicmp(program.c_str(), "C:\\windows\\system32\\", 20) != 0))
        seen.push_back(mark.first + " by " + program);
  return seen.empty() ? Words{"unused"} : seen;
}

// "missing": winspool.drv cannot be loaded; "hollow": the system's copy lacks the spooler's
// functions; "restored": Wine's own again.
bool SpoolerLibrary(const Words& w) {
  std::wstring system = L"C:\\windows\\system32\\winspool.drv", kept = L"C:\\windows\\winspool.drv.wine";
  if (GetFileAttributesW(kept.c_str()) == INVALID_FILE_ATTRIBUTES && !Copy(system, kept)) return false;
  if (w[1] == "hollow")
    return Override(L"orvinst.exe", {L"winspool.drv"}, L"native"),
           Copy(BuildBin() + L"e2e\\components\\2547\\zeldrv64.dll", system);
  Override(L"orvinst.exe", {L"winspool.drv"}, w[1] == "missing" ? L"" : nullptr);
  return (w[1] == "missing" || w[1] == "restored") && Copy(kept, system);
}

// The first error line starts so and gives the reason as the loader reported it.
Words FirstErrorSeen(const Words& w) {
  for (const std::string& logged : machine.runs.empty() ? Words{} : machine.runs[0].log) {
    std::string line = logged.substr(std::min(logged.size(), logged.find_first_not_of(' '))), lower = line;
    if (line.find("Error(") == std::string::npos) continue;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    bool ok = line.rfind(w[1], 0) == 0 && lower.find(w[2]) != std::string::npos;
    return ok ? Words(w.begin() + 1, w.end()) : Words{line};
  }
  return {"no error line"};
}

// Its mutex and its window: 1 both, 0 neither, -1 one of them.
int TrayState() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
  if (mutex != nullptr) CloseHandle(mutex);
  bool window = FindWindowW(L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}", nullptr) != nullptr;
  return mutex != nullptr && window ? 1 : mutex == nullptr && !window ? 0 : -1;
}

// "baseline": the floor a reinstall is measured against (bench/baseline.c, scripts/bench), the
// bare spooler calls that carry the printers over, timed as a run of the installer is.
bool Baseline(const Words&) {
  DropProductModules();
  std::wstring program = L"C:\\bench\\baseline.exe";
  bool copied = Copy(BuildBin() + L"bench\\bench_baseline.exe", program);
  ULONGLONG started = GetTickCount64();
  std::string exit = copied ? Finish(Start(program, L""), 600000) : "not copied";
  Out("time baseline " + std::to_string(GetTickCount64() - started) + " ms");
  return exit == "0";
}

// --- the main job shown (scripts/demo) ---

std::string Field(const wchar_t* text) { return text == nullptr ? "-" : U8(text); }

// "show WHEN": the spooler as a person would look at it, and after a run its exit code.
bool Show(const Words& w) {
  static const std::map<std::string, std::string> meanings = {
      {"1", "install finished: no error logged, nothing left for a restart"},
      {"100", "at least one error was logged (the log window shows which)"},
      {"101", "no error, but files wait for deletion at the next restart"}};
  Out("\n== the spooler " + w[1]);
  std::vector<BYTE> buffer;
  char row[512];
  for (DWORD i = 0, count = LocalPrinters(2, buffer); i < count; i++) {
    const PRINTER_INFO_2W& p = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())[i];
    std::snprintf(row, sizeof row, "printer   %-22s %-12s %-20s %-12s %s", Field(p.pPrinterName).c_str(),
                  Field(p.pPortName).c_str(), Field(p.pDriverName).c_str(), Field(p.pComment).c_str(),
                  Field(p.pLocation).c_str());
    Out(row);
  }
  wchar_t name[256] = {0}, monitor[] = L"C:\\windows\\system32\\zelmon64.dll";
  DWORD size = 256, ignored = 0, bytes = GetFileVersionInfoSizeW(monitor, &ignored);
  Out("default   " + (GetDefaultPrinterW(name, &size) ? U8(name) : "none"));
  std::vector<BYTE> block(bytes + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (bytes != 0 && GetFileVersionInfoW(monitor, 0, bytes, block.data()) &&
      VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length))
    Out("monitor   " + U8(monitor) + ", build " + std::to_string(info->dwProductVersionLS & 0xFFFF));
  Out(std::string("tray      ") + (TrayState() == 1 ? "running" : "not running"));
  for (const RunSeen& run : machine.runs) {
    auto meaning = meanings.find(run.exit);
    Out("\n== exit code " + run.exit + ": " + (meaning == meanings.end() ? "unexpected" : meaning->second));
    Out("log window: " + (run.title.empty() ? "none" : "\"" + run.title + "\""));
  }
  return true;
}

// What only this machine does, by name and count of words.
const std::map<std::string, std::pair<size_t, bool (*)(const Words&)>> kActions = {
    {"plant", {1, Plant}}, {"spooler-library", {2, SpoolerLibrary}}, {"show", {2, Show}}, {"baseline", {1, Baseline}}};
const std::map<std::string, std::pair<size_t, Words (*)(const Words&)>> kChecks = {
    {"planted", {2, PlantedSeen}}, {"first-error", {3, FirstErrorSeen}}};

}  // namespace

// --- the seam ---

void Fail(const std::string& what) { machine.failures.push_back(what); }

// Another maker's driver files (oth*) are the product's stand-ins renamed: Wine's spooler calls
// into a configuration module, so it must be one.
std::string ComponentBytes(const std::string& asked, int build) {
  std::string name = asked.rfind("oth", 0) == 0 ? "zel" + asked.substr(3) : asked;
  bool unversioned = name == "zelhelp.chm" || name == "orvtray.exe";
  std::string folder = unversioned ? "" : (build == kNoBuild ? "none" : std::to_string(build)) + "\\";
  std::ifstream in(std::filesystem::path(BuildBin() + L"e2e\\components\\" + W16(folder + name)), std::ios::binary);
  if (!in) Fail("no stand-in component " + folder + name);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One orvinst.exe is built; the table's builds are those of the components beside it.
bool PlaceInstaller(int) { return Copy(BuildBin() + L"orvinst.exe", kInstaller); }

std::string UserHive() {
  HANDLE token = nullptr;
  BYTE user[256];
  DWORD size = 0;
  char* sid = nullptr;
  bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
            GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
  std::string text = ok ? sid : "";
  return CloseHandle(token), LocalFree(sid), text;
}

std::vector<RunSeen> RunInstaller(const RunAsked& asked) {
  DropProductModules();
  ULONGLONG started = GetTickCount64();
  std::vector<Child> children;
  if (asked.shift) SendShift(true);
  if (!asked.killed.empty()) machine.runs = Killed(asked);
  else if (asked.unseen) machine.runs = Unseen(asked);
  else if (asked.besideWindow) machine.runs = Beside(asked);
  else {
    for (const std::string& word : asked.words) children.push_back(StartInstaller(word));
    machine.runs = WaitForChildren(children, 120000, true, asked.screenshot);
  }
  if (asked.shift) SendShift(false);
  Out("time " + asked.words[0] + " " + std::to_string(GetTickCount64() - started) + " ms");
  return machine.runs;
}

// "wineboot -r" carries out the pending renames; the wineserver and the programs stay.
bool Restart() {
  DropProductModules();
  std::string exit = Finish(Start(L"C:\\windows\\system32\\wineboot.exe", L"-r"), 120000);
  if (exit != "0") Fail("wineboot -r exited " + exit);
  return exit == "0";
}

bool Hold(const std::string& path) { return StartHelper(L"--hold \"" + W16(path) + L"\""); }
bool Squat(const std::string& kind) { return StartHelper(L"--squat " + W16(kind)); }

void Release() {
  for (HANDLE helper : machine.helpers) Finish(helper, 0);
  machine.helpers.clear();
}

bool StartTray() {
  HANDLE tray = StartUntil(L"C:\\Product\\orvtray.exe", L"", 10000, [] { return TrayState() == 1; });
  return tray != nullptr && CloseHandle(tray);
}

// The program starts or ends on its own time after the run that asked: the state it is heading
// for, judged by its Run value, once reached or after 10 s; a tray half up or half gone is
// neither running nor removed.
bool TrayRunning() {
  bool expected = RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                               L"OrvandelleTray", RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  int state = TrayState();
  Poll(10000, [&] { return (state = TrayState()) == (expected ? 1 : 0); });
  return expected ? state == 1 : state != 0;
}

bool MachineAction(const Words& w) {
  auto found = kActions.find(w[0]);
  return found != kActions.end() && found->second.first == w.size() && found->second.second(w);
}

bool MachineCheck(const Words& w, Words& seen) {
  auto found = kChecks.find(w[0]);
  if (found == kChecks.end() || found->second.first != w.size()) return false;
  return seen = found->second.second(w), true;
}

// The lock's checks read the simulated clock and call record; Wine keeps no printer permissions
// (docs/wine-differences.md).
bool PlaysCheck(const std::string& name) {
  return name != "host" && name != "lock" && name != "tray-start" && name != "permissions";
}

}  // namespace scenario

// scenario_runner.exe [--table DIR] NAME   plays one scenario in this prefix: 0 passed, 1 failed.
// Its helper roles: --hold PATH, --squat KIND, and --station-flags (its window station's flags).
int wmain(int argc, wchar_t** argv) {
  using namespace scenario;
  std::wstring first = argc > 1 ? argv[1] : L"";
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (first == L"--station-flags")
    return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)
               ? static_cast<int>(flags.dwFlags) : static_cast<int>(0xFFFF0000 | GetLastError());
  if (first == L"--hold" && argc == 3) return HoldUntilEnded(LoadLibraryW(argv[2]));
  if (first == L"--squat" && argc == 3) return HoldUntilEnded(SquatLockName(argv[2]));
  machine.display = GetEnvironmentVariableW(L"E2E_DISPLAY", nullptr, 0) != 0;
  bool other = first == L"--table" && argc == 4;
  std::string name = U8(other ? argv[3] : first.c_str());
  for (const Scenario& s : ReadTable(other ? U8(argv[2]) : SCENARIO_TABLE_DIR)) {
    if (name != s.name || s.only == "host") continue;
    machine.scenario = s.name;
    PlayScenario(s);
    Release();
    for (const std::string& failure : machine.failures) Out("FAILED " + failure);
    Out((machine.failures.empty() ? "passed " : "FAILED ") + s.name);
    return machine.failures.empty() ? 0 : 1;
  }
  Out("usage: scenario_runner.exe [--table DIR] NAME (no scenario " + name + " for Wine)");
  return 2;
}
