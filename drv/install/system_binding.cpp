// The Windows build's spooler and version functions, bound at run time from the system
// directory. The installer runs elevated from whatever folder it was put in, often one that
// others can write to, and Windows looks there first for every DLL that is not one of its
// known DLLs. winspool.drv and version.dll are not, so they stay out of the import table: the
// functions are defined here under their Windows names and forward to the system's copies.
// A library or function that cannot be bound makes the call fail as the platform's own
// failure does, with its failure value and the reason as the last error.
#include "platform.h"

namespace {

struct SystemLibrary {
  const WCHAR* name;
  HMODULE module;
  DWORD loadError;  // why loading failed; 0 until it has
};

SystemLibrary Spooler = {W("winspool.drv"), nullptr, 0};
SystemLibrary VersionInfo = {W("version.dll"), nullptr, 0};
SystemLibrary TerminalServices = {W("wtsapi32.dll"), nullptr, 0};
SystemLibrary UserEnvironment = {W("userenv.dll"), nullptr, 0};

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Windows 8 and later, and Windows 7 with its update KB2533623, have SetDefaultDllDirectories
// and understand the LOAD_LIBRARY_SEARCH_* flags; an older Windows 7 has neither.
SetDefaultDllDirectoriesFunction KernelSetDefaultDllDirectories() {
  HMODULE kernel = GetModuleHandleW(W("kernel32.dll"));
  FARPROC function = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  return reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(function));
}

// By full path: a module of the same name that is already loaded, from wherever, would be
// taken for a bare name whatever the search flags say. The flags keep the library's own
// imports in the system directory too; without them (older Windows 7) the altered search
// order looks there first.
HMODULE LoadFromSystemDirectory(const WCHAR* name) {
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0) return nullptr;
  if (length + 1 + lstrlenW(name) >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  path[length] = '\\';
  lstrcpyW(path + length + 1, name);
  bool searchFlagsKnown = KernelSetDefaultDllDirectories() != nullptr;
  DWORD flags = searchFlagsKnown ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
  return LoadLibraryExW(path, nullptr, flags);
}

// Loads the library on first use (once: a failure is remembered) and looks the function up,
// by name or by ordinal, until it is found. False with the last error set when it is not.
template <typename Function>
bool Bind(SystemLibrary& library, const char* name, Function*& bound) {
  if (bound != nullptr) return true;
  if (library.module == nullptr && library.loadError == 0) {
    library.module = LoadFromSystemDirectory(library.name);
    if (library.module == nullptr) {
      DWORD error = GetLastError();
      library.loadError = error != 0 ? error : ERROR_MOD_NOT_FOUND;
    }
  }
  if (library.module == nullptr) {
    SetLastError(library.loadError);
    return false;
  }
  FARPROC function = GetProcAddress(library.module, name);
  if (function == nullptr) return false;  // the last error is ERROR_PROC_NOT_FOUND
  bound = reinterpret_cast<Function*>(reinterpret_cast<void*>(function));
  return true;
}

const char* Ordinal(WORD ordinal) { return MAKEINTRESOURCEA(ordinal); }

}  // namespace

void LimitDllSearchToSystemDirectory() {
  SetDefaultDllDirectoriesFunction setDefault = KernelSetDefaultDllDirectories();
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // An older Windows 7: the current directory at least leaves the search order.
  SetDllDirectoryW(W(""));
}

extern "C" {

// --- winspool.drv: monitors, drivers, printers, printer data, the default printer ---

BOOL WINAPI AddMonitorW(LPWSTR name, DWORD level, LPBYTE monitorInfo) {
  static decltype(AddMonitorW)* bound;
  return Bind(Spooler, "AddMonitorW", bound) ? bound(name, level, monitorInfo) : FALSE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR name, LPWSTR environment, LPWSTR monitorName) {
  static decltype(DeleteMonitorW)* bound;
  return Bind(Spooler, "DeleteMonitorW", bound) ? bound(name, environment, monitorName) : FALSE;
}

BOOL WINAPI EnumMonitorsW(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  static decltype(EnumMonitorsW)* bound;
  return Bind(Spooler, "EnumMonitorsW", bound) ? bound(name, level, buffer, size, needed, returned) : FALSE;
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer,
                                       DWORD size, LPDWORD needed) {
  static decltype(GetPrinterDriverDirectoryW)* bound;
  return Bind(Spooler, "GetPrinterDriverDirectoryW", bound)
             ? bound(name, environment, level, buffer, size, needed)
             : FALSE;
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                                LPDWORD needed, LPDWORD returned) {
  static decltype(EnumPrinterDriversW)* bound;
  return Bind(Spooler, "EnumPrinterDriversW", bound)
             ? bound(name, environment, level, buffer, size, needed, returned)
             : FALSE;
}

BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed) {
  static decltype(GetPrinterDriverW)* bound;
  return Bind(Spooler, "GetPrinterDriverW", bound) ? bound(printer, environment, level, buffer, size, needed)
                                                    : FALSE;
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR name, DWORD level, LPBYTE driverInfo, DWORD copyFlags) {
  static decltype(AddPrinterDriverExW)* bound;
  return Bind(Spooler, "AddPrinterDriverExW", bound) ? bound(name, level, driverInfo, copyFlags) : FALSE;
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR name, LPWSTR environment, LPWSTR driverName, DWORD deleteFlag,
                                   DWORD versionFlag) {
  static decltype(DeletePrinterDriverExW)* bound;
  return Bind(Spooler, "DeletePrinterDriverExW", bound)
             ? bound(name, environment, driverName, deleteFlag, versionFlag)
             : FALSE;
}

BOOL WINAPI EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  static decltype(EnumPrintersW)* bound;
  return Bind(Spooler, "EnumPrintersW", bound) ? bound(flags, name, level, buffer, size, needed, returned)
                                                : FALSE;
}

BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
  static decltype(OpenPrinterW)* bound;
  return Bind(Spooler, "OpenPrinterW", bound) ? bound(printerName, printer, defaults) : FALSE;
}

BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  static decltype(GetPrinterW)* bound;
  return Bind(Spooler, "GetPrinterW", bound) ? bound(printer, level, buffer, size, needed) : FALSE;
}

BOOL WINAPI SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  static decltype(SetPrinterW)* bound;
  return Bind(Spooler, "SetPrinterW", bound) ? bound(printer, level, info, command) : FALSE;
}

HANDLE WINAPI AddPrinterW(LPWSTR name, DWORD level, LPBYTE info) {
  static decltype(AddPrinterW)* bound;
  return Bind(Spooler, "AddPrinterW", bound) ? bound(name, level, info) : nullptr;
}

BOOL WINAPI DeletePrinter(HANDLE printer) {
  static decltype(DeletePrinter)* bound;
  return Bind(Spooler, "DeletePrinter", bound) ? bound(printer) : FALSE;
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
  static decltype(ClosePrinter)* bound;
  return Bind(Spooler, "ClosePrinter", bound) ? bound(printer) : FALSE;
}

// The printer-data calls answer with an error code instead of a last error.
DWORD WINAPI GetPrinterDataA(HANDLE printer, LPSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                             LPDWORD needed) {
  static decltype(GetPrinterDataA)* bound;
  return Bind(Spooler, "GetPrinterDataA", bound) ? bound(printer, valueName, type, data, size, needed)
                                                  : GetLastError();
}

DWORD WINAPI GetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, LPDWORD type, LPBYTE data,
                               DWORD size, LPDWORD needed) {
  static decltype(GetPrinterDataExA)* bound;
  return Bind(Spooler, "GetPrinterDataExA", bound)
             ? bound(printer, keyName, valueName, type, data, size, needed)
             : GetLastError();
}

DWORD WINAPI SetPrinterDataA(HANDLE printer, LPSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  static decltype(SetPrinterDataA)* bound;
  return Bind(Spooler, "SetPrinterDataA", bound) ? bound(printer, valueName, type, data, size) : GetLastError();
}

DWORD WINAPI SetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, DWORD type, LPBYTE data,
                               DWORD size) {
  static decltype(SetPrinterDataExA)* bound;
  return Bind(Spooler, "SetPrinterDataExA", bound) ? bound(printer, keyName, valueName, type, data, size)
                                                    : GetLastError();
}

BOOL WINAPI SpoolerGetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) {
  static decltype(SpoolerGetDefaultPrinterW)* bound;
  return Bind(Spooler, Ordinal(203), bound) ? bound(buffer, chars) : FALSE;
}

BOOL WINAPI SpoolerSetDefaultPrinterW(LPCWSTR printerName) {
  static decltype(SpoolerSetDefaultPrinterW)* bound;
  return Bind(Spooler, Ordinal(204), bound) ? bound(printerName) : FALSE;
}

// --- version.dll: a file's version resource ---

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  static decltype(GetFileVersionInfoSizeW)* bound;
  return Bind(VersionInfo, "GetFileVersionInfoSizeW", bound) ? bound(path, handle) : 0;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data) {
  static decltype(GetFileVersionInfoW)* bound;
  return Bind(VersionInfo, "GetFileVersionInfoW", bound) ? bound(path, handle, size, data) : FALSE;
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
  static decltype(VerQueryValueW)* bound;
  return Bind(VersionInfo, "VerQueryValueW", bound) ? bound(block, subBlock, buffer, length) : FALSE;
}

// --- wtsapi32.dll and userenv.dll: other sessions, their users and their environment ---

BOOL WINAPI WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions,
                                  DWORD* count) {
  static decltype(WTSEnumerateSessionsW)* bound;
  return Bind(TerminalServices, "WTSEnumerateSessionsW", bound) ? bound(server, reserved, version, sessions, count)
                                                                 : FALSE;
}

void WINAPI WTSFreeMemory(PVOID memory) {
  static decltype(WTSFreeMemory)* bound;
  if (Bind(TerminalServices, "WTSFreeMemory", bound)) bound(memory);
}

BOOL WINAPI WTSQueryUserToken(ULONG session, PHANDLE token) {
  static decltype(WTSQueryUserToken)* bound;
  return Bind(TerminalServices, "WTSQueryUserToken", bound) ? bound(session, token) : FALSE;
}

BOOL WINAPI CreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL inherit) {
  static decltype(CreateEnvironmentBlock)* bound;
  return Bind(UserEnvironment, "CreateEnvironmentBlock", bound) ? bound(environment, token, inherit) : FALSE;
}

BOOL WINAPI DestroyEnvironmentBlock(LPVOID environment) {
  static decltype(DestroyEnvironmentBlock)* bound;
  return Bind(UserEnvironment, "DestroyEnvironmentBlock", bound) ? bound(environment) : FALSE;
}

}  // extern "C"
