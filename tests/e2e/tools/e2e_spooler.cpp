// The helpers that speak to the spooler (and so import winspool.drv, which a scenario may take
// away from the installer; the launchers must not need it).
//   e2e_seed.exe COMMAND...   puts a prefix into a scenario's starting state through the platform
//       calls an earlier install or the user would have made; fields separated by "|", "-" none:
//       monitor[|DLL]  driver|NAME|DRIVER|UI|HELP (files staged in the driver directory)
//       printer|NAME|PORT|DRIVER|COMMENT|LOCATION|SUBKEY|DSUSER  default|NAME
//       settings|KEY (marked deleted)  pending|PATH (a deletion)  run|PATH (the tray's Run value)
//       start|PATH  wait-tray|MS  hold|PATH (loaded until "release")  release
//   e2e_query.exe             prints the state, one tab-separated record per line, then "end"
#include <vector>

#include "e2e_tool.h"

#include <winspool.h>

namespace {

using e2e::Narrow;
using e2e::Out;

const wchar_t kTrayMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kTrayWindowClass[] = L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const wchar_t kEnvironment[] = L"Windows x64";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"OrvandelleTray";
const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kSettingsRoot[] = L"Software\\Corvane\\Orvandelle\\Orvandelles";
const wchar_t kReleaseEvent[] = L"e2e-seed-release-held";

// A null text and control characters stay visible, so every record is exactly one line.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
  return out;
}

std::string Field(const wchar_t* text) { return text == nullptr ? "(null)" : Escape(Narrow(text)); }

std::string Field(const std::wstring& text) { return Field(text.c_str()); }

// The status kept as the last error, for the report of a failed command.
bool Succeeded(LONG status) {
  SetLastError(status);
  return status == ERROR_SUCCESS;
}

std::wstring DriverDirectory() {
  wchar_t directory[MAX_PATH] = {0};
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(kEnvironment), 1, reinterpret_cast<BYTE*>(directory),
                             sizeof directory, &needed);
  return std::wstring(directory) + L"\\";
}

// --- seeding ---

wchar_t* Optional(std::wstring& field) { return field == L"-" ? nullptr : &field[0]; }

bool SeedMonitor(std::vector<std::wstring>& f) {
  std::wstring dll = f.size() == 2 ? f[1] : L"zelmon64.dll";
  MONITOR_INFO_2W info = {const_cast<wchar_t*>(L"Orvandelle:"), const_cast<wchar_t*>(kEnvironment), &dll[0]};
  return f.size() <= 2 && AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

bool SeedDriver(std::vector<std::wstring>& f) {
  if (f.size() != 5) return false;
  std::wstring directory = DriverDirectory();
  std::wstring driver = directory + f[2], ui = directory + f[3], help = f[4] == L"-" ? L"" : directory + f[4];
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = &f[1][0];
  info.pEnvironment = const_cast<wchar_t*>(kEnvironment);
  info.pDriverPath = info.pDataFile = &driver[0];
  info.pConfigFile = &ui[0];
  info.pHelpFile = &help[0];
  return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
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
  std::string key = Narrow(f[6]), dsUser = Narrow(f[7]);
  DWORD status = ERROR_SUCCESS;
  if (key != "-")
    status = SetPrinterDataA(printer, const_cast<char*>("SubKey"), REG_SZ, reinterpret_cast<BYTE*>(&key[0]),
                             static_cast<DWORD>(key.size() + 1));
  if (status == ERROR_SUCCESS && dsUser != "-")
    status = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, reinterpret_cast<BYTE*>(&dsUser[0]),
                               static_cast<DWORD>(dsUser.size() + 1));
  ClosePrinter(printer);
  return Succeeded(status);
}

bool SetValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const std::vector<wchar_t>& data) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Succeeded(status);
  status = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  return Succeeded(status);
}

std::vector<wchar_t> Text(const std::wstring& text) { return std::vector<wchar_t>(text.c_str(), text.c_str() + text.size() + 1); }

// The bytes of one registry value, or false when it cannot be read.
bool ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, std::vector<wchar_t>& data) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0, type = 0;
  bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  data.assign(size / sizeof(wchar_t) + 2, 0);  // two zeros beyond, whatever the value holds
  ok = ok && RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) data.clear();
  return ok;
}

// Appended as MoveFileEx writes a deletion: the path with the NT object prefix, an empty target.
bool AppendPendingDelete(const std::wstring& path) {
  std::vector<wchar_t> data;
  ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue, data);
  while (!data.empty() && data.back() == 0) data.pop_back();
  if (!data.empty()) data.push_back(0);
  std::wstring source = L"\\??\\" + path;
  data.insert(data.end(), source.begin(), source.end());
  data.insert(data.end(), {0, 0, 0});
  return SetValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue, REG_MULTI_SZ, data);
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
  for (DWORD waited = 0; waited <= limitMs; waited += 50, Sleep(50))
    if (FindWindowW(kTrayWindowClass, nullptr) != nullptr) return true;
  return Succeeded(ERROR_TIMEOUT);
}

// Loaded, the file can be neither deleted nor overwritten until "release" or the session's end.
bool HoldLibrary(const std::wstring& path) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  HMODULE module = release == nullptr ? nullptr : LoadLibraryW(path.c_str());
  if (module == nullptr) return false;
  Out("held " + Narrow(path));
  WaitForSingleObject(release, INFINITE);
  FreeLibrary(module);
  return true;
}

bool Release() {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  return release != nullptr && SetEvent(release);
}

bool Seed(const std::wstring& command) {
  std::vector<std::wstring> f;
  for (size_t start = 0, bar = 0; bar != std::wstring::npos; start = bar + 1) {
    bar = command.find(L'|', start);
    f.push_back(command.substr(start, bar == std::wstring::npos ? bar : bar - start));
  }
  const std::wstring& verb = f[0];
  const std::wstring& arg = f.back();
  SetLastError(ERROR_INVALID_PARAMETER);
  bool ok = verb == L"monitor"  ? SeedMonitor(f)
            : verb == L"driver" ? SeedDriver(f)
            : verb == L"printer" ? SeedPrinter(f)
            : verb == L"release" ? f.size() == 1 && Release()
            : f.size() != 2      ? false
            : verb == L"default" ? SetDefaultPrinterW(arg.c_str()) != FALSE
            : verb == L"settings" ? SetValue(HKEY_CURRENT_USER, std::wstring(kSettingsRoot) + L"\\" + arg, L"deleted", REG_SZ, Text(L"1"))
            : verb == L"pending" ? AppendPendingDelete(arg)
            : verb == L"run"     ? SetValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, Text(arg))
            : verb == L"start"   ? StartProgram(arg)
            : verb == L"wait-tray" ? WaitForTray(static_cast<DWORD>(std::stoul(arg)))
            : verb == L"hold"    ? HoldLibrary(arg)
                                 : false;
  std::string error = ok ? "" : ": error " + std::to_string(GetLastError());
  Out((ok ? "ok " : "FAILED ") + Narrow(command) + error);
  return ok;
}

// --- the query ---

// An enumeration run twice: for the size, then into a buffer of that size.
// The records' texts point into the buffer, which the caller keeps.
template <typename Record, typename Call>
std::vector<Record> Enumerate(std::vector<BYTE>& buffer, Call call) {
  DWORD needed = 0, count = 0;
  call(nullptr, 0, &needed, &count);
  buffer.assign(needed, 0);
  if (needed == 0 || !call(buffer.data(), needed, &needed, &count)) count = 0;
  auto* records = reinterpret_cast<Record*>(buffer.data());
  return std::vector<Record>(records, records + count);
}

// "(none)" when the value cannot be read as an 8-bit text.
std::string SubKey(HANDLE printer, const char* key) {
  char data[1024] = {0};
  DWORD type = 0, needed = 0;
  DWORD status = key == nullptr ? GetPrinterDataA(printer, const_cast<char*>("SubKey"), &type,
                                                  reinterpret_cast<BYTE*>(data), sizeof data - 1, &needed)
                                : GetPrinterDataExA(printer, key, "SubKey", &type, reinterpret_cast<BYTE*>(data),
                                                    sizeof data - 1, &needed);
  if (status != ERROR_SUCCESS) return "(none)";
  return type == REG_SZ ? Escape(data) : "(type " + std::to_string(type) + ")";
}

// The last number of the product version, as the installer reads it; -1 without a version.
int FileBuild(const std::wstring& path) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::string block(size, '\0');
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, &block[0]) ||
      !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof *info)
    return -1;
  return static_cast<int>(info->dwProductVersionLS & 0xFFFF);
}

// Files of a directory (or its tree) whose names start with one of the prefixes (any, with none).
void PrintFiles(const char* label, const std::wstring& root, const std::wstring& relative,
                const std::vector<std::wstring>& prefixes) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + relative + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    bool wanted = prefixes.empty();
    for (const std::wstring& prefix : prefixes)
      wanted = wanted || CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (prefixes.empty()) PrintFiles(label, root, relative + name + L"\\", prefixes);
    } else if (wanted) {
      Out(std::string(label) + "\t" + Field(relative + name) + "\t" + std::to_string(FileBuild(root + relative + name)));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

void Query() {
  std::vector<BYTE> buffer;
  for (const MONITOR_INFO_2W& m : Enumerate<MONITOR_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumMonitorsW(nullptr, 2, b, s, n, c);
       }))
    Out("monitor\t" + Field(m.pName) + "\t" + Field(m.pDLLName));
  for (const DRIVER_INFO_3W& d : Enumerate<DRIVER_INFO_3W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrinterDriversW(nullptr, const_cast<wchar_t*>(kEnvironment), 3, b, s, n, c);
       }))
    Out("driver\t" + Field(d.pName) + "\t" + std::to_string(d.cVersion) + "\t" + Field(d.pDriverPath) + "\t" +
        Field(d.pDataFile) + "\t" + Field(d.pConfigFile) + "\t" + Field(d.pHelpFile));
  for (const PRINTER_INFO_2W& p : Enumerate<PRINTER_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
       })) {
    std::string keys = "(unopened)\t(unopened)";
    HANDLE printer = nullptr;
    if (OpenPrinterW(p.pPrinterName, &printer, nullptr)) {
      keys = SubKey(printer, nullptr) + "\t" + SubKey(printer, "DsUser");
      ClosePrinter(printer);
    }
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, "0x%lx", p.Attributes);
    Out("printer\t" + Field(p.pPrinterName) + "\t" + Field(p.pPortName) + "\t" + Field(p.pDriverName) + "\t" +
        Field(p.pComment) + "\t" + Field(p.pLocation) + "\t" + attributes + "\t" + Field(p.pDatatype) + "\t" +
        Field(p.pPrintProcessor) + "\t" + keys);
  }
  wchar_t name[1024] = {0};
  DWORD size = 1024;
  Out(std::string("default\t") + (GetDefaultPrinterW(name, &size) ? Field(name) : "(none)"));
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kTrayMutex);
  if (mutex != nullptr) CloseHandle(mutex);
  Out(std::string("tray\twindow=") + (FindWindowW(kTrayWindowClass, nullptr) ? "yes" : "no") +
      "\tmutex=" + (mutex != nullptr ? "yes" : "no"));
  std::vector<wchar_t> data;
  Out("run\t" + (ReadValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, data) ? Field(data.data()) : "(none)"));
  if (ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue, data)) {
    for (const wchar_t* at = data.data(); at < data.data() + data.size() - 2 && *at != 0;) {
      std::wstring source = at, target = at + source.size() + 1;
      at += source.size() + target.size() + 2;
      Out("pending\t" + Field(source) + "\t" + Field(target));
    }
  }
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsRoot, 0, KEY_READ, &root) == ERROR_SUCCESS) {
    wchar_t key[256];
    for (DWORD i = 0, length = 256; RegEnumKeyExW(root, i, key, &length, nullptr, nullptr, nullptr, nullptr) ==
                                    ERROR_SUCCESS;
         i++, length = 256) {
      std::wstring path = std::wstring(kSettingsRoot) + L"\\" + key;
      Out("settings\t" + Field(key) + "\tdeleted=" + (ReadValue(HKEY_CURRENT_USER, path.c_str(), L"deleted", data) ? "yes" : "no"));
    }
    RegCloseKey(root);
  }
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  PrintFiles("sysfile", std::wstring(system, length) + L"\\", L"", {L"zel", L"orv"});
  PrintFiles("drvfile", DriverDirectory(), L"", {});
  Out("end");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (e2e::Is(L"e2e_query.exe")) return Query(), 0;
  for (int i = 1; i < argc; i++)
    if (!Seed(argv[i])) return 1;
  return 0;
}
