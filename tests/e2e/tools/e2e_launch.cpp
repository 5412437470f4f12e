// The launchers: they run a program and report its full 32-bit exit code, which a Unix exit
// status would cut to 8 bits, and deal with the installer's log window as a person would.
//   e2e_launch.exe [--timeout=MS] [--shift] [--watch-window] [--screenshot=PATH.bmp] -- PROGRAM ARGS
//       "exit N" ("exit timeout", "exit not-started E"), and the log window read and closed
//   e2e_station.exe [--timeout=MS] (--probe | -- PROGRAM ARGS)   runs it in a window station of its
//       own with no display surface, as a service running as SYSTEM does; --probe: its flags
#include <vector>

#include "e2e_tool.h"

namespace {

using e2e::Narrow;
using e2e::Out;

const wchar_t* const kLogTitles[] = {L"Orvandelle build 2547- Install error log!",
                                     L"Orvandelle build 2547- Install log."};
const int kLogTextId = 1001;
const DWORD kProbeFailed = 0xFFFF0000;

// --- the log window, as a person sees it ---

HWND FindLogWindow(std::wstring& title) {
  for (const wchar_t* candidate : kLogTitles) {
    HWND window = FindWindowW(L"#32770", candidate);
    title = candidate;
    if (window != nullptr && IsWindowVisible(window)) return window;
  }
  return nullptr;
}

// The window's area of the screen as a 24-bit bottom-up BMP file. Under Wine this needs a real
// display (Xvfb); the null graphics driver gives no pixels.
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
  HANDLE out = ok ? CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) : INVALID_HANDLE_VALUE;
  ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &written, nullptr) &&
       WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
       WriteFile(out, pixels, imageBytes, &written, nullptr);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

// Its title, its text box between markers (read by messages: GetWindowText of another
// process's window gives its caption only), a picture, then Close, sent so it is handled
// before this returns. The pause lets the owner paint first.
void HandleLogWindow(HWND window, const std::wstring& title, const std::wstring& screenshot) {
  Sleep(screenshot.empty() ? 50 : 1500);
  std::vector<wchar_t> text(SendDlgItemMessageW(window, kLogTextId, WM_GETTEXTLENGTH, 0, 0) + 2, 0);
  GetDlgItemTextW(window, kLogTextId, text.data(), static_cast<int>(text.size() - 1));
  std::wstring lines;  // the text-mode output adds the CR of each line end again
  for (const wchar_t* at = text.data(); *at != 0; at++)
    if (!(at[0] == L'\r' && at[1] == L'\n')) lines += *at;
  Out("window\t" + Narrow(title) + "\ntext-begin\n" + Narrow(lines) + "\ntext-end");
  if (!screenshot.empty()) Out(std::string("screenshot\t") + (SaveScreenshot(window, screenshot) ? "saved" : "failed"));
  SendDlgItemMessageW(window, IDOK, BM_CLICK, 0, 0);
}

// Wine keeps the desktop's key state while a process of the session lives, so the one that
// pressed Shift must stay alive until the installer has looked at it.
void SendShift(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = VK_LSHIFT;
  input.ki.wScan = 0x2a;
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  SendInput(1, &input, sizeof input);
}

// --- launching ---

struct Options {
  DWORD limitMs = 60000;
  bool shift = false, watch = false, probe = false;
  std::wstring screenshot, program, commandLine;
};

Options Parse(int argc, wchar_t** argv) {
  Options o;
  int i = 1;
  for (; i < argc && std::wstring(argv[i]) != L"--"; i++) {
    std::wstring a = argv[i];
    if (a.rfind(L"--timeout=", 0) == 0) o.limitMs = static_cast<DWORD>(std::stoul(a.substr(10)));
    if (a.rfind(L"--screenshot=", 0) == 0) o.screenshot = a.substr(13);
    o.shift = o.shift || a == L"--shift";
    o.watch = o.watch || a == L"--watch-window";
    o.probe = o.probe || a == L"--probe";
  }
  for (int k = i + 1; k < argc; k++) {
    std::wstring a = argv[k];
    bool plain = !a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos;
    o.commandLine += (k > i + 1 ? L" " : L"") + (plain ? a : L"\"" + a + L"\"");
  }
  if (i + 1 < argc) o.program = argv[i + 1];
  return o;
}

enum Outcome { kNotStarted, kTimedOut, kEnded };

// Runs the program to its end, or ends it at the time limit, watching for the log window.
Outcome RunProgram(const Options& o, wchar_t* desktop, DWORD& code) {
  std::wstring commandLine = o.commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(o.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Out("exit not-started " + std::to_string(GetLastError()));
    return kNotStarted;
  }
  bool ended = false, handled = !o.watch;
  std::wstring title;
  for (DWORD waited = 0; waited <= o.limitMs && !ended; waited += 50) {
    ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
    HWND window = ended || handled ? nullptr : FindLogWindow(title);
    if (window != nullptr) HandleLogWindow(window, title, o.screenshot);
    handled = handled || window != nullptr;
  }
  if (!ended) {
    Out("exit timeout");
    TerminateProcess(process.hProcess, 0xFFFFFFFF);
    WaitForSingleObject(process.hProcess, 5000);
  }
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended ? kEnded : kTimedOut;
}

int Launch(const Options& o) {
  if (o.program.empty()) return 2;
  if (o.shift) SendShift(true);
  DWORD code = 0;
  Outcome outcome = RunProgram(o, nullptr, code);
  if (o.shift) SendShift(false);
  if (outcome == kEnded) Out("exit " + std::to_string(code));
  return outcome == kNotStarted ? 1 : 0;
}

// The desktop belongs to the station the process is connected to when it is made.
int InStation(Options o, const wchar_t* self) {
  HWINSTA station = CreateWindowStationW(L"OrvE2EStation", 0, WINSTA_ALL_ACCESS, nullptr), own = GetProcessWindowStation();
  HDESK desktop = station != nullptr && SetProcessWindowStation(station)
                      ? CreateDesktopW(L"OrvE2EDesktop", nullptr, nullptr, 0, GENERIC_ALL, nullptr)
                      : nullptr;
  SetProcessWindowStation(own);
  if (desktop == nullptr) {
    Out("FAILED making the window station: error " + std::to_string(GetLastError()));
    return 1;
  }
  if (o.probe) o.program = self, o.commandLine = L"\"" + std::wstring(self) + L"\" --report";
  std::wstring name = L"OrvE2EStation\\OrvE2EDesktop";
  DWORD code = 0;
  Outcome outcome = o.program.empty() ? kNotStarted : RunProgram(o, &name[0], code);
  bool ended = outcome == kEnded;
  if (ended && !o.probe) Out("exit " + std::to_string(code));
  if (ended && o.probe)
    Out((code & kProbeFailed) == kProbeFailed ? "probe failed " + std::to_string(code & 0xFFFF)
        : "probe flags=" + std::to_string(code) + " visible=" + ((code & WSF_VISIBLE) ? "yes" : "no"));
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return outcome == kNotStarted ? 1 : 0;
}

// Inside the station: its flags as the exit code.
int ReportOwnStation() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed))
    return static_cast<int>(kProbeFailed | (GetLastError() & 0xFFFF));
  return static_cast<int>(flags.dwFlags);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (e2e::Is(L"e2e_station.exe"))
    return argc == 2 && std::wstring(argv[1]) == L"--report" ? ReportOwnStation() : InStation(Parse(argc, argv), self);
  return Launch(Parse(argc, argv));
}
