// Waits for the installer's log window, prints its title and text, optionally saves a
// picture of it, and presses Close.
//   e2e_window.exe [--timeout=MS] [--screenshot=PATH.bmp] [--leave-open]
// Ends with 0 when the window was found, 1 when it did not appear in time.
#include "log_window.h"

int wmain(int argc, wchar_t** argv) {
  DWORD limitMs = 30000;
  std::wstring screenshot;
  bool close = true;
  for (int i = 1; i < argc; i++) {
    std::wstring argument = argv[i];
    if (argument.rfind(L"--timeout=", 0) == 0) limitMs = static_cast<DWORD>(std::stoul(argument.substr(10)));
    if (argument.rfind(L"--screenshot=", 0) == 0) screenshot = argument.substr(13);
    if (argument == L"--leave-open") close = false;
  }
  for (DWORD waited = 0; waited <= limitMs; waited += 50) {
    e2e::LogWindow found = e2e::FindLogWindow();
    if (found.window != nullptr) {
      e2e::HandleLogWindow(found, screenshot, close);
      return 0;
    }
    Sleep(50);
  }
  e2e::Out("window\t(none)");
  return 1;
}
