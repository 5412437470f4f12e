// Prints what the installer leaves behind, one tab-separated record per line, for the
// end-to-end harness to compare: monitors, the "Windows x64" drivers, printers with their
// settings keys, the default printer, the tray program, the Run value, pending renames, the
// per-printer settings keys and the product's files in the system and driver directories.
#include <vector>

#include "e2e_tool.h"

#include <winspool.h>

using e2e::Field;
using e2e::Out;

namespace {

// Runs an enumeration twice: once for the size, once into a buffer of that size.
template <typename Call>
std::vector<BYTE> Enumerate(Call call, DWORD& count) {
  DWORD needed = 0;
  count = 0;
  call(nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !call(buffer.data(), needed, &needed, &count)) count = 0;
  return buffer;
}

void PrintMonitors() {
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumMonitorsW(nullptr, 2, b, s, n, c); }, count);
  auto* monitors = reinterpret_cast<MONITOR_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; i++)
    Out("monitor\t" + Field(monitors[i].pName) + "\t" + Field(monitors[i].pDLLName));
}

void PrintDrivers() {
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
        return EnumPrinterDriversW(nullptr, const_cast<wchar_t*>(e2e::kEnvironment), 3, b, s, n, c);
      },
      count);
  auto* drivers = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data());
  for (DWORD i = 0; i < count; i++) {
    const DRIVER_INFO_3W& d = drivers[i];
    Out("driver\t" + Field(d.pName) + "\t" + std::to_string(d.cVersion) + "\t" + Field(d.pDriverPath) + "\t" +
        Field(d.pDataFile) + "\t" + Field(d.pConfigFile) + "\t" + Field(d.pHelpFile));
  }
}

// A printer's settings key: "(none)" when the value cannot be read as an 8-bit text.
std::string SubKey(HANDLE printer, const char* key) {
  char data[1024] = {0};
  DWORD type = 0, needed = 0;
  DWORD status = key == nullptr
                     ? GetPrinterDataA(printer, const_cast<char*>("SubKey"), &type, reinterpret_cast<BYTE*>(data),
                                       sizeof data - 1, &needed)
                     : GetPrinterDataExA(printer, key, "SubKey", &type, reinterpret_cast<BYTE*>(data),
                                         sizeof data - 1, &needed);
  if (status != ERROR_SUCCESS) return "(none)";
  if (type != REG_SZ) return "(type " + std::to_string(type) + ")";
  return Field(e2e::Widen(data).c_str());
}

void PrintPrinters() {
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
      },
      count);
  auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; i++) {
    const PRINTER_INFO_2W& p = printers[i];
    std::string plain = "(unopened)", dsUser = "(unopened)";
    HANDLE printer = nullptr;
    if (OpenPrinterW(p.pPrinterName, &printer, nullptr)) {
      plain = SubKey(printer, nullptr);
      dsUser = SubKey(printer, "DsUser");
      ClosePrinter(printer);
    }
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, "0x%lx", p.Attributes);
    Out("printer\t" + Field(p.pPrinterName) + "\t" + Field(p.pPortName) + "\t" + Field(p.pDriverName) + "\t" +
        Field(p.pComment) + "\t" + Field(p.pLocation) + "\t" + attributes + "\t" + Field(p.pDatatype) + "\t" +
        Field(p.pPrintProcessor) + "\t" + plain + "\t" + dsUser);
  }
}

void PrintDefaultPrinter() {
  wchar_t name[1024] = {0};
  DWORD size = 1024;
  Out(std::string("default\t") + (GetDefaultPrinterW(name, &size) ? Field(name) : "(none)"));
}

void PrintTray() {
  HWND window = FindWindowW(e2e::kTrayWindowClass, nullptr);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, e2e::kTrayMutex);
  if (mutex != nullptr) CloseHandle(mutex);
  Out(std::string("tray\twindow=") + (window != nullptr ? "yes" : "no") +
      "\tmutex=" + (mutex != nullptr ? "yes" : "no"));
}

// The bytes of one registry value, or false when it cannot be read.
bool ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  data.assign(size + 2 * sizeof(wchar_t), 0);
  ok = ok && RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

void PrintRunValue() {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!ReadValue(HKEY_LOCAL_MACHINE, e2e::kRunKey, e2e::kRunValue, type, data))
    Out("run\t(none)");
  else
    Out("run\t" + Field(reinterpret_cast<const wchar_t*>(data.data())) + "\t" + std::to_string(type));
}

// The multi-string as (source, target) pairs; an empty target means "delete".
void PrintPendingRenames() {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!ReadValue(HKEY_LOCAL_MACHINE, e2e::kSessionManagerKey, e2e::kPendingValue, type, data)) return;
  const wchar_t* at = reinterpret_cast<const wchar_t*>(data.data());
  const wchar_t* end = at + (data.size() - 2 * sizeof(wchar_t)) / sizeof(wchar_t);
  while (at < end && *at != 0) {
    std::wstring source = at;
    at += source.size() + 1;
    std::wstring target = at < end ? at : L"";
    at += target.size() + 1;
    Out("pending\t" + Field(source) + "\t" + Field(target));
  }
}

void PrintSettingsKeys() {
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, e2e::kSettingsRoot, 0, KEY_READ, &root) != ERROR_SUCCESS) return;
  wchar_t name[256];
  for (DWORD i = 0;; i++) {
    DWORD length = 256;
    if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY key = nullptr;
    bool deleted = false;
    if (RegOpenKeyExW(root, name, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      deleted = RegQueryValueExW(key, L"deleted", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
    Out("settings\t" + Field(name) + "\tdeleted=" + (deleted ? "yes" : "no"));
  }
  RegCloseKey(root);
}

// Files of a directory, or of its whole tree, whose names start with one of the prefixes
// (all files with none).
void PrintFiles(const char* label, const std::wstring& root, const std::wstring& relative,
                const std::vector<std::wstring>& prefixes, bool tree) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + relative + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (tree) PrintFiles(label, root, relative + name + L"\\", prefixes, tree);
      continue;
    }
    bool wanted = prefixes.empty();
    for (const std::wstring& prefix : prefixes)
      if (CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                               static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL)
        wanted = true;
    if (wanted)
      Out(std::string(label) + "\t" + Field(relative + name) + "\t" +
          std::to_string(e2e::FileBuild(root + relative + name)));
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

void PrintFileLists() {
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  PrintFiles("sysfile", std::wstring(system, length) + L"\\", L"", {L"zel", L"orv"}, false);
  wchar_t drivers[MAX_PATH];
  DWORD needed = 0;
  if (GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(e2e::kEnvironment), 1,
                                 reinterpret_cast<BYTE*>(drivers), sizeof drivers, &needed))
    PrintFiles("drvfile", std::wstring(drivers) + L"\\", L"", {}, true);
}

}  // namespace

int wmain() {
  PrintMonitors();
  PrintDrivers();
  PrintPrinters();
  PrintDefaultPrinter();
  PrintTray();
  PrintRunValue();
  PrintPendingRenames();
  PrintSettingsKeys();
  PrintFileLists();
  Out("end");
  return 0;
}
