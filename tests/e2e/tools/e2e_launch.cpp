// Runs one program and reports its full 32-bit exit code, which a Unix exit status would cut
// to 8 bits. Meanwhile it can hold Shift down and deal with the installer's log window the
// way a person would: read it, picture it, close it, so that no run waits for a window.
//   e2e_launch.exe [--timeout=MS] [--shift] [--watch-window] [--screenshot=PATH.bmp] -- PROGRAM [ARGS...]
// Prints "exit N" (or "exit timeout", "exit not-started E") and what it saw of the window.
#include "log_window.h"

namespace {

std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  return L"\"" + argument + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD limitMs = 60000;
  bool shift = false, watch = false;
  std::wstring screenshot, commandLine;
  int i = 1;
  for (; i < argc && std::wstring(argv[i]) != L"--"; i++) {
    std::wstring argument = argv[i];
    if (argument.rfind(L"--timeout=", 0) == 0) limitMs = static_cast<DWORD>(std::stoul(argument.substr(10)));
    if (argument == L"--shift") shift = true;
    if (argument == L"--watch-window") watch = true;
    if (argument.rfind(L"--screenshot=", 0) == 0) screenshot = argument.substr(13);
  }
  if (i + 1 >= argc) {
    e2e::Out("usage: e2e_launch.exe [options] -- program [arguments...]");
    return 2;
  }
  for (int k = i + 1; k < argc; k++) commandLine += (k > i + 1 ? L" " : L"") + Quote(argv[k]);

  if (shift) e2e::SendShift(true);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[i + 1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    e2e::Out("exit not-started " + std::to_string(GetLastError()));
    if (shift) e2e::SendShift(false);
    return 1;
  }
  bool handled = false, ended = false;
  for (DWORD waited = 0; waited <= limitMs && !ended; waited += 50) {
    ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
    if (ended || !watch || handled) continue;
    e2e::LogWindow found = e2e::FindLogWindow();
    if (found.window == nullptr) continue;
    e2e::HandleLogWindow(found, screenshot, true);
    handled = true;
  }
  if (shift) e2e::SendShift(false);
  if (!ended) {
    e2e::Out("exit timeout");
    TerminateProcess(process.hProcess, 0xFFFFFFFF);
    WaitForSingleObject(process.hProcess, 5000);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    e2e::Out("exit " + std::to_string(code));
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
