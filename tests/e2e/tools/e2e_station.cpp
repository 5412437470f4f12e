// Runs a program in a window station of its own, which has no display surface: as a deployment
// service running as SYSTEM starts the installer, where nobody sees a window or can close one.
// Reports the program's full exit code, and ends it when it outlives the time limit.
//   e2e_station.exe [--timeout=MS] --probe              how the station looks from inside
//   e2e_station.exe [--timeout=MS] -- PROGRAM [ARGS...]
// Prints "probe flags=N visible=yes|no" (or "probe failed E"), or "exit N" ("exit timeout",
// "exit not-started E"); "FAILED ..." when the station cannot be made.
#include "e2e_tool.h"

namespace {

const wchar_t kStation[] = L"OrvE2EStation";
const wchar_t kDesktop[] = L"OrvE2EDesktop";
// The probe's answer when it cannot read its station's flags.
const DWORD kProbeFailed = 0xFFFF0000;

std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  return L"\"" + argument + L"\"";
}

// Inside the station: its flags as the exit code.
int ReportOwnStation() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed))
    return static_cast<int>(kProbeFailed | (GetLastError() & 0xFFFF));
  return static_cast<int>(flags.dwFlags);
}

struct Station {
  HWINSTA station;
  HDESK desktop;
};

// The desktop belongs to the station the process is connected to when it is made.
Station MakeStation() {
  Station made = {CreateWindowStationW(kStation, 0, WINSTA_ALL_ACCESS, nullptr), nullptr};
  if (made.station == nullptr) return made;
  HWINSTA own = GetProcessWindowStation();
  if (SetProcessWindowStation(made.station)) {
    made.desktop = CreateDesktopW(kDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
  }
  return made;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD limitMs = 30000;
  bool probe = false;
  std::wstring commandLine, program;
  int i = 1;
  for (; i < argc && std::wstring(argv[i]) != L"--"; i++) {
    std::wstring argument = argv[i];
    if (argument.rfind(L"--timeout=", 0) == 0) limitMs = static_cast<DWORD>(std::stoul(argument.substr(10)));
    if (argument == L"--probe") probe = true;
    if (argument == L"--report") return ReportOwnStation();
  }
  if (probe) {
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    program = self;
    commandLine = Quote(self) + L" --report";
  } else if (i + 1 < argc) {
    program = argv[i + 1];
    for (int k = i + 1; k < argc; k++) commandLine += (k > i + 1 ? L" " : L"") + Quote(argv[k]);
  } else {
    e2e::Out("usage: e2e_station.exe [--timeout=MS] (--probe | -- program [arguments...])");
    return 2;
  }

  Station made = MakeStation();
  if (made.station == nullptr || made.desktop == nullptr) {
    e2e::Out("FAILED making the window station: error " + std::to_string(GetLastError()));
    return 1;
  }
  std::wstring desktop = std::wstring(kStation) + L"\\" + kDesktop;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = &desktop[0];
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    e2e::Out("exit not-started " + std::to_string(GetLastError()));
    return 1;
  }
  bool ended = WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0;
  DWORD code = 0;
  if (!ended) {
    e2e::Out("exit timeout");
    TerminateProcess(process.hProcess, 0xFFFFFFFF);
    WaitForSingleObject(process.hProcess, 5000);
  } else {
    GetExitCodeProcess(process.hProcess, &code);
    if (!probe)
      e2e::Out("exit " + std::to_string(code));
    else if ((code & kProbeFailed) == kProbeFailed)
      e2e::Out("probe failed " + std::to_string(code & 0xFFFF));
    else
      e2e::Out("probe flags=" + std::to_string(code) + " visible=" + ((code & WSF_VISIBLE) ? "yes" : "no"));
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseDesktop(made.desktop);
  CloseWindowStation(made.station);
  return 0;
}
