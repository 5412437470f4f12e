// The scenario machine under Wine: the runner is a Windows program inside a fresh prefix, and
// the real orvinst.exe runs as its child. Wine's spooler lives in whichever process calls it
// (wine-notes.md), so the runner and the installer each carry their own copy over one registry.
#include <cstdio>
#include <map>

#include "scenario_machine.h"

namespace scenario {
namespace {

const wchar_t kInstaller[] = L"C:\\Product\\drv\\orvinst.exe";
const wchar_t kProductDir[] = L"C:\\Product\\drv\\";
const wchar_t kTrayMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kTrayWindowClass[] = L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const wchar_t kTray[] = L"C:\\Product\\orvtray.exe";
const wchar_t kReleaseEvent[] = L"orv-scenario-release";
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

std::wstring Wide(const std::string& text) {
  std::wstring result(text.size(), L'\0');
  result.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                                    static_cast<int>(result.size())));
  return result;
}

std::string Narrow(const std::wstring& text) {
  std::string result(text.size() * 3, '\0');
  result.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                                    static_cast<int>(result.size()), nullptr, nullptr));
  return result;
}

void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// The folder of the runner in the build tree (Z:\...\bin): orvinst.exe and bin\e2e beside it.
std::wstring BuildBin() {
  wchar_t self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.rfind(L'\\') + 1);
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  DWORD read = 0;
  bool ok = GetFileSizeEx(file, &size);
  bytes.assign(ok ? static_cast<size_t>(size.QuadPart) : 0, '\0');
  ok = ok && (bytes.empty() || ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr));
  CloseHandle(file);
  return ok && read == bytes.size();
}

// Into its folder, made as needed (the outer setup makes C:\Product\drv).
bool Copy(const std::wstring& from, const std::wstring& to) {
  for (size_t slash = to.find(L'\\', 3); slash != std::wstring::npos; slash = to.find(L'\\', slash + 1))
    CreateDirectoryW(to.substr(0, slash).c_str(), nullptr);
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// --- children ---

HANDLE Start(const std::wstring& program, const std::wstring& arguments, wchar_t* desktop = nullptr,
             DWORD* id = nullptr) {
  std::wstring line = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Fail("cannot start " + Narrow(program) + ": error " + std::to_string(GetLastError()));
    return nullptr;
  }
  CloseHandle(process.hThread);
  if (id != nullptr) *id = process.dwProcessId;
  return process.hProcess;
}

// The exit code in decimal, "timeout" after `limitMs` (the process is then ended).
std::string Finish(HANDLE process, DWORD limitMs) {
  DWORD code = 0;
  bool ended = WaitForSingleObject(process, limitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  if (!ended) TerminateProcess(process, 0xFFFFFFFF), WaitForSingleObject(process, 5000);
  CloseHandle(process);
  return ended ? std::to_string(code) : "timeout";
}

// A child of this same program that holds something until Release(); false if it could not.
bool StartHelper(const std::wstring& arguments) {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEvent);
  ResetEvent(ready);
  HANDLE child = Start(BuildBin() + L"scenario_runner.exe", arguments);
  HANDLE both[] = {ready, child};
  bool held = child != nullptr && WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0;
  if (child != nullptr) machine.helpers.push_back(child);
  CloseHandle(ready);
  return held;
}

// The helper's side: signals once it holds, keeps holding until the release event.
int HoldUntilReleased(HANDLE held) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  if (held == nullptr || release == nullptr) return 1;
  SetEvent(CreateEventW(nullptr, TRUE, FALSE, kReadyEvent));
  WaitForSingleObject(release, INFINITE);
  return 0;
}

// A standard user's program that takes the installer's lock name first: a mutex of its own
// default security (closed to administrators), one open to everyone, or an event. Wine lets any
// owner be named; Windows would take the user's own.
HANDLE SquatLockName(const std::wstring& kind) {
  const char* const user = "S-1-5-21-1004336348-1177238915-682003330-1001";
  std::string sddl = std::string("O:") + user + "D:" +
                     (kind == L"open-user-mutex" ? "(A;;GA;;;WD)" : std::string("(A;;GA;;;") + user + ")(A;;GA;;;SY)");
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
    for (HWND window = FindWindowExW(nullptr, nullptr, L"#32770", candidate); window != nullptr;
         window = FindWindowExW(nullptr, window, L"#32770", candidate)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      title = candidate;
      if (owner == processId && IsWindowVisible(window)) return window;
    }
  return nullptr;
}

// The window's area of the screen as a 24-bit bottom-up BMP file; a real display (Xvfb) only.
bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT area;
  if (!GetWindowRect(window, &area) || area.right <= area.left || area.bottom <= area.top) return false;
  int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* pixels = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  bool ok = bitmap != nullptr && BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  SelectObject(memory, previous);
  DWORD imageBytes = ((width * 3 + 3) / 4) * 4 * height, written = 0;
  BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, sizeof file + sizeof info.bmiHeader};
  file.bfSize = file.bfOffBits + imageBytes;
  HANDLE out = ok ? CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)
                  : INVALID_HANDLE_VALUE;
  ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &written, nullptr) &&
       WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
       WriteFile(out, pixels, imageBytes, &written, nullptr);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

// A picture of one colour is a window that was never painted.
void CheckScreenshot(HWND window) {
  wchar_t full[MAX_PATH];
  GetFullPathNameW((BuildBin() + L"..\\e2e\\artifacts").c_str(), MAX_PATH, full, nullptr);
  std::wstring path = full + (L"\\" + Wide(machine.scenario) + L"-log-window.bmp");
  CreateDirectoryW(full, nullptr);
  std::string data;
  if (!SaveScreenshot(window, path) || !ReadBytes(path, data)) return Fail("no screenshot of the log window");
  size_t start = data.size() > 14 ? static_cast<unsigned char>(data[10]) | static_cast<unsigned char>(data[11]) << 8 : 0;
  std::map<std::string, int> colours;
  for (size_t i = start; i + 3 <= data.size(); i += 3 * 97) colours[data.substr(i, 3)]++;
  if (colours.size() < 2) Fail("the screenshot of the log window has one colour");
  Out("screenshot of the log window: " + Narrow(path));
}

// Its title and text box (read by messages: GetWindowText of another process's window gives
// its caption only). The pause lets the owner paint first.
void ReadLogWindow(HWND window, const std::wstring& title, bool picture, RunSeen& seen) {
  Sleep(picture ? 1500 : 50);
  std::vector<wchar_t> text(SendDlgItemMessageW(window, kLogTextId, WM_GETTEXTLENGTH, 0, 0) + 2, 0);
  GetDlgItemTextW(window, kLogTextId, text.data(), static_cast<int>(text.size() - 1));
  seen.title = Narrow(title);
  seen.logRead = true;
  std::string all = Narrow(text.data()), line;
  for (char c : all + "\n")
    if (c == '\n') seen.log.push_back(line), line.clear();
    else if (c != '\r') line += c;
  if (!all.empty() && seen.log.back().empty()) seen.log.pop_back();
  if (picture && machine.display) CheckScreenshot(window);
  if (picture && !machine.display) Out("note: no display, so no screenshot of the log window");
}

// Wine keeps the desktop's key state while a process of the session lives: this one presses
// Shift and stays alive until the installer has looked at it.
void SendShift(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki = {VK_LSHIFT, 0x2a, down ? 0u : static_cast<DWORD>(KEYEVENTF_KEYUP), 0, 0};
  SendInput(1, &input, sizeof input);
}

// --- runs of the installer ---

struct Child {
  HANDLE process = nullptr;
  DWORD id = 0;
  RunSeen seen;
  bool ended = false;
  HWND kept = nullptr;  // its log window, left open
};

// One look at a child: its end, else its log window, read and closed (or left open).
void Look(Child& c, bool watch, bool picture, bool keep) {
  if (c.ended || c.process == nullptr) return;
  DWORD code = 0;
  if (WaitForSingleObject(c.process, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(c.process, &code)) {
    c.ended = true;
    c.seen.exit = std::to_string(code);
    return;
  }
  std::wstring title;
  HWND window = !watch || c.seen.logRead ? nullptr : FindLogWindow(c.id, title);
  if (window == nullptr) return;
  ReadLogWindow(window, title, picture, c.seen);
  if (keep) c.kept = window;
  else SendDlgItemMessageW(window, IDOK, BM_CLICK, 0, 0);
}

// Looks until every child has ended or `limitMs` passed (those left are ended: "timeout").
void WaitForChildren(std::vector<Child>& children, DWORD limitMs, bool watch, bool picture) {
  for (DWORD waited = 0; waited <= limitMs; waited += 50) {
    bool all = true;
    for (Child& c : children) Look(c, watch, picture, false), all = all && (c.ended || c.process == nullptr);
    if (all) break;
    Sleep(50);
  }
  for (Child& c : children) {
    if (!c.ended && c.process != nullptr) c.seen.exit = "timeout", TerminateProcess(c.process, 0xFFFFFFFF);
    if (c.process != nullptr) WaitForSingleObject(c.process, 5000), CloseHandle(c.process);
  }
}

Child StartInstaller(const std::string& word, wchar_t* desktop = nullptr) {
  Child c;
  c.process = Start(kInstaller, Wide(word), desktop, &c.id);
  if (c.process == nullptr) c.seen.exit = "not-started";
  return c;
}

// The runner's own spooler keeps every monitor it added, and configuration module it asked,
// loaded (wine-notes.md): as held files they would change what the installer finds. Another
// process's copy of the spooler is no holder on Windows.
void DropProductModules() {
  for (const wchar_t* name : {L"zelmon64.dll", L"zelui64.dll", L"zeldrv64.dll"})
    for (HMODULE module; (module = GetModuleHandleW(name)) != nullptr;) FreeLibrary(module);
}

// Product printers and all printers. Level 4 holds names alone, which Wine reads far faster
// than level 2: fast enough to see a reinstall halfway through its printers.
size_t CountPrinters(DWORD level, std::vector<BYTE>& buffer) {
  DWORD needed = 0, count = 0;
  if (buffer.size() < 0x40000) buffer.resize(0x40000);
  if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                     &count)) {
    buffer.resize(2 * needed);
    return CountPrinters(level, buffer);
  }
  if (level == 4) return count;
  size_t product = 0;
  for (DWORD i = 0; i < count; i++) {
    const wchar_t* driver = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())[i].pDriverName;
    product += driver != nullptr && lstrcmpW(driver, L"Orvandelle printer") == 0;
  }
  return product;
}

struct Watch {
  HANDLE process;
  std::string when;
  size_t count = 0, others = 0, at = 0;
  bool killed = false;
};

// Ends the installer as a deployment tool's time-out does, once the spooler shows the first
// product printer gone ("first-gone") or half of them back after fewer were left ("half-back").
DWORD WINAPI KillWhen(void* argument) {
  Watch& w = *static_cast<Watch*>(argument);
  std::vector<BYTE> buffer;
  bool fewerThanHalf = false;
  for (DWORD started = GetTickCount(); GetTickCount() - started < 120000;) {
    if (WaitForSingleObject(w.process, 0) == WAIT_OBJECT_0) return 0;
    size_t all = CountPrinters(4, buffer), now = all > w.others ? all - w.others : 0;
    fewerThanHalf = fewerThanHalf || now < (w.count + 1) / 2;
    bool due = w.when == "first-gone" ? now < w.count : fewerThanHalf && now >= (w.count + 1) / 2;
    if (due) {
      w.killed = TerminateProcess(w.process, 0xDEAD) != FALSE, w.at = now;
      return 0;
    }
  }
  return 0;
}

std::vector<RunSeen> Killed(const RunAsked& asked) {
  std::vector<BYTE> buffer;
  Watch w = {nullptr, asked.killed};
  w.count = CountPrinters(2, buffer);
  w.others = CountPrinters(4, buffer) - w.count;
  std::vector<Child> children = {StartInstaller(asked.words[0])};
  w.process = children[0].process;
  HANDLE watcher = w.process == nullptr ? nullptr : CreateThread(nullptr, 0, KillWhen, &w, 0, nullptr);
  WaitForChildren(children, 90000, true, false);
  if (watcher != nullptr) WaitForSingleObject(watcher, INFINITE), CloseHandle(watcher);
  if (!w.killed) Fail("orvinst.exe was not ended from outside (" + asked.killed + ")");
  else Out("note: orvinst.exe killed at " + std::to_string(w.at) + " product printers"), children[0].seen.exit = "killed";
  return {children[0].seen};
}

// In a window station with no display surface, as a service running as SYSTEM starts it; a
// run past 20 s is ended. The station is first proven invisible by a child that reports its flags.
std::vector<RunSeen> Unseen(const RunAsked& asked) {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationW(L"OrvScenarioStation", 0, WINSTA_ALL_ACCESS, nullptr);
  HDESK desktop = nullptr;
  if (station != nullptr && SetProcessWindowStation(station))
    desktop = CreateDesktopW(L"OrvScenarioDesktop", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  if (desktop == nullptr) {
    Fail("making the window station: error " + std::to_string(GetLastError()));
    return {};
  }
  std::wstring name = L"OrvScenarioStation\\OrvScenarioDesktop";
  std::string flags = Finish(Start(BuildBin() + L"scenario_runner.exe", L"--station-flags", &name[0]), 20000);
  if (flags != "0") Fail("flags of the run's window station (WSF_VISIBLE is 1): " + flags);
  std::vector<Child> children = {StartInstaller(asked.words[0], &name[0])};
  WaitForChildren(children, 20000, false, false);
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return {children[0].seen};
}

int ReportOwnStation() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed))
    return static_cast<int>(0xFFFF0000 | GetLastError());
  return static_cast<int>(flags.dwFlags);
}

// "beside-window A B": the first run's log window stays open, as a person who left it would,
// while the second run starts and ends; then it is closed. The second must not wait for it.
std::vector<RunSeen> Beside(const RunAsked& asked) {
  std::vector<Child> first = {StartInstaller(asked.words[0])};
  for (DWORD waited = 0; waited < 90000 && !first[0].ended && first[0].kept == nullptr; waited += 50)
    Look(first[0], true, false, true), Sleep(50);
  std::vector<Child> second = {StartInstaller(asked.words[1])};
  WaitForChildren(second, 60000, true, false);
  if (first[0].kept == nullptr || second[0].seen.exit == "timeout")
    Fail("the second run did not end while the first one's log window was open");
  if (first[0].kept != nullptr) SendDlgItemMessageW(first[0].kept, IDOK, BM_CLICK, 0, 0);
  WaitForChildren(first, 60000, false, false);
  return {first[0].seen, second[0].seen};
}

// --- DLLs planted beside the installer ---

// How Wine loads the DLLs `dlls` for one program ("" none, "native,builtin" the program's
// folder first, as Windows' search order would without the installer's guard); a child's own
// WINEDLLOVERRIDES is not read, the registry's per-program overrides are.
bool Override(const wchar_t* program, const std::vector<const wchar_t*>& dlls, const wchar_t* how) {
  std::wstring path = std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
  RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
  HKEY key = nullptr;
  bool ok = how == nullptr || RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                              &key, nullptr) == ERROR_SUCCESS;
  for (const wchar_t* dll : dlls)
    ok = ok && (how == nullptr || RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(how),
                                                 (lstrlenW(how) + 1) * sizeof(wchar_t)) == ERROR_SUCCESS);
  if (key != nullptr) RegCloseKey(key);
  return ok;
}

// {"version.dll loaded": programs, ...} from the marks planted DLLs leave, removed once read.
std::map<std::string, std::vector<std::string>> PlantedMarks() {
  std::map<std::string, std::vector<std::string>> marks;
  for (const char* dll : kPlanted)
    for (const char* kind : {".loaded", ".called"}) {
      std::wstring path = kProductDir + Wide(std::string(dll) + kind);
      std::string text, line;
      if (!ReadBytes(path, text)) continue;
      for (char c : text)
        if (c == '\n') marks[std::string(dll) + " " + (kind + 1)].push_back(line), line.clear();
        else line += c;
      DeleteFileW(path.c_str());
    }
  return marks;
}

// Proof first that a program built the usual way takes all three, else this proves nothing.
bool Plant() {
  std::wstring e2e = BuildBin() + L"e2e\\", naive = std::wstring(kProductDir) + L"naive_loader.exe";
  bool ok = Copy(e2e + L"naive_loader.exe", naive);
  for (const char* dll : kPlanted) ok = ok && Copy(e2e + L"planted.dll", kProductDir + Wide(dll));
  for (const wchar_t* program : {L"orvinst.exe", L"naive_loader.exe"})
    ok = ok && Override(program, {L"version", L"winspool.drv", L"localspl"}, L"native,builtin");
  std::string exit = ok ? Finish(Start(naive, L""), 60000) : "not copied";
  if (exit != "0") Fail("the usual program beside the planted DLLs exited " + exit);
  std::string taken;
  for (const auto& mark : PlantedMarks()) taken += mark.first + ";";
  if (taken != "localspl.dll loaded;version.dll called;version.dll loaded;winspool.drv called;winspool.drv loaded;")
    Fail("planted DLLs the usual program takes: " + taken);
  DeleteFileW(naive.c_str());
  return ok;
}

// Wine's own user32 imports version.dll and calls it, so native-first Wine loads a planted copy
// into every program with a window (docs/wine-differences.md); the installer itself may
// neither load nor call it.
Words PlantedSeen() {
  std::map<std::string, std::vector<std::string>> marks = PlantedMarks();
  marks.erase("version.dll loaded");
  std::vector<std::string> callers;
  for (const std::string& caller : marks["version.dll called"])
    if (_strnicmp(caller.c_str(), "C:\\windows\\system32\\", 20) != 0) callers.push_back(caller);
  marks.erase("version.dll called");
  if (!callers.empty()) marks["version.dll called"] = callers;
  Words seen;
  for (const auto& mark : marks)
    for (const std::string& program : mark.second) seen.push_back(mark.first + " by " + program);
  return seen.empty() ? Words{"unused"} : seen;
}

// "missing": winspool.drv cannot be loaded; "hollow": the system's copy lacks the spooler's
// functions; "restored": Wine's own again.
bool SpoolerLibrary(const std::string& how) {
  std::wstring system = L"C:\\windows\\system32\\winspool.drv", kept = L"C:\\windows\\winspool.drv.wine";
  if (GetFileAttributesW(kept.c_str()) == INVALID_FILE_ATTRIBUTES && !Copy(system, kept)) return false;
  if (how == "hollow") {
    Override(L"orvinst.exe", {L"winspool.drv"}, L"native");
    return Copy(BuildBin() + L"e2e\\components\\2547\\zeldrv64.dll", system);
  }
  Override(L"orvinst.exe", {L"winspool.drv"}, how == "missing" ? L"" : nullptr);
  return (how == "missing" || how == "restored") && Copy(kept, system);
}

// The first error line starts so and gives the reason as the loader reported it.
Words FirstErrorSeen(const Words& w) {
  const RunSeen* run = machine.runs.empty() ? nullptr : &machine.runs[0];
  for (size_t i = 0; run != nullptr && i < run->log.size(); i++) {
    std::string line = run->log[i].substr(run->log[i].find_first_not_of(' ') % run->log[i].size());
    if (line.find("Error(") == std::string::npos) continue;
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    bool ok = line.rfind(w[1], 0) == 0 && lower.find(w[2]) != std::string::npos;
    return ok ? Words(w.begin() + 1, w.end()) : Words{line};
  }
  return {"no error line"};
}

// Its mutex and its window: 1 both, 0 neither, -1 one of them.
int TrayState() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kTrayMutex);
  if (mutex != nullptr) CloseHandle(mutex);
  bool window = FindWindowW(kTrayWindowClass, nullptr) != nullptr;
  return mutex != nullptr && window ? 1 : mutex == nullptr && !window ? 0 : -1;
}

// "baseline": the floor a reinstall is measured against (bench/baseline.c, scripts/bench), the
// bare spooler calls that carry the printers over, timed as a run of the installer is.
bool Baseline() {
  DropProductModules();
  std::wstring program = L"C:\\bench\\baseline.exe";
  bool copied = Copy(BuildBin() + L"bench\\bench_baseline.exe", program);
  ULONGLONG started = GetTickCount64();
  std::string exit = copied ? Finish(Start(program, L""), 600000) : "not copied";
  Out("time baseline " + std::to_string(GetTickCount64() - started) + " ms");
  return exit == "0";
}

// --- the main job shown (scripts/demo) ---

std::string Field(const wchar_t* text) { return text == nullptr ? "-" : Narrow(text); }

// "show WHEN": the spooler as a person would look at it, and after a run its exit code.
bool Show(const std::string& when) {
  static const std::map<std::string, std::string> meanings = {
      {"1", "install finished: no error logged, nothing left for a restart"},
      {"100", "at least one error was logged (the log window shows which)"},
      {"101", "no error, but files wait for deletion at the next restart"}};
  Out("\n== the spooler " + when);
  DWORD needed = 0, count = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 1);
  if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count)) count = 0;
  char row[512];
  for (DWORD i = 0; i < count; i++) {
    const PRINTER_INFO_2W& p = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())[i];
    std::snprintf(row, sizeof row, "printer   %-22s %-12s %-20s %-12s %s", Field(p.pPrinterName).c_str(),
                  Field(p.pPortName).c_str(), Field(p.pDriverName).c_str(), Field(p.pComment).c_str(),
                  Field(p.pLocation).c_str());
    Out(row);
  }
  wchar_t name[256] = {0};
  DWORD size = 256;
  Out("default   " + (GetDefaultPrinterW(name, &size) ? Narrow(name) : "none"));
  DWORD ignored = 0, bytes = GetFileVersionInfoSizeW(L"C:\\windows\\system32\\zelmon64.dll", &ignored);
  std::vector<BYTE> block(bytes + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (bytes != 0 && GetFileVersionInfoW(L"C:\\windows\\system32\\zelmon64.dll", 0, bytes, block.data()) &&
      VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length))
    Out("monitor   C:\\windows\\system32\\zelmon64.dll, build " + std::to_string(info->dwProductVersionLS & 0xFFFF));
  Out(std::string("tray      ") + (TrayState() == 1 ? "running" : "not running"));
  for (const RunSeen& run : machine.runs) {
    auto meaning = meanings.find(run.exit);
    Out("\n== exit code " + run.exit + ": " + (meaning == meanings.end() ? "unexpected" : meaning->second));
    Out("log window: " + (run.title.empty() ? "none" : "\"" + run.title + "\""));
  }
  return true;
}

}  // namespace

// --- the seam ---

void Fail(const std::string& what) { machine.failures.push_back(what); }

// Another maker's driver files (oth*) are the product's stand-ins renamed: Wine's spooler calls
// into a configuration module, so it must be one.
std::string ComponentBytes(const std::string& asked, int build) {
  std::string name = asked.rfind("oth", 0) == 0 ? "zel" + asked.substr(3) : asked;
  bool unversioned = name == "zelhelp.chm" || name == "orvtray.exe";
  std::string folder = unversioned ? "" : (build == kNoBuild ? "none" : std::to_string(build)) + "\\";
  std::string bytes;
  if (!ReadBytes(BuildBin() + L"e2e\\components\\" + Wide(folder + name), bytes))
    Fail("no stand-in component " + folder + name);
  return bytes;
}

// One orvinst.exe is built; the table's builds are those of the components beside it.
bool PlaceInstaller(int) { return Copy(BuildBin() + L"orvinst.exe", kInstaller); }

std::string UserHive() {
  HANDLE token = nullptr;
  BYTE buffer[256];
  DWORD size = 0;
  char* sid = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
  CloseHandle(token);
  std::string text = ok ? sid : "";
  if (sid != nullptr) LocalFree(sid);
  return text;
}

std::vector<RunSeen> RunInstaller(const RunAsked& asked) {
  DropProductModules();
  if (asked.words.empty()) return {};
  ULONGLONG started = GetTickCount64();
  if (asked.shift) SendShift(true);
  std::vector<Child> children;
  if (!asked.killed.empty()) machine.runs = Killed(asked);
  else if (asked.unseen) machine.runs = Unseen(asked);
  else if (asked.besideWindow && asked.words.size() == 2) machine.runs = Beside(asked);
  else {
    for (const std::string& word : asked.words) children.push_back(StartInstaller(word));
    WaitForChildren(children, 120000, true, asked.screenshot);
    machine.runs.clear();
    for (const Child& c : children) machine.runs.push_back(c.seen);
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

bool Hold(const std::string& path) { return StartHelper(L"--hold \"" + Wide(path) + L"\""); }
bool Squat(const std::string& kind) { return StartHelper(L"--squat " + Wide(kind)); }

void Release() {
  static HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  SetEvent(release);
  for (HANDLE helper : machine.helpers) Finish(helper, 20000);
  machine.helpers.clear();
  ResetEvent(release);
}

bool StartTray() {
  HANDLE tray = Start(kTray, L"");
  if (tray != nullptr) CloseHandle(tray);
  for (DWORD waited = 0; tray != nullptr && waited < 10000; waited += 50, Sleep(50))
    if (TrayState() == 1) return true;
  return false;
}

// The program starts or ends on its own time after the run that asked: the state it is heading
// for, judged by its Run value, once reached or after 10 s; a tray half up or half gone is
// neither running nor removed.
bool TrayRunning() {
  HKEY key = nullptr;
  bool expected = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                                KEY_READ, &key) == ERROR_SUCCESS &&
                  RegQueryValueExW(key, L"OrvandelleTray", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  if (key != nullptr) RegCloseKey(key);
  int state = TrayState();
  for (DWORD waited = 0; waited < 10000 && state != (expected ? 1 : 0); waited += 50, Sleep(50)) state = TrayState();
  return expected ? state == 1 : state != 0;
}

bool MachineAction(const Words& w) {
  if (w.size() == 1 && w[0] == "plant") return Plant();
  if (w.size() == 2 && w[0] == "spooler-library") return SpoolerLibrary(w[1]);
  if (w.size() == 2 && w[0] == "show") return Show(w[1]);
  if (w.size() == 1 && w[0] == "baseline") return Baseline();
  return false;
}

bool MachineCheck(const Words& w, Words& seen) {
  if (w.size() == 2 && w[0] == "planted") return seen = PlantedSeen(), true;
  if (w.size() == 3 && w[0] == "first-error") return seen = FirstErrorSeen(w), true;
  return false;
}

// The lock's checks read the simulated clock and call record; Wine keeps no printer permissions
// (docs/wine-differences.md).
bool PlaysCheck(const std::string& name) {
  return name != "host" && name != "lock" && name != "tray-start" && name != "permissions";
}

}  // namespace scenario

// scenario_runner.exe [--table DIR] NAME   plays one scenario in this prefix: 0 passed, 1 failed
int wmain(int argc, wchar_t** argv) {
  using namespace scenario;
  std::wstring first = argc > 1 ? argv[1] : L"";
  if (first == L"--station-flags") return ReportOwnStation();
  if (first == L"--hold" && argc == 3) return HoldUntilReleased(LoadLibraryW(argv[2]));
  if (first == L"--squat" && argc == 3) return HoldUntilReleased(SquatLockName(argv[2]));
  machine.display = GetEnvironmentVariableW(L"E2E_DISPLAY", nullptr, 0) != 0;
  bool other = first == L"--table" && argc == 4;
  std::vector<Scenario> table = ReadTable(other ? Narrow(argv[2]) : SCENARIO_TABLE_DIR);
  first = other ? argv[3] : first;
  for (const Scenario& s : table) {
    if (Narrow(first) != s.name || s.only == "host") continue;
    machine.scenario = s.name;
    PlayScenario(s);
    Release();
    for (const std::string& failure : machine.failures) Out("FAILED " + failure);
    Out((machine.failures.empty() ? "passed " : "FAILED ") + s.name);
    return machine.failures.empty() ? 0 : 1;
  }
  Out("usage: scenario_runner.exe [--table DIR] NAME (no scenario " + Narrow(first) + " for Wine)");
  return 2;
}
