// The local print spooler: port monitors and their ports, printer drivers per environment,
// printers with their settings and printer data, the default printer, and the driver directory.
// This source answers the queries and sets the state up; the calls that change monitors,
// drivers, printers and printer data are in spooler_changes.cpp.
//
// Where Wine's spooler differs from Windows (see the notes on Wine), this one follows Windows:
// - EnumMonitorsW level 2 reports each monitor's own environment (Wine: "Windows NT x86" for all).
// - EnumPrintersW level 2 sets PRINTER_ATTRIBUTE_LOCAL on local printers (Wine: Attributes 0).
// - PRINTER_ENUM_CONNECTIONS lists the user's printer connections (Wine has none to list).
// - The spooler runs in its own process: the monitor DLLs and driver files it loaded are held by
//   kSpoolerProcess and let go when its service stops (Wine: loaded into the calling process).
// - While the service is stopped every call that needs it fails with RPC_S_SERVER_UNAVAILABLE
//   (Wine: its stand-in service changes nothing). Reading the default printer needs no spooler:
//   winspool.drv reads the per-user setting itself.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_spooler.h"
#include "winsim/win32_api.h"
#include "spooler_internal.h"

namespace winsim {

SpoolerState& Spooler() {
  static SpoolerState state;
  return state;
}

namespace {

void Reset() { Spooler() = SpoolerState(); }

void EndInstaller() { Spooler().handles.clear(); }

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterInstallerEnd(&EndInstaller);
  }
} registrar;

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

}  // namespace

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (Folded(a[i]) != Folded(b[i])) return false;
  return true;
}

bool SameName(const std::string& a, const std::string& b) {
  return SameName(std::u16string(a.begin(), a.end()), std::u16string(b.begin(), b.end()));
}

// The environment a call names; none means the calling process's own, which for the 64-bit
// installer is "Windows x64". Empty when the name is no environment Windows knows.
std::u16string ResolveEnvironment(LPCWSTR environment) {
  static const char16_t* const known[] = {u"Windows x64", u"Windows NT x86", u"Windows IA64", u"Windows ARM64",
                                          u"Windows 4.0"};
  if (environment == nullptr || environment[0] == 0) return u"Windows x64";
  for (const char16_t* name : known)
    if (SameName(environment, name)) return name;
  return std::u16string();
}

namespace {

// --- Answers laid out as the spooler lays them out ----------------------------------------
// The entries come first, one after another. Behind them the binary blocks (device modes,
// security descriptors), each padded to 8 bytes; the strings are packed downward from the end
// of the needed size, the first entry's first string highest. The needed size is exact.
struct Packer {
  BYTE* base;        // null while only measuring
  size_t nextBlob;   // where the next binary block goes
  size_t stringEnd;  // the next string ends here
  size_t measured;   // bytes of blocks and strings so far
};

LPWSTR PackChars(Packer& p, const char16_t* chars, size_t count) {
  size_t bytes = count * sizeof(WCHAR);
  p.measured += bytes;
  if (p.base == nullptr) return nullptr;
  p.stringEnd -= bytes;
  std::memcpy(p.base + p.stringEnd, chars, bytes);
  return reinterpret_cast<LPWSTR>(p.base + p.stringEnd);
}

LPWSTR PackText(Packer& p, const std::u16string& text) { return PackChars(p, text.c_str(), text.size() + 1); }

// Optional texts that are empty are reported as null pointers.
LPWSTR PackOptional(Packer& p, const std::u16string& text) { return text.empty() ? nullptr : PackText(p, text); }

LPWSTR PackOptional(Packer& p, const std::optional<std::u16string>& text) {
  return text ? PackText(p, *text) : nullptr;
}

// A list of strings, each terminated, the list ended by one more terminator; none: null.
LPWSTR PackMultiText(Packer& p, const std::vector<std::u16string>& texts) {
  if (texts.empty()) return nullptr;
  std::u16string joined;
  for (const auto& text : texts) joined += text + u'\0';
  return PackChars(p, joined.c_str(), joined.size() + 1);
}

void* PackBlob(Packer& p, const std::vector<BYTE>& blob) {
  if (blob.empty()) return nullptr;
  size_t padded = (blob.size() + 7) & ~size_t(7);
  p.measured += padded;
  if (p.base == nullptr) return nullptr;
  BYTE* at = p.base + p.nextBlob;
  std::memcpy(at, blob.data(), blob.size());
  p.nextBlob += padded;
  return at;
}

template <typename Entry>
void PutEntry(BYTE* at, const Entry& entry, size_t bytes = sizeof(Entry)) {
  if (at != nullptr) std::memcpy(at, &entry, bytes);
}

// Answers a query of `items` in the caller's buffer: the needed size always; the entries and
// their strings when they fit, else ERROR_INSUFFICIENT_BUFFER. `returned` is null for the
// single-object queries. An empty list succeeds with nothing needed.
template <typename Item, typename Fill>
BOOL Answer(const std::vector<const Item*>& items, size_t entrySize, Fill fill, LPBYTE buffer, DWORD size,
            LPDWORD needed, LPDWORD returned) {
  Packer measure{nullptr, 0, 0, 0};
  for (const Item* item : items) fill(measure, nullptr, *item);
  size_t entries = items.size() * entrySize;
  size_t total = entries + measure.measured;
  *needed = static_cast<DWORD>(total);
  if (returned != nullptr) *returned = 0;
  if (buffer == nullptr || size < total) {
    if (total == 0) return TRUE;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  Packer write{buffer, entries, total, 0};
  for (size_t i = 0; i < items.size(); i++) fill(write, buffer + i * entrySize, *items[i]);
  if (returned != nullptr) *returned = static_cast<DWORD>(items.size());
  return TRUE;
}

// The checks winspool.drv makes before it asks the spooler: a size with no buffer, missing
// out-pointers, then whether the spooler service answers at all.
bool RefusedBeforeSpooler(LPBYTE buffer, DWORD size, LPDWORD needed, bool needsReturned, LPDWORD returned) {
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return true;
  }
  if (needed == nullptr || (needsReturned && returned == nullptr)) {
    SetLastError(RPC_X_NULL_REF_POINTER);
    return true;
  }
  return false;
}

}  // namespace

bool SpoolerDown() {
  if (Spooler().running) return false;
  SetLastError(RPC_S_SERVER_UNAVAILABLE);
  return true;
}

// Only the local spooler is simulated: a server name other than none is unknown.
bool RemoteServer(LPCWSTR name) {
  if (name == nullptr || name[0] == 0) return false;
  SetLastError(ERROR_INVALID_NAME);
  return true;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

namespace {

// --- Entries of each kind -----------------------------------------------------------------
void FillMonitor(Packer& p, BYTE* at, const SimMonitor& monitor, DWORD level) {
  if (level == 1) {
    MONITOR_INFO_1W info{};
    info.pName = PackText(p, monitor.name);
    PutEntry(at, info);
    return;
  }
  MONITOR_INFO_2W info{};
  info.pName = PackText(p, monitor.name);
  info.pEnvironment = PackText(p, monitor.environment);
  info.pDLLName = PackText(p, monitor.dllName);
  PutEntry(at, info);
}

size_t DriverEntrySize(DWORD level) {
  switch (level) {
    case 1: return sizeof(DRIVER_INFO_1W);
    case 2: return sizeof(DRIVER_INFO_2W);
    case 3: return sizeof(DRIVER_INFO_3W);
    case 4: return sizeof(DRIVER_INFO_4W);
    case 5: return sizeof(DRIVER_INFO_5W);
    case 6: return sizeof(DRIVER_INFO_6W);
    default: return 0;
  }
}

// Levels 2, 3, 4 and 6 share their leading fields, each level adding to the one before; level
// 5 has three numbers after the configuration file instead.
void FillDriver(Packer& p, BYTE* at, const SimDriver& driver, DWORD level) {
  if (level == 1) {
    DRIVER_INFO_1W info{};
    info.pName = PackText(p, driver.name);
    PutEntry(at, info);
    return;
  }
  DRIVER_INFO_6W info{};
  info.cVersion = driver.version;
  info.pName = PackText(p, driver.name);
  info.pEnvironment = PackText(p, driver.environment);
  info.pDriverPath = PackText(p, driver.driverPath);
  info.pDataFile = PackText(p, driver.dataFile);
  info.pConfigFile = PackText(p, driver.configFile);
  if (level == 5) {
    DRIVER_INFO_5W five{};
    std::memcpy(&five, &info, offsetof(DRIVER_INFO_5W, dwDriverAttributes));
    five.dwDriverAttributes = driver.driverAttributes;
    five.dwConfigVersion = driver.configFileVersion;
    five.dwDriverVersion = driver.driverFileVersion;
    PutEntry(at, five);
    return;
  }
  if (level >= 3) {
    info.pHelpFile = PackOptional(p, driver.helpFile);
    info.pDependentFiles = PackMultiText(p, driver.dependentFiles);
    info.pMonitorName = PackOptional(p, driver.monitorName);
    info.pDefaultDataType = PackOptional(p, driver.defaultDataType);
  }
  if (level >= 4) info.pszzPreviousNames = PackMultiText(p, driver.previousNames);
  if (level == 6) {
    info.ftDriverDate = driver.driverDate;
    info.dwlDriverVersion = driver.driverVersion;
    info.pszMfgName = PackOptional(p, driver.mfgName);
    info.pszOEMUrl = PackOptional(p, driver.oemUrl);
    info.pszHardwareID = PackOptional(p, driver.hardwareId);
    info.pszProvider = PackOptional(p, driver.provider);
  }
  PutEntry(at, info, DriverEntrySize(level));
}

// Local printers have no server name.
void FillPrinter2(Packer& p, BYTE* at, const SimPrinter& printer) {
  PRINTER_INFO_2W info{};
  bool connection = (printer.attributes & PRINTER_ATTRIBUTE_NETWORK) != 0;
  info.pServerName = connection ? PackText(p, printer.name.substr(0, printer.name.find(u'\\', 2))) : nullptr;
  info.pPrinterName = PackText(p, printer.name);
  info.pShareName = PackOptional(p, printer.shareName);
  info.pPortName = PackText(p, printer.portName);
  info.pDriverName = PackText(p, printer.driverName);
  info.pComment = PackText(p, printer.comment);
  info.pLocation = PackText(p, printer.location);
  info.pDevMode = static_cast<LPDEVMODEW>(PackBlob(p, printer.devMode));
  info.pSepFile = PackText(p, printer.sepFile);
  info.pPrintProcessor = PackText(p, printer.printProcessor);
  info.pDatatype = PackText(p, printer.datatype);
  info.pParameters = PackText(p, printer.parameters);
  info.pSecurityDescriptor = PackBlob(p, printer.securityDescriptor);
  info.Attributes = printer.attributes;
  info.Priority = printer.priority;
  info.DefaultPriority = printer.defaultPriority;
  info.StartTime = printer.startTime;
  info.UntilTime = printer.untilTime;
  info.Status = printer.status;
  info.cJobs = printer.jobs;
  info.AveragePPM = printer.averagePPM;
  PutEntry(at, info);
}

void HoldMonitorDll(const SimMonitor& monitor) { HoldIfPresent(MonitorDllPath(monitor)); }

}  // namespace

// --- Objects ------------------------------------------------------------------------------
StoredPrinter* PrinterNamed(const std::u16string& name) {
  for (StoredPrinter& stored : Spooler().printers)
    if (SameName(stored.printer.name, name)) return &stored;
  return nullptr;
}

StoredPrinter* PrinterWithId(int id) {
  for (StoredPrinter& stored : Spooler().printers)
    if (stored.id == id) return &stored;
  return nullptr;
}

OpenHandle* HandleOf(HANDLE handle) {
  auto found = Spooler().handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == Spooler().handles.end() ? nullptr : &found->second;
}

StoredPrinter* PrinterOf(HANDLE handle) {
  OpenHandle* open = HandleOf(handle);
  StoredPrinter* stored = nullptr;
  if (open != nullptr && open->printerId != kServerHandle) stored = PrinterWithId(open->printerId);
  if (stored == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return stored;
}

const SimDriver* DriverNamed(const std::u16string& name, const std::u16string& environment) {
  for (const SimDriver& driver : Spooler().drivers)
    if (SameName(driver.name, name) && SameName(driver.environment, environment)) return &driver;
  return nullptr;
}

bool KnownDatatype(LPCWSTR datatype) {
  static const char16_t* const known[] = {u"RAW", u"RAW [FF appended]", u"RAW [FF auto]", u"TEXT",
                                          u"NT EMF 1.003", u"NT EMF 1.006", u"NT EMF 1.007", u"NT EMF 1.008",
                                          u"XPS2GDI"};
  for (const char16_t* name : known)
    if (SameName(datatype, name)) return true;
  return false;
}

// A loaded module stays held by the spooler's process while the service runs.
void HoldIfPresent(const std::u16string& path) {
  if (!path.empty() && FileExists(path)) HoldFile(path, kSpoolerProcess);
}

void HoldDriverFiles(const SimDriver& driver) {
  HoldIfPresent(driver.driverPath);
  HoldIfPresent(driver.configFile);
}

HANDLE NewPrinterHandle(int printerId, ACCESS_MASK access) {
  uintptr_t handle = Spooler().nextHandle;
  Spooler().nextHandle += 8;
  Spooler().handles[handle] = OpenHandle{printerId, access};
  return reinterpret_cast<HANDLE>(handle);
}

// The printer's generic mapping; MAXIMUM_ALLOWED gives an administrator everything.
ACCESS_MASK MappedAccess(ACCESS_MASK desired) {
  ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= PRINTER_ALL_ACCESS;
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) access |= READ_CONTROL | PRINTER_ACCESS_USE;
  if (desired & GENERIC_WRITE) access |= READ_CONTROL | PRINTER_ACCESS_USE;
  return access;
}

}  // namespace winsim

using winsim::Spooler;

// Level 1 only; the size is in bytes, terminator included. Too small a buffer: 122 and the
// size needed.
BOOL GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                                LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterDriverDirectoryW",
                        {winsim::Utf8(name), winsim::Utf8(environment), std::to_string(level), winsim::Ptr(buffer),
                         std::to_string(size)}))
    return FALSE;
  if (winsim::SpoolerDown()) return FALSE;
  if (level != 1) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  const std::u16string& directory = Spooler().driverDirectory;
  DWORD bytes = static_cast<DWORD>((directory.size() + 1) * sizeof(WCHAR));
  if (needed) *needed = bytes;
  if (buffer == nullptr || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* out = reinterpret_cast<WCHAR*>(buffer);
  std::copy(directory.begin(), directory.end(), out);
  out[directory.size()] = 0;
  return TRUE;
}

// Levels 1 and 2.
BOOL EnumMonitorsW(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
  if (winsim::EnterCall("EnumMonitorsW",
                        {winsim::Utf8(name), std::to_string(level), winsim::Ptr(buffer), std::to_string(size)}))
    return FALSE;
  if (winsim::RefusedBeforeSpooler(buffer, size, needed, true, returned) || winsim::SpoolerDown() ||
      winsim::RemoteServer(name))
    return FALSE;
  if (level != 1 && level != 2) return winsim::Fail(ERROR_INVALID_LEVEL);
  std::vector<const winsim::SimMonitor*> monitors;
  for (const auto& monitor : Spooler().monitors) monitors.push_back(&monitor);
  size_t entrySize = level == 1 ? sizeof(MONITOR_INFO_1W) : sizeof(MONITOR_INFO_2W);
  auto fill = [level](winsim::Packer& p, BYTE* at, const winsim::SimMonitor& monitor) {
    winsim::FillMonitor(p, at, monitor, level);
  };
  return winsim::Answer(monitors, entrySize, fill, buffer, size, needed, returned);
}

// Levels 1 to 6 (level 8 is not simulated). No environment means the caller's own; "all" lists
// every environment.
BOOL EnumPrinterDriversW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed, LPDWORD returned) {
  if (winsim::EnterCall("EnumPrinterDriversW", {winsim::Utf8(name), winsim::Utf8(environment), std::to_string(level),
                                                winsim::Ptr(buffer), std::to_string(size)}))
    return FALSE;
  if (winsim::RefusedBeforeSpooler(buffer, size, needed, true, returned) || winsim::SpoolerDown() ||
      winsim::RemoteServer(name))
    return FALSE;
  bool all = environment != nullptr && winsim::SameName(environment, u"all");
  std::u16string wanted = all ? std::u16string() : winsim::ResolveEnvironment(environment);
  if (!all && wanted.empty()) return winsim::Fail(ERROR_INVALID_ENVIRONMENT);
  size_t entrySize = winsim::DriverEntrySize(level);
  if (entrySize == 0) return winsim::Fail(ERROR_INVALID_LEVEL);
  std::vector<const winsim::SimDriver*> drivers;
  for (const auto& driver : Spooler().drivers)
    if (all || winsim::SameName(driver.environment, wanted)) drivers.push_back(&driver);
  auto fill = [level](winsim::Packer& p, BYTE* at, const winsim::SimDriver& driver) {
    winsim::FillDriver(p, at, driver, level);
  };
  return winsim::Answer(drivers, entrySize, fill, buffer, size, needed, returned);
}

// Level 2 only (the installer asks for no other). Local printers are listed when the flags ask
// for local printers or name the local machine; connections to other servers are not simulated.
BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned) {
  if (winsim::EnterCall("EnumPrintersW", {winsim::Hex(flags), winsim::Utf8(name), std::to_string(level),
                                          winsim::Ptr(buffer), std::to_string(size)}))
    return FALSE;
  if (winsim::RefusedBeforeSpooler(buffer, size, needed, true, returned) || winsim::SpoolerDown() ||
      winsim::RemoteServer(name))
    return FALSE;
  if (level != 2) return winsim::Fail(ERROR_INVALID_LEVEL);
  std::vector<const winsim::SimPrinter*> printers;
  for (const auto& stored : Spooler().printers) {
    bool connection = (stored.printer.attributes & PRINTER_ATTRIBUTE_NETWORK) != 0;
    // Connections are the console user's own (kept in that user's hive): SYSTEM sees none.
    if (connection && winsim::InstallerAccount() != u"admin") continue;
    if (flags & (connection ? PRINTER_ENUM_CONNECTIONS : PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME))
      printers.push_back(&stored.printer);
  }
  return winsim::Answer(printers, sizeof(PRINTER_INFO_2W), winsim::FillPrinter2, buffer, size, needed, returned);
}

// No name opens the print server itself. Without defaults the handle may use the printer only
// (PRINTER_ACCESS_USE), as on Windows.
BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
  if (winsim::EnterCall("OpenPrinterW",
                        {winsim::Utf8(printerName), defaults ? winsim::Utf8(defaults->pDatatype) : "(no defaults)",
                         defaults ? winsim::Hex(defaults->DesiredAccess) : "(no defaults)"}))
    return FALSE;
  if (printer == nullptr) return winsim::Fail(ERROR_INVALID_PARAMETER);
  *printer = nullptr;
  if (winsim::SpoolerDown()) return FALSE;
  int id = winsim::kServerHandle;
  if (printerName != nullptr && printerName[0] != 0) {
    winsim::StoredPrinter* stored = winsim::PrinterNamed(printerName);
    if (stored == nullptr) return winsim::Fail(ERROR_INVALID_PRINTER_NAME);
    id = stored->id;
  }
  if (defaults != nullptr && defaults->pDatatype != nullptr && !winsim::KnownDatatype(defaults->pDatatype))
    return winsim::Fail(ERROR_INVALID_DATATYPE);
  ACCESS_MASK access = defaults != nullptr ? winsim::MappedAccess(defaults->DesiredAccess) : 0;
  if (access == 0) access = PRINTER_ACCESS_USE;
  *printer = winsim::NewPrinterHandle(id, access);
  return TRUE;
}

// Level 2 only (the installer asks for no other).
BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterW",
                        {winsim::Ptr(printer), std::to_string(level), winsim::Ptr(buffer), std::to_string(size)}))
    return FALSE;
  if (winsim::RefusedBeforeSpooler(buffer, size, needed, false, nullptr) || winsim::SpoolerDown()) return FALSE;
  winsim::StoredPrinter* stored = winsim::PrinterOf(printer);
  if (stored == nullptr) return FALSE;
  if (level != 2) return winsim::Fail(ERROR_INVALID_LEVEL);
  std::vector<const winsim::SimPrinter*> one = {&stored->printer};
  return winsim::Answer(one, sizeof(PRINTER_INFO_2W), winsim::FillPrinter2, buffer, size, needed, nullptr);
}

// The driver of the printer in the given environment (none: the caller's own), levels 1 to 6.
BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterDriverW", {winsim::Ptr(printer), winsim::Utf8(environment), std::to_string(level),
                                              winsim::Ptr(buffer), std::to_string(size)}))
    return FALSE;
  if (winsim::RefusedBeforeSpooler(buffer, size, needed, false, nullptr) || winsim::SpoolerDown()) return FALSE;
  winsim::StoredPrinter* stored = winsim::PrinterOf(printer);
  if (stored == nullptr) return FALSE;
  std::u16string wanted = winsim::ResolveEnvironment(environment);
  if (wanted.empty()) return winsim::Fail(ERROR_INVALID_ENVIRONMENT);
  size_t entrySize = winsim::DriverEntrySize(level);
  if (entrySize == 0) return winsim::Fail(ERROR_INVALID_LEVEL);
  const winsim::SimDriver* driver = winsim::DriverNamed(stored->printer.driverName, wanted);
  if (driver == nullptr) return winsim::Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  auto fill = [level](winsim::Packer& p, BYTE* at, const winsim::SimDriver& d) { winsim::FillDriver(p, at, d, level); };
  std::vector<const winsim::SimDriver*> one = {driver};
  return winsim::Answer(one, entrySize, fill, buffer, size, needed, nullptr);
}

// Handles opened before the service stopped are gone: closing one fails with
// ERROR_INVALID_HANDLE once the spooler runs again.
BOOL ClosePrinter(HANDLE printer) {
  if (winsim::EnterCall("ClosePrinter", {winsim::Ptr(printer)})) return FALSE;
  if (winsim::SpoolerDown()) return FALSE;
  if (Spooler().handles.erase(reinterpret_cast<uintptr_t>(printer)) == 0)
    return winsim::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

// Ordinal 203 (GetDefaultPrinterW): the name and its length in characters, terminator included.
BOOL SpoolerGetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) {
  if (winsim::EnterCall("SpoolerGetDefaultPrinterW",
                        {winsim::Ptr(buffer), chars ? std::to_string(*chars) : std::string("null")}))
    return FALSE;
  if (chars == nullptr) return winsim::Fail(ERROR_INVALID_PARAMETER);
  // The calling user's own setting: SYSTEM's is HKEY_USERS\.DEFAULT's.
  const std::u16string name = winsim::UserDefaultPrinter(winsim::InstallerAccount());
  if (name.empty()) return winsim::Fail(ERROR_FILE_NOT_FOUND);
  DWORD length = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *chars < length) {
    *chars = length;
    return winsim::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  *chars = length;
  return TRUE;
}

// Ordinal 204 (SetDefaultPrinterW). No name: the first printer becomes the default, and only
// when there is none yet.
BOOL SpoolerSetDefaultPrinterW(LPCWSTR printerName) {
  if (winsim::EnterCall("SpoolerSetDefaultPrinterW", {winsim::Utf8(printerName)})) return FALSE;
  if (winsim::SpoolerDown()) return FALSE;
  if (printerName == nullptr || printerName[0] == 0) {
    if (Spooler().defaultPrinter.empty() && !Spooler().printers.empty())
      Spooler().defaultPrinter = Spooler().printers.front().printer.name;
    return TRUE;
  }
  winsim::StoredPrinter* stored = winsim::PrinterNamed(printerName);
  if (stored == nullptr) return winsim::Fail(ERROR_INVALID_PRINTER_NAME);
  winsim::SetUserDefaultPrinter(winsim::InstallerAccount(), stored->printer.name);
  return TRUE;
}

// The named exports answer as the ordinals do.
BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) { return SpoolerGetDefaultPrinterW(buffer, chars); }
BOOL SetDefaultPrinterW(LPCWSTR printerName) { return SpoolerSetDefaultPrinterW(printerName); }

namespace winsim {

void SpoolerServiceStopped() {
  Spooler().running = false;
  Spooler().handles.clear();
  ReleaseFiles(kSpoolerProcess);
}

void SpoolerServiceStarted() {
  Spooler().running = true;
  for (const SimMonitor& monitor : Spooler().monitors) HoldMonitorDll(monitor);
  for (const SimDriver& driver : Spooler().drivers) HoldDriverFiles(driver);
}

bool SpoolerRunning() { return Spooler().running; }

void SetDriverDirectory(const std::u16string& path) { Spooler().driverDirectory = path; }

std::u16string MonitorDllPath(const SimMonitor& monitor) {
  std::u16string path = SystemDirectory();
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path + monitor.dllName;
}

void AddSimMonitor(const SimMonitor& monitor) {
  Spooler().monitors.push_back(monitor);
  if (Spooler().running) HoldMonitorDll(monitor);
}

void AddLocalPortMonitor() { AddSimMonitor(SimMonitor{u"Local Port", u"Windows x64", u"localspl.dll", {u"LPT1:", u"COM1:", u"FILE:"}}); }

std::vector<SimMonitor> SimMonitors() { return Spooler().monitors; }

void AddSimDriver(const SimDriver& driver) {
  Spooler().drivers.push_back(driver);
  if (Spooler().running) HoldDriverFiles(driver);
}

std::vector<SimDriver> SimDrivers() { return Spooler().drivers; }

void AddSimPrinter(const SimPrinter& printer) {
  StoredPrinter stored{Spooler().nextPrinterId++, printer};
  stored.printer.attributes |= PRINTER_ATTRIBUTE_LOCAL;
  Spooler().printers.push_back(stored);
}

void AddSimConnection(const SimPrinter& printer) {
  StoredPrinter stored{Spooler().nextPrinterId++, printer};
  stored.printer.attributes = (stored.printer.attributes & ~DWORD(PRINTER_ATTRIBUTE_LOCAL)) | PRINTER_ATTRIBUTE_NETWORK;
  Spooler().printers.push_back(stored);
}

std::vector<SimPrinter> SimPrinters() {
  std::vector<SimPrinter> printers;
  for (const StoredPrinter& stored : Spooler().printers) printers.push_back(stored.printer);
  return printers;
}

size_t CountSimPrinters(const std::u16string& driver) {
  size_t count = 0;
  for (const StoredPrinter& stored : Spooler().printers) count += stored.printer.driverName == driver;
  return count;
}

std::optional<SimPrinter> FindSimPrinter(const std::u16string& name) {
  StoredPrinter* stored = PrinterNamed(name);
  if (stored == nullptr) return std::nullopt;
  return stored->printer;
}

void SetSimPrinterValue(const std::u16string& printer, const SimPrinterValue& value) {
  StoredPrinter* stored = PrinterNamed(printer);
  if (stored == nullptr) return;
  for (SimPrinterValue& existing : stored->printer.data)
    if (SameName(existing.key, value.key) && SameName(existing.name, value.name)) {
      existing = value;
      return;
    }
  stored->printer.data.push_back(value);
}

void SetSimDefaultPrinter(const std::u16string& name) { Spooler().defaultPrinter = name; }
std::u16string SimDefaultPrinter() { return Spooler().defaultPrinter; }

size_t OpenPrinterHandles() { return Spooler().handles.size(); }

}  // namespace winsim
