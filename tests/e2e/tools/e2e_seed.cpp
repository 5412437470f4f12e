// Puts a Wine prefix into the state a scenario starts from, through the same platform calls
// an earlier install or the user would have made. Each argument is one command whose fields
// are separated by "|"; "-" stands for a field left out:
//   monitor[|DLL]                            register "Orvandelle:" with zelmon64.dll or DLL
//   driver|NAME|DRIVER|UI|HELP               add a driver from files staged in the driver directory
//   printer|NAME|PORT|DRIVER|COMMENT|LOCATION|SUBKEY|DSUSER
//   default|NAME                             make a printer the default
//   settings|KEY                             the printer's settings key, marked "deleted"
//   pending|PATH                             append a deletion of PATH to the pending renames
//   run|PATH                                 the tray program's Run value
//   start|PATH                               start a program and leave it running
//   wait-tray|MS                             wait until the tray program's window exists
//   hold|PATH                                load a DLL and keep it loaded until released (last)
//   release                                  let every holding copy of this program end
// Prints one line per command; ends with 1 at the first command that fails.
#include <vector>

#include "e2e_tool.h"

#include <winspool.h>

using e2e::Out;

namespace {

std::vector<std::wstring> SplitFields(const std::wstring& command) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    size_t bar = command.find(L'|', start);
    fields.push_back(command.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
    if (bar == std::wstring::npos) return fields;
    start = bar + 1;
  }
}

// A field as an optional text: "-" gives none.
wchar_t* Optional(std::wstring& field) { return field == L"-" ? nullptr : &field[0]; }

bool Fail(const std::wstring& command, DWORD error) {
  Out("FAILED " + e2e::Narrow(command) + ": error " + std::to_string(error));
  return false;
}

bool SeedMonitor(std::vector<std::wstring>& f) {
  if (f.size() > 2) return false;
  std::wstring dll = f.size() == 2 ? f[1] : L"zelmon64.dll";
  MONITOR_INFO_2W info = {};
  info.pName = const_cast<wchar_t*>(L"Orvandelle:");
  info.pEnvironment = const_cast<wchar_t*>(e2e::kEnvironment);
  info.pDLLName = &dll[0];
  return AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info)) != FALSE;
}

std::wstring DriverDirectory() {
  wchar_t directory[MAX_PATH] = {0};
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(e2e::kEnvironment), 1,
                             reinterpret_cast<BYTE*>(directory), sizeof directory, &needed);
  return std::wstring(directory) + L"\\";
}

bool SeedDriver(std::vector<std::wstring>& f) {
  if (f.size() != 5) return false;
  std::wstring directory = DriverDirectory();
  std::wstring driver = directory + f[2], ui = directory + f[3], help = f[4] == L"-" ? L"" : directory + f[4];
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = &f[1][0];
  info.pEnvironment = const_cast<wchar_t*>(e2e::kEnvironment);
  info.pDriverPath = &driver[0];
  info.pDataFile = &driver[0];
  info.pConfigFile = &ui[0];
  info.pHelpFile = &help[0];
  return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES) != FALSE;
}

bool SeedPrinter(std::vector<std::wstring>& f) {
  if (f.size() != 8) return false;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = &f[1][0];
  info.pPortName = &f[2][0];
  info.pDriverName = &f[3][0];
  info.pComment = Optional(f[4]);
  info.pLocation = Optional(f[5]);
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer == nullptr) return false;
  bool ok = true;
  if (f[6] != L"-") {
    std::string key = e2e::Narrow(f[6]);
    ok = SetPrinterDataA(printer, const_cast<char*>("SubKey"), REG_SZ, reinterpret_cast<BYTE*>(&key[0]),
                         static_cast<DWORD>(key.size() + 1)) == ERROR_SUCCESS;
  }
  if (ok && f[7] != L"-") {
    std::string key = e2e::Narrow(f[7]);
    ok = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, reinterpret_cast<BYTE*>(&key[0]),
                           static_cast<DWORD>(key.size() + 1)) == ERROR_SUCCESS;
  }
  ClosePrinter(printer);
  if (!ok) SetLastError(ERROR_WRITE_FAULT);
  return ok;
}

bool MarkSettingsKey(const std::wstring& key) {
  HKEY handle = nullptr;
  std::wstring path = std::wstring(e2e::kSettingsRoot) + L"\\" + key;
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                                nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(handle, L"deleted", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    RegCloseKey(handle);
  }
  SetLastError(status);
  return status == ERROR_SUCCESS;
}

// The deletion is appended as the system's own MoveFileEx would write it: the path with the
// NT object prefix, then an empty target.
bool AppendPendingDelete(const std::wstring& path) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, e2e::kSessionManagerKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return false;
  }
  std::vector<wchar_t> data;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, e2e::kPendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    data.resize(size / sizeof(wchar_t) + 1);
    RegQueryValueExW(key, e2e::kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    data.resize(size / sizeof(wchar_t));
    while (!data.empty() && data.back() == 0) data.pop_back();
    if (!data.empty()) data.push_back(0);
  }
  std::wstring source = L"\\??\\" + path;
  data.insert(data.end(), source.begin(), source.end());
  data.push_back(0);  // end of the source
  data.push_back(0);  // the empty target
  data.push_back(0);  // end of the list
  status = RegSetValueExW(key, e2e::kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  SetLastError(status);
  return status == ERROR_SUCCESS;
}

bool SetRunValue(const std::wstring& path) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, e2e::kRunKey, 0, KEY_ALL_ACCESS, &key);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, e2e::kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                            static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  SetLastError(status);
  return status == ERROR_SUCCESS;
}

bool StartProgram(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool WaitForTray(DWORD limitMs) {
  for (DWORD waited = 0; waited <= limitMs; waited += 50) {
    if (FindWindowW(e2e::kTrayWindowClass, nullptr) != nullptr) return true;
    Sleep(50);
  }
  SetLastError(ERROR_TIMEOUT);
  return false;
}

const wchar_t kReleaseEvent[] = L"e2e-seed-release-held";

// Keeps the file loaded, so that it can neither be deleted nor overwritten, until "release"
// or the end of the session.
bool HoldLibrary(const std::wstring& path) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  if (release == nullptr) return false;
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) return false;
  Out("held " + e2e::Narrow(path));
  WaitForSingleObject(release, INFINITE);
  FreeLibrary(module);
  CloseHandle(release);
  return true;
}

bool Release() {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  if (release == nullptr) return false;
  SetEvent(release);
  CloseHandle(release);
  return true;
}

bool Run(const std::wstring& command) {
  std::vector<std::wstring> f = SplitFields(command);
  const std::wstring& verb = f[0];
  SetLastError(0);
  bool ok = false;
  if (verb == L"monitor")
    ok = SeedMonitor(f);
  else if (verb == L"driver")
    ok = SeedDriver(f);
  else if (verb == L"printer")
    ok = SeedPrinter(f);
  else if (verb == L"default" && f.size() == 2)
    ok = SetDefaultPrinterW(f[1].c_str()) != FALSE;
  else if (verb == L"settings" && f.size() == 2)
    ok = MarkSettingsKey(f[1]);
  else if (verb == L"pending" && f.size() == 2)
    ok = AppendPendingDelete(f[1]);
  else if (verb == L"run" && f.size() == 2)
    ok = SetRunValue(f[1]);
  else if (verb == L"start" && f.size() == 2)
    ok = StartProgram(f[1]);
  else if (verb == L"wait-tray" && f.size() == 2)
    ok = WaitForTray(static_cast<DWORD>(std::stoul(f[1])));
  else if (verb == L"hold" && f.size() == 2)
    ok = HoldLibrary(f[1]);
  else if (verb == L"release" && f.size() == 1)
    ok = Release();
  else
    SetLastError(ERROR_INVALID_PARAMETER);
  if (!ok) return Fail(command, GetLastError());
  Out("ok " + e2e::Narrow(command));
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; i++)
    if (!Run(argv[i])) return 1;
  return 0;
}
