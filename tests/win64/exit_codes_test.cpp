// Starts the built orvinst.exe with command words whose outcome needs nothing installed and
// checks the exit code each one ends with. The manifest asks for administrator rights, so on
// Windows itself this must run elevated (else CreateProcessW fails with 740); Wine starts it.
#include "win64_check.h"

namespace {

// Longer than any of these commands can take; a program still running after it is stuck,
// for instance behind a window nobody will close.
const DWORD kRunLimitMs = 30000;
const DWORD kNoExitCode = 0xFFFFFFFF;

DWORD RunInstaller(const std::wstring& path, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("  CreateProcessW failed with %lu\n", GetLastError());
    return kNoExitCode;
  }
  DWORD code = kNoExitCode;
  if (WaitForSingleObject(process.hProcess, kRunLimitMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  else {
    std::printf("  still running after %lu ms; ended\n", kRunLimitMs);
    TerminateProcess(process.hProcess, kNoExitCode);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

struct Case {
  const wchar_t* arguments;
  DWORD exitCode;
};

// Only "def.set" in exactly this spelling is the default-printer command.
const Case kCases[] = {
    {L"", 6},
    {L"frobnicate", 6},
    {L"DEF.SET", 6},
    {L"def.setx", 6},
    {L"def.set", 4},
    {L"removetray", 6},
};

}  // namespace

int wmain() {
  std::wstring path = InstallerPath();
  for (const Case& one : kCases) {
    std::string label = "orvinst " + Narrow(one.arguments);
    std::printf("%s\n", label.c_str());
    CheckEqual<DWORD>(RunInstaller(path, one.arguments), one.exitCode, label.c_str());
  }
  return Verdict("exit codes");
}
