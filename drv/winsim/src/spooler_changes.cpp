// The spooler's calls that change its objects: monitors added and deleted, drivers added with
// their files and deleted with them, printers added, changed, purged and deleted, and the
// printer data written and read.
//
// Where Wine's spooler differs (see the notes on Wine), these follow Windows unless a test has
// switched the call to Wine's answer (SetWine... in sim_spooler.h):
// - The spooler process loads a monitor's DLL and a driver's driver and configuration files and
//   holds them until its service stops (Wine: loaded into the calling process).
// - DeleteMonitorW refuses while a printer's port list holds one of the monitor's ports (3008).
// - AddPrinterDriverExW copies the named files into the version folder of the driver directory
//   and refuses when one is missing (Wine: copy errors ignored); level-6 extras are kept.
// - DeletePrinterDriverExW refuses while a printer uses the driver (3001) and with
//   DPD_DELETE_ALL_FILES deletes the driver's files. A file that another process still has
//   loaded is moved into "Old\<n>" below the version folder and marked for deletion at the next
//   start, as Windows documents for loaded driver files.
// - AddPrinterW and SetPrinterW refuse a port no monitor provides (1796); AddPrinterW refuses a
//   name that exists (1802); a null data type takes the print processor's default, "RAW".
// - DeletePrinter of the default printer leaves no default printer (Wine: the first remaining
//   printer becomes the default). A printer with jobs is only marked for deletion and goes when
//   its jobs are purged.
// - SetPrinterW level 0 carries out PRINTER_CONTROL_PURGE (Wine: 124).
// - AddPrinterW and SetPrinterW refuse a separator file that is not there (1799) and sharing
//   under a name another shared printer uses (1215) (Wine: both taken), and keep a security
//   descriptor (Wine: none kept).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "spooler_internal.h"
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

const char16_t kLocalEnvironment[] = u"Windows x64";
const char16_t kPrintProcessor[] = u"winprint";
const char16_t kProcessorDatatype[] = u"RAW";

// DEVMODEW: dmSize and dmDriverExtra follow the 32-character device name and two version words.
const size_t kDevModeSizeAt = 68;
const size_t kDevModeExtraAt = 70;
const WORD kSmallestDevMode = 76;   // up to and including dmFields
const WORD kLargestDevMode = 220;   // sizeof(DEVMODEW)

std::u16string Text(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string Decimal(DWORD value) { return Utf16(std::to_string(value)); }

std::u16string Join(const std::u16string& directory, const std::u16string& name) {
  if (directory.empty() || directory.back() == u'\\') return directory + name;
  return directory + u'\\' + name;
}

std::u16string FileNameOf(const std::u16string& path) {
  size_t at = path.find_last_of(u"\\/");
  return at == std::u16string::npos ? path : path.substr(at + 1);
}

// The strings of a list ended by an empty string; none for a null list.
std::vector<std::u16string> MultiText(LPCWSTR list) {
  std::vector<std::u16string> texts;
  for (LPCWSTR at = list; at != nullptr && at[0] != 0; at += texts.back().size() + 1) texts.push_back(at);
  return texts;
}

// --- Access ---------------------------------------------------------------------------------
bool Granted(HANDLE handle, ACCESS_MASK wanted) {
  const OpenHandle* open = HandleOf(handle);
  if (open != nullptr && (open->access & wanted) == wanted) return true;
  return Fail(ERROR_ACCESS_DENIED);
}

// --- Ports and monitors ---------------------------------------------------------------------
std::vector<std::u16string> PortList(const std::u16string& ports) {
  std::vector<std::u16string> list;
  size_t start = 0;
  for (size_t comma = ports.find(u','); comma != std::u16string::npos; comma = ports.find(u',', start)) {
    list.push_back(ports.substr(start, comma - start));
    start = comma + 1;
  }
  list.push_back(ports.substr(start));
  return list;
}

bool Provides(const SimMonitor& monitor, const std::u16string& port) {
  for (const std::u16string& provided : monitor.ports)
    if (SameName(provided, port)) return true;
  return false;
}

// Every port of the list must be one that an installed monitor provides.
bool KnownPorts(const std::u16string& ports) {
  for (const std::u16string& port : PortList(ports)) {
    bool known = false;
    for (const SimMonitor& monitor : Spooler().monitors) known = known || Provides(monitor, port);
    if (!known) return false;
  }
  return true;
}

// A connection's port is the server's, on the server's monitor; its driver is installed here.
bool MonitorInUse(const SimMonitor& monitor) {
  for (const StoredPrinter& stored : Spooler().printers)
    if (!(stored.printer.attributes & PRINTER_ATTRIBUTE_NETWORK))
      for (const std::u16string& port : PortList(stored.printer.portName))
        if (Provides(monitor, port)) return true;
  return false;
}

bool DllOfAnyMonitor(const std::u16string& path) {
  for (const SimMonitor& monitor : Spooler().monitors)
    if (SameName(MonitorDllPath(monitor), path)) return true;
  return false;
}

// --- Driver files ---------------------------------------------------------------------------
std::vector<std::u16string> DriverFiles(const SimDriver& driver) {
  std::vector<std::u16string> files;
  std::vector<std::u16string> named = {driver.driverPath, driver.dataFile, driver.configFile, driver.helpFile};
  named.insert(named.end(), driver.dependentFiles.begin(), driver.dependentFiles.end());
  for (const std::u16string& file : named) {
    bool listed = false;
    for (const std::u16string& other : files) listed = listed || SameName(other, file);
    if (!file.empty() && !listed) files.push_back(file);
  }
  return files;
}

bool FileOfAnyDriver(const std::u16string& path) {
  for (const SimDriver& driver : Spooler().drivers)
    for (const std::u16string& file : DriverFiles(driver))
      if (SameName(file, path)) return true;
  return false;
}

std::u16string VersionFolder(DWORD version) { return Join(Spooler().driverDirectory, Decimal(version)); }

// A file some process has loaded can be neither deleted nor overwritten: the spooler moves it
// into "Old\<n>" below the version folder, the first such folder without a file of that name,
// and has the system delete it at the next start. The moved copy is not held in the simulation.
void MoveAside(const std::u16string& path, DWORD version) {
  std::u16string moved;
  for (DWORD n = 1; moved.empty() || FileExists(moved); n++)
    moved = Join(Join(Join(VersionFolder(version), u"Old"), Decimal(n)), FileNameOf(path));
  PutFile(moved, FileContents(path));
  RemoveFile(path);
  AppendPendingRename(u"*1\\??\\" + moved, u"");
}

// A file named without a directory is one the caller staged in the driver directory.
std::u16string StagedPath(const std::u16string& file) {
  if (file.empty() || file.find_first_of(u"\\/") != std::u16string::npos) return file;
  return Join(Spooler().driverDirectory, file);
}

// Copies a staged file into the version folder and answers the copy's path. A loaded file of
// that name is moved aside first.
std::u16string InstallDriverFile(const std::u16string& source, DWORD version) {
  if (source.empty()) return source;
  std::u16string target = Join(VersionFolder(version), FileNameOf(source));
  if (SameName(source, target)) return target;
  std::string contents = FileContents(source);
  if (FileExists(target) && IsHeld(target)) MoveAside(target, version);
  PutFile(target, contents);
  return target;
}

// The spooler lets go of a file it loaded and deletes it; one still loaded elsewhere is moved
// aside.
void DeleteDriverFile(const std::u16string& path, DWORD version) {
  ReleaseFile(path, kSpoolerProcess);
  if (!FileExists(path)) return;
  if (IsHeld(path))
    MoveAside(path, version);
  else
    RemoveFile(path);
}

// The driver a DRIVER_INFO_2W, 3W, 4W or 6W describes, its files named as the caller named them.
SimDriver DescribedDriver(const BYTE* info, DWORD level) {
  const auto* two = reinterpret_cast<const DRIVER_INFO_2W*>(info);
  SimDriver driver;
  driver.version = two->cVersion;
  driver.name = Text(two->pName);
  driver.environment = ResolveEnvironment(two->pEnvironment);
  driver.driverPath = StagedPath(Text(two->pDriverPath));
  driver.dataFile = StagedPath(Text(two->pDataFile));
  driver.configFile = StagedPath(Text(two->pConfigFile));
  if (level >= 3) {
    const auto* three = reinterpret_cast<const DRIVER_INFO_3W*>(info);
    driver.helpFile = StagedPath(Text(three->pHelpFile));
    for (const std::u16string& file : MultiText(three->pDependentFiles))
      driver.dependentFiles.push_back(StagedPath(file));
    driver.monitorName = Text(three->pMonitorName);
    driver.defaultDataType = Text(three->pDefaultDataType);
  }
  if (level >= 4) driver.previousNames = MultiText(reinterpret_cast<const DRIVER_INFO_4W*>(info)->pszzPreviousNames);
  if (level == 6) {
    const auto* six = reinterpret_cast<const DRIVER_INFO_6W*>(info);
    driver.driverDate = six->ftDriverDate;
    driver.driverVersion = six->dwlDriverVersion;
    driver.mfgName = Text(six->pszMfgName);
    driver.oemUrl = Text(six->pszOEMUrl);
    driver.hardwareId = Text(six->pszHardwareID);
    driver.provider = Text(six->pszProvider);
  }
  return driver;
}

DWORD DriverError(const SimDriver& driver) {
  if (driver.name.empty() || driver.driverPath.empty() || driver.dataFile.empty() || driver.configFile.empty())
    return ERROR_INVALID_PARAMETER;
  if (driver.environment.empty()) return ERROR_INVALID_ENVIRONMENT;
  bool monitorKnown = driver.monitorName.empty();
  for (const SimMonitor& monitor : Spooler().monitors) monitorKnown = monitorKnown || SameName(monitor.name, driver.monitorName);
  if (!monitorKnown) return ERROR_UNKNOWN_PRINT_MONITOR;
  for (const std::u16string& file : DriverFiles(driver))
    if (!FileExists(file)) return ERROR_FILE_NOT_FOUND;
  return ERROR_SUCCESS;
}

void CopyDriverFiles(SimDriver& driver) {
  driver.driverPath = InstallDriverFile(driver.driverPath, driver.version);
  driver.dataFile = InstallDriverFile(driver.dataFile, driver.version);
  driver.configFile = InstallDriverFile(driver.configFile, driver.version);
  driver.helpFile = InstallDriverFile(driver.helpFile, driver.version);
  for (std::u16string& file : driver.dependentFiles) file = InstallDriverFile(file, driver.version);
}

bool Matches(const SimDriver& driver, const std::u16string& name, const std::u16string& environment) {
  return SameName(driver.name, name) && SameName(driver.environment, environment);
}

bool DriverInUse(const std::u16string& name) {
  for (const StoredPrinter& stored : Spooler().printers)
    if (SameName(stored.printer.driverName, name)) return true;
  return false;
}

// With DPD_DELETE_ALL_FILES a driver goes only when every one of its files can go with it.
bool SharesFiles(const std::vector<SimDriver>& leaving) {
  for (const SimDriver& driver : leaving)
    for (const std::u16string& file : DriverFiles(driver))
      if (FileOfAnyDriver(file)) return true;
  return false;
}

// --- Printers -------------------------------------------------------------------------------
// Printer names may not hold the characters that separate server, share and port names.
bool ValidPrinterName(const std::u16string& name) {
  return !name.empty() && name.find_first_of(u",\\!") == std::u16string::npos;
}

// The bytes of a device mode with its driver extra; none for a device mode Windows refuses.
bool DevModeBytes(const BYTE* devMode, std::vector<BYTE>& bytes) {
  WORD size = 0, extra = 0;
  std::memcpy(&size, devMode + kDevModeSizeAt, sizeof(WORD));
  std::memcpy(&extra, devMode + kDevModeExtraAt, sizeof(WORD));
  if (size < kSmallestDevMode || size > kLargestDevMode) return false;
  bytes.assign(devMode, devMode + size + extra);
  return true;
}

// A self-relative security descriptor's bytes, as GetSecurityDescriptorLength measures them:
// the header and the owner, group, SACL and DACL its offsets name. False for anything else.
const size_t kSecurityHeader = 20;
bool SecurityDescriptorBytes(const BYTE* sd, std::vector<BYTE>& bytes) {
  const BYTE kRevision = 1;
  const WORD kSelfRelative = 0x8000;
  const DWORD kFarthest = 0x10000;
  WORD control = 0;
  std::memcpy(&control, sd + 2, sizeof(WORD));
  if (sd[0] != kRevision || !(control & kSelfRelative)) return false;
  size_t end = kSecurityHeader;
  for (int part = 0; part < 4; part++) {
    DWORD offset = 0;
    std::memcpy(&offset, sd + 4 + 4 * part, sizeof(DWORD));
    if (offset == 0) continue;
    if (offset < kSecurityHeader || offset >= kFarthest) return false;
    WORD aclSize = 0;
    std::memcpy(&aclSize, sd + offset + 2, sizeof(WORD));
    size_t size = part < 2 ? 8 + 4 * size_t(sd[offset + 1]) : aclSize;   // owner and group are SIDs
    end = std::max(end, offset + size);
  }
  bytes.assign(sd, sd + end);
  return true;
}

// A separator file named without a folder lies in the system directory, as the spooler looks.
std::u16string SeparatorPath(const std::u16string& file) {
  if (file.find_first_of(u"\\:") != std::u16string::npos) return file;
  return SystemDirectory() + u"\\" + file;
}

// A share name may be used by one shared printer only (`self` may keep its own).
bool ShareInUse(const std::u16string& share, int self) {
  for (const StoredPrinter& stored : Spooler().printers)
    if (stored.id != self && (stored.printer.attributes & PRINTER_ATTRIBUTE_SHARED) && stored.printer.shareName &&
        SameName(*stored.printer.shareName, share))
      return true;
  return false;
}

// What AddPrinterW and SetPrinterW refuse in a PRINTER_INFO_2W besides its name: also a
// separator file that is not there (1799), a security descriptor that is not one (1338), and
// sharing without a share name or under one another printer shares (1215).
DWORD SettingsError(const PRINTER_INFO_2W& info, int self) {
  if (DriverNamed(Text(info.pDriverName), kLocalEnvironment) == nullptr) return ERROR_UNKNOWN_PRINTER_DRIVER;
  if (!KnownPorts(Text(info.pPortName))) return ERROR_UNKNOWN_PORT;
  if (!SameName(Text(info.pPrintProcessor), kPrintProcessor)) return ERROR_UNKNOWN_PRINTPROCESSOR;
  if (info.pDatatype != nullptr && info.pDatatype[0] != 0 && !KnownDatatype(info.pDatatype))
    return ERROR_INVALID_DATATYPE;
  std::vector<BYTE> devMode;
  if (info.pDevMode != nullptr && !DevModeBytes(reinterpret_cast<const BYTE*>(info.pDevMode), devMode))
    return ERROR_INVALID_PARAMETER;
  std::u16string separator = Text(info.pSepFile), share = Text(info.pShareName);
  if (!separator.empty() && !FileExists(SeparatorPath(separator))) return ERROR_INVALID_SEPARATOR_FILE;
  std::vector<BYTE> security;
  if (info.pSecurityDescriptor != nullptr &&
      !SecurityDescriptorBytes(static_cast<const BYTE*>(info.pSecurityDescriptor), security))
    return ERROR_INVALID_SECURITY_DESCR;
  if ((info.Attributes & PRINTER_ATTRIBUTE_SHARED) && (share.empty() || ShareInUse(share, self)))
    return ERROR_INVALID_SHARENAME;
  return ERROR_SUCCESS;
}

// Every setting the record carries replaces the printer's. What the caller cannot set is left:
// server name, status, job count, pages per minute, and the local and default marks (the
// default printer is a per-user setting). A null device mode or security descriptor keeps the
// printer's own; a security descriptor is kept as its self-relative bytes and not enforced.
void ApplySettings(SimPrinter& printer, const PRINTER_INFO_2W& info) {
  printer.name = Text(info.pPrinterName);
  printer.shareName = info.pShareName ? std::optional<std::u16string>(info.pShareName) : std::nullopt;
  printer.portName = Text(info.pPortName);
  printer.driverName = Text(info.pDriverName);
  printer.comment = Text(info.pComment);
  printer.location = Text(info.pLocation);
  if (info.pDevMode != nullptr) DevModeBytes(reinterpret_cast<const BYTE*>(info.pDevMode), printer.devMode);
  printer.sepFile = Text(info.pSepFile);
  if (info.pSecurityDescriptor != nullptr)
    SecurityDescriptorBytes(static_cast<const BYTE*>(info.pSecurityDescriptor), printer.securityDescriptor);
  printer.printProcessor = Text(info.pPrintProcessor);
  printer.datatype = Text(info.pDatatype).empty() ? kProcessorDatatype : Text(info.pDatatype);
  printer.parameters = Text(info.pParameters);
  DWORD kept = PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_NETWORK | PRINTER_ATTRIBUTE_LOCAL;
  // A connection stays one: the spooler, not the caller, says where a printer lives.
  bool connection = (printer.attributes & PRINTER_ATTRIBUTE_NETWORK) != 0;
  printer.attributes = (info.Attributes & ~kept) | (connection ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL);
  printer.priority = info.Priority == 0 ? 1 : info.Priority;
  printer.defaultPriority = info.DefaultPriority;
  printer.startTime = info.StartTime;
  printer.untilTime = info.UntilTime;
}

void RemovePrinter(int id) {
  auto& printers = Spooler().printers;
  auto found = std::find_if(printers.begin(), printers.end(), [id](const StoredPrinter& p) { return p.id == id; });
  if (found == printers.end()) return;
  if (SameName(Spooler().defaultPrinter, found->printer.name)) Spooler().defaultPrinter.clear();
  printers.erase(found);
}

BOOL WritePrinter2(StoredPrinter& stored, const PRINTER_INFO_2W& info) {
  std::u16string name = Text(info.pPrinterName);
  // A connection keeps the name the server's share gives it.
  if (!ValidPrinterName(name) && !SameName(name, stored.printer.name)) return Fail(ERROR_INVALID_PRINTER_NAME);
  StoredPrinter* named = PrinterNamed(name);
  if (named != nullptr && named->id != stored.id) return Fail(ERROR_PRINTER_ALREADY_EXISTS);
  DWORD error = SettingsError(info, stored.id);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (SameName(Spooler().defaultPrinter, stored.printer.name)) Spooler().defaultPrinter = name;
  ApplySettings(stored.printer, info);
  return TRUE;
}

// Level 0: pause, resume, purge or set the status. Purging a printer marked for deletion
// deletes it.
BOOL ControlPrinter(HANDLE handle, StoredPrinter& stored, const BYTE* info, DWORD command) {
  if (command < PRINTER_CONTROL_PAUSE || command > PRINTER_CONTROL_SET_STATUS)
    return Fail(ERROR_INVALID_PRINTER_COMMAND);
  if ((command == PRINTER_CONTROL_SET_STATUS) != (info != nullptr)) return Fail(ERROR_INVALID_PARAMETER);
  if (command == PRINTER_CONTROL_PURGE && Spooler().wine.purge) return Fail(ERROR_INVALID_LEVEL);
  if (!Granted(handle, PRINTER_ACCESS_ADMINISTER)) return FALSE;
  SimPrinter& printer = stored.printer;
  if (command == PRINTER_CONTROL_PAUSE) printer.status |= PRINTER_STATUS_PAUSED;
  if (command == PRINTER_CONTROL_RESUME) printer.status &= ~DWORD(PRINTER_STATUS_PAUSED);
  if (command == PRINTER_CONTROL_SET_STATUS) std::memcpy(&printer.status, info, sizeof(DWORD));
  if (command == PRINTER_CONTROL_PURGE) {
    printer.jobs = 0;
    if (printer.status & PRINTER_STATUS_PENDING_DELETION) RemovePrinter(stored.id);
  }
  return TRUE;
}

// --- Printer data ---------------------------------------------------------------------------
const char kNoKey[] = "";

DWORD DataRefused(HANDLE printer, LPCSTR key, LPCSTR valueName) {
  if (SpoolerDown()) return RPC_S_SERVER_UNAVAILABLE;
  if (PrinterOf(printer) == nullptr) return ERROR_INVALID_HANDLE;
  if (key == nullptr || valueName == nullptr) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

// The data as stored and its type as stored; ERROR_MORE_DATA with the size needed when the
// buffer is too small.
DWORD ReadPrinterValue(HANDLE printer, LPCSTR key, LPCSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                       LPDWORD needed) {
  DWORD refused = DataRefused(printer, key, valueName);
  if (refused != ERROR_SUCCESS) return refused;
  if (needed == nullptr) return RPC_X_NULL_REF_POINTER;
  if (data == nullptr && size != 0) return ERROR_INVALID_USER_BUFFER;
  const std::string keyName = key[0] != 0 ? key : kPlainPrinterDataKey;
  for (const SimPrinterValue& value : PrinterOf(printer)->printer.data) {
    if (!SameName(value.key, keyName) || !SameName(value.name, std::string(valueName))) continue;
    *needed = static_cast<DWORD>(value.data.size());
    if (type != nullptr) *type = value.type;
    if (size < value.data.size()) return ERROR_MORE_DATA;
    if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

// Writing printer data changes the printer: it needs PRINTER_ACCESS_ADMINISTER.
DWORD WritePrinterValue(HANDLE printer, LPCSTR key, LPCSTR valueName, DWORD type, const BYTE* data, DWORD size) {
  DWORD refused = DataRefused(printer, key, valueName);
  if (refused != ERROR_SUCCESS) return refused;
  if (!Granted(printer, PRINTER_ACCESS_ADMINISTER)) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  SimPrinterValue value{key[0] != 0 ? key : kPlainPrinterDataKey, valueName, type,
                        std::vector<BYTE>(data, data + size)};
  std::vector<SimPrinterValue>& values = PrinterOf(printer)->printer.data;
  for (SimPrinterValue& existing : values)
    if (SameName(existing.key, value.key) && SameName(existing.name, value.name)) {
      existing = value;
      return ERROR_SUCCESS;
    }
  values.push_back(value);
  return ERROR_SUCCESS;
}

std::string Text8(LPCSTR text) { return text ? text : "(null)"; }

HANDLE NoPrinter(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace
}  // namespace winsim

using winsim::Spooler;

// --- Monitors -----------------------------------------------------------------------------------

// Level 2. The DLL must lie in the system directory; the spooler loads it and holds it. The
// monitor provides one port, named as the monitor.
BOOL AddMonitorW(LPWSTR name, DWORD level, LPBYTE monitorInfo) {
  const auto* info = level == 2 ? reinterpret_cast<const MONITOR_INFO_2W*>(monitorInfo) : nullptr;
  if (winsim::EnterCall("AddMonitorW", {winsim::Utf8(name), std::to_string(level),
                                        info ? winsim::Utf8(info->pName) : "(no info)",
                                        info ? winsim::Utf8(info->pEnvironment) : "(no info)",
                                        info ? winsim::Utf8(info->pDLLName) : "(no info)"}))
    return FALSE;
  if (winsim::SpoolerDown() || winsim::RemoteServer(name)) return FALSE;
  if (level != 2) return winsim::Fail(ERROR_INVALID_LEVEL);
  if (info == nullptr || winsim::Text(info->pName).empty() || winsim::Text(info->pDLLName).empty())
    return winsim::Fail(ERROR_INVALID_PARAMETER);
  std::u16string environment = winsim::ResolveEnvironment(info->pEnvironment);
  if (environment != winsim::kLocalEnvironment) return winsim::Fail(ERROR_INVALID_ENVIRONMENT);
  for (const winsim::SimMonitor& monitor : Spooler().monitors)
    if (winsim::SameName(monitor.name, info->pName)) return winsim::Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  winsim::SimMonitor monitor{info->pName, environment, info->pDLLName, {info->pName}};
  std::u16string dll = winsim::MonitorDllPath(monitor);
  if (!winsim::FileExists(dll)) return winsim::Fail(ERROR_MOD_NOT_FOUND);
  Spooler().monitors.push_back(monitor);
  winsim::HoldFile(dll, winsim::kSpoolerProcess);
  return TRUE;
}

// Refused while a printer prints to one of the monitor's ports. The spooler unloads the DLL
// (unless another monitor uses it) and never deletes it.
BOOL DeleteMonitorW(LPWSTR name, LPWSTR environment, LPWSTR monitorName) {
  if (winsim::EnterCall("DeleteMonitorW", {winsim::Utf8(name), winsim::Utf8(environment), winsim::Utf8(monitorName)}))
    return FALSE;
  if (winsim::SpoolerDown() || winsim::RemoteServer(name)) return FALSE;
  if (winsim::ResolveEnvironment(environment).empty()) return winsim::Fail(ERROR_INVALID_ENVIRONMENT);
  if (winsim::Text(monitorName).empty()) return winsim::Fail(ERROR_INVALID_PARAMETER);
  auto& monitors = Spooler().monitors;
  auto found = std::find_if(monitors.begin(), monitors.end(),
                            [monitorName](const winsim::SimMonitor& m) { return winsim::SameName(m.name, monitorName); });
  if (found == monitors.end()) return winsim::Fail(ERROR_UNKNOWN_PRINT_MONITOR);
  if (winsim::MonitorInUse(*found)) return winsim::Fail(ERROR_PRINT_MONITOR_IN_USE);
  std::u16string dll = winsim::MonitorDllPath(*found);
  monitors.erase(found);
  if (!winsim::DllOfAnyMonitor(dll) && !Spooler().keepDeletedMonitorsLoaded)
    winsim::ReleaseFile(dll, winsim::kSpoolerProcess);
  return TRUE;
}

// --- Drivers ------------------------------------------------------------------------------------

// Levels 2, 3, 4 and 6. Every file the record names must exist (a bare name: in the driver
// directory, where callers stage files); each is copied into the version folder ("3" for
// cVersion 3) and the driver's paths point there. Every copy flag copies all files (the
// simulation keeps no file times). A driver of the same name, environment and version is
// replaced. The spooler then holds the driver and configuration files.
BOOL AddPrinterDriverExW(LPWSTR name, DWORD level, LPBYTE driverInfo, DWORD copyFlags) {
  bool known = level == 2 || level == 3 || level == 4 || level == 6;
  const auto* two = known ? reinterpret_cast<const DRIVER_INFO_2W*>(driverInfo) : nullptr;
  if (winsim::EnterCall("AddPrinterDriverExW", {winsim::Utf8(name), std::to_string(level),
                                                two ? winsim::Utf8(two->pName) : "(no info)",
                                                two ? winsim::Utf8(two->pEnvironment) : "(no info)",
                                                winsim::Hex(copyFlags)}))
    return FALSE;
  if (winsim::SpoolerDown() || winsim::RemoteServer(name)) return FALSE;
  if (!known) return winsim::Fail(ERROR_INVALID_LEVEL);
  if (two == nullptr) return winsim::Fail(ERROR_INVALID_PARAMETER);
  winsim::SimDriver driver = winsim::DescribedDriver(driverInfo, level);
  DWORD error = winsim::DriverError(driver);
  if (error != ERROR_SUCCESS) return winsim::Fail(error);
  winsim::CopyDriverFiles(driver);
  auto& drivers = Spooler().drivers;
  auto same = std::find_if(drivers.begin(), drivers.end(), [&driver](const winsim::SimDriver& d) {
    return winsim::Matches(d, driver.name, driver.environment) && d.version == driver.version;
  });
  if (same != drivers.end())
    *same = driver;
  else
    drivers.push_back(driver);
  winsim::HoldDriverFiles(driver);
  return TRUE;
}

// Every version of the driver in the environment, or with DPD_DELETE_SPECIFIC_VERSION the one
// version. Refused while a printer uses the driver. Flag 0 leaves the files; the file flags
// delete those no remaining driver uses, DPD_DELETE_ALL_FILES refusing instead when another
// driver shares one.
BOOL DeletePrinterDriverExW(LPWSTR name, LPWSTR environment, LPWSTR driverName, DWORD deleteFlag,
                            DWORD versionFlag) {
  if (winsim::EnterCall("DeletePrinterDriverExW", {winsim::Utf8(name), winsim::Utf8(environment),
                                                   winsim::Utf8(driverName), winsim::Hex(deleteFlag),
                                                   std::to_string(versionFlag)}))
    return FALSE;
  if (winsim::SpoolerDown() || winsim::RemoteServer(name)) return FALSE;
  std::u16string wanted = winsim::ResolveEnvironment(environment);
  if (wanted.empty()) return winsim::Fail(ERROR_INVALID_ENVIRONMENT);
  if (winsim::Text(driverName).empty()) return winsim::Fail(ERROR_INVALID_PARAMETER);
  bool wine = Spooler().wine.driverDeletion;
  if (wine && deleteFlag != 0) return winsim::Fail(ERROR_INVALID_PARAMETER);
  std::vector<winsim::SimDriver> leaving, staying;
  for (const winsim::SimDriver& driver : Spooler().drivers) {
    bool version = !(deleteFlag & DPD_DELETE_SPECIFIC_VERSION) || driver.version == versionFlag;
    (winsim::Matches(driver, driverName, wanted) && version ? leaving : staying).push_back(driver);
  }
  if (leaving.empty()) return winsim::Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  if (!wine && winsim::DriverInUse(driverName)) return winsim::Fail(ERROR_PRINTER_DRIVER_IN_USE);
  Spooler().drivers = staying;
  if ((deleteFlag & DPD_DELETE_ALL_FILES) && winsim::SharesFiles(leaving)) {
    Spooler().drivers.insert(Spooler().drivers.end(), leaving.begin(), leaving.end());
    return winsim::Fail(ERROR_PRINTER_DRIVER_IN_USE);
  }
  bool deleteFiles = deleteFlag & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES);
  for (const winsim::SimDriver& driver : leaving)
    for (const std::u16string& file : winsim::DriverFiles(driver)) {
      if (winsim::FileOfAnyDriver(file)) continue;
      if (deleteFiles)
        winsim::DeleteDriverFile(file, driver.version);
      else
        winsim::ReleaseFile(file, winsim::kSpoolerProcess);
    }
  return TRUE;
}

// --- Printers -----------------------------------------------------------------------------------

// Level 0 with a command (PRINTER_CONTROL_PAUSE, _RESUME, _PURGE, _SET_STATUS), or level 2 with
// command 0. Both need PRINTER_ACCESS_ADMINISTER on the handle.
BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  const auto* two = level == 2 ? reinterpret_cast<const PRINTER_INFO_2W*>(info) : nullptr;
  if (winsim::EnterCall("SetPrinterW", {winsim::Ptr(printer), std::to_string(level), std::to_string(command),
                                        two ? winsim::Utf8(two->pPrinterName) : "(no info)",
                                        two ? winsim::Utf8(two->pPortName) : "(no info)"}))
    return FALSE;
  if (winsim::SpoolerDown()) return FALSE;
  winsim::StoredPrinter* stored = winsim::PrinterOf(printer);
  if (stored == nullptr) return FALSE;
  if (level == 0) return winsim::ControlPrinter(printer, *stored, info, command);
  if (command != 0) return winsim::Fail(ERROR_INVALID_PARAMETER);
  if (level != 2) return winsim::Fail(ERROR_INVALID_LEVEL);
  if (two == nullptr) return winsim::Fail(ERROR_INVALID_PARAMETER);
  if (!winsim::Granted(printer, PRINTER_ACCESS_ADMINISTER)) return FALSE;
  return winsim::WritePrinter2(*stored, *two);
}

// Level 2 on the local machine. The new printer's handle has full access.
HANDLE AddPrinterW(LPWSTR name, DWORD level, LPBYTE info) {
  const auto* two = level == 2 ? reinterpret_cast<const PRINTER_INFO_2W*>(info) : nullptr;
  if (winsim::EnterCall("AddPrinterW", {winsim::Utf8(name), std::to_string(level),
                                        two ? winsim::Utf8(two->pPrinterName) : "(no info)",
                                        two ? winsim::Utf8(two->pPortName) : "(no info)",
                                        two ? winsim::Utf8(two->pDriverName) : "(no info)",
                                        two ? winsim::Utf8(two->pPrintProcessor) : "(no info)",
                                        two ? winsim::Utf8(two->pDatatype) : "(no info)"}))
    return nullptr;
  if (winsim::SpoolerDown() || winsim::RemoteServer(name)) return nullptr;
  if (level != 2) return winsim::NoPrinter(ERROR_INVALID_LEVEL);
  if (two == nullptr) return winsim::NoPrinter(ERROR_INVALID_PARAMETER);
  if (two->pDatatype == nullptr && Spooler().wine.nullDatatype) return winsim::NoPrinter(ERROR_INVALID_PRINTER_NAME);
  std::u16string printerName = winsim::Text(two->pPrinterName);
  if (!winsim::ValidPrinterName(printerName)) return winsim::NoPrinter(ERROR_INVALID_PRINTER_NAME);
  if (winsim::PrinterNamed(printerName) != nullptr) return winsim::NoPrinter(ERROR_PRINTER_ALREADY_EXISTS);
  DWORD error = winsim::SettingsError(*two, 0);
  if (error != ERROR_SUCCESS) return winsim::NoPrinter(error);
  winsim::StoredPrinter stored{Spooler().nextPrinterId++, winsim::SimPrinter()};
  winsim::ApplySettings(stored.printer, *two);
  stored.printer.data = Spooler().driverWrittenData;
  Spooler().printers.push_back(stored);
  return winsim::NewPrinterHandle(stored.id, PRINTER_ALL_ACCESS);
}

// Needs DELETE on the handle. The printer's data goes with it; a printer that still has jobs is
// only marked for deletion and goes when they are purged. Deleting the default printer leaves
// no default printer.
BOOL DeletePrinter(HANDLE printer) {
  if (winsim::EnterCall("DeletePrinter", {winsim::Ptr(printer)})) return FALSE;
  if (winsim::SpoolerDown()) return FALSE;
  winsim::StoredPrinter* stored = winsim::PrinterOf(printer);
  if (stored == nullptr || !winsim::Granted(printer, DELETE)) return FALSE;
  if (stored->printer.jobs > 0)
    stored->printer.status |= PRINTER_STATUS_PENDING_DELETION;
  else
    winsim::RemovePrinter(stored->id);
  return TRUE;
}

// --- Printer data -------------------------------------------------------------------------------
// 8-bit value names; the data is kept as the caller gave it and read back as it was stored.
// Plain values live under the key "PrinterDriverData".

DWORD GetPrinterDataA(HANDLE printer, LPSTR valueName, LPDWORD type, LPBYTE data, DWORD size, LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterDataA", {winsim::Ptr(printer), winsim::Text8(valueName), std::to_string(size)}))
    return GetLastError();
  return winsim::ReadPrinterValue(printer, winsim::kNoKey, valueName, type, data, size, needed);
}

DWORD GetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                        LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterDataExA", {winsim::Ptr(printer), winsim::Text8(keyName), winsim::Text8(valueName),
                                              std::to_string(size)}))
    return GetLastError();
  if (keyName != nullptr && keyName[0] == 0) return ERROR_INVALID_PARAMETER;
  return winsim::ReadPrinterValue(printer, keyName, valueName, type, data, size, needed);
}

DWORD SetPrinterDataA(HANDLE printer, LPSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  if (winsim::EnterCall("SetPrinterDataA",
                        {winsim::Ptr(printer), winsim::Text8(valueName), std::to_string(type), std::to_string(size)}))
    return GetLastError();
  return winsim::WritePrinterValue(printer, winsim::kNoKey, valueName, type, data, size);
}

DWORD SetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  if (winsim::EnterCall("SetPrinterDataExA", {winsim::Ptr(printer), winsim::Text8(keyName), winsim::Text8(valueName),
                                              std::to_string(type), std::to_string(size)}))
    return GetLastError();
  if (keyName != nullptr && keyName[0] == 0) return ERROR_INVALID_PARAMETER;
  return winsim::WritePrinterValue(printer, keyName, valueName, type, data, size);
}

namespace winsim {

void SetWineDriverDeletion(bool wine) { Spooler().wine.driverDeletion = wine; }
void SetWineNullDatatype(bool wine) { Spooler().wine.nullDatatype = wine; }
void SetWinePurge(bool wine) { Spooler().wine.purge = wine; }

void KeepDeletedMonitorsLoaded(bool keep) { Spooler().keepDeletedMonitorsLoaded = keep; }

void SetDriverWrittenData(const std::vector<SimPrinterValue>& values) { Spooler().driverWrittenData = values; }

std::vector<BYTE> SimDevMode(WORD driverExtra) {
  std::vector<BYTE> devMode(kLargestDevMode + driverExtra, 0);
  WORD specVersion = 0x0401;
  std::memcpy(devMode.data() + 64, &specVersion, sizeof(WORD));
  std::memcpy(devMode.data() + kDevModeSizeAt, &kLargestDevMode, sizeof(WORD));
  std::memcpy(devMode.data() + kDevModeExtraAt, &driverExtra, sizeof(WORD));
  return devMode;
}

}  // namespace winsim
