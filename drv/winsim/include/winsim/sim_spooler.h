// The simulated print spooler: set-up and inspection for tests.
//
// The spooler holds port monitors (each providing ports), printer drivers per environment,
// printers with their settings and printer data, and the default printer. While its service is
// stopped every spooler call fails with RPC_S_SERVER_UNAVAILABLE (1722), and the printer
// handles opened before the stop are gone.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "winsim/win32_types.h"

namespace winsim {

// Called by the service control manager when the "spooler" service stops or starts: a stopped
// spooler lets go of the files it had loaded, a started one loads those it needs again.
void SpoolerServiceStopped();
void SpoolerServiceStarted();
bool SpoolerRunning();

void SetDriverDirectory(const std::u16string& path);

// --- Monitors and ports ------------------------------------------------------------------
struct SimMonitor {
  std::u16string name;
  std::u16string environment = u"Windows x64";
  std::u16string dllName;              // bare file name; the DLL lies in the system directory
  std::vector<std::u16string> ports;   // the ports this monitor provides
};

// Registers a monitor as if the spooler had loaded it: a running spooler holds its DLL (when the
// file exists in the system directory) until the service stops.
void AddSimMonitor(const SimMonitor& monitor);
// The monitor every Windows machine has: "Local Port" (localspl.dll) with LPT1:, COM1:, FILE:.
void AddLocalPortMonitor();
std::vector<SimMonitor> SimMonitors();
// The DLL path the spooler loads for a monitor: the system directory, "\", the DLL name.
std::u16string MonitorDllPath(const SimMonitor& monitor);

// --- Drivers -----------------------------------------------------------------------------
// File paths are full paths, as the spooler reports them (in the driver directory's version
// folder). Optional texts left empty are reported as null pointers.
struct SimDriver {
  std::u16string name;
  std::u16string environment = u"Windows x64";
  DWORD version = 3;
  std::u16string driverPath;
  std::u16string dataFile;
  std::u16string configFile;
  std::u16string helpFile;
  std::vector<std::u16string> dependentFiles;
  std::u16string monitorName;
  std::u16string defaultDataType;
  std::vector<std::u16string> previousNames;
  FILETIME driverDate = {0, 0};
  DWORDLONG driverVersion = 0;
  std::u16string mfgName;
  std::u16string oemUrl;
  std::u16string hardwareId;
  std::u16string provider;
  DWORD driverAttributes = 0;    // DRIVER_INFO_5
  DWORD configFileVersion = 0;   // DRIVER_INFO_5 dwConfigVersion
  DWORD driverFileVersion = 0;   // DRIVER_INFO_5 dwDriverVersion
};

// Adds a driver; a running spooler holds its driver and configuration files (those that exist)
// until the service stops.
void AddSimDriver(const SimDriver& driver);
std::vector<SimDriver> SimDrivers();

// --- Printers ----------------------------------------------------------------------------
// One printer-data value. `key` is the printer-data key; plain values (GetPrinterData) live
// under "PrinterDriverData", as on Windows. Keys and value names are compared without case.
struct SimPrinterValue {
  std::string key;
  std::string name;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};
const char kPlainPrinterDataKey[] = "PrinterDriverData";

struct SimPrinter {
  std::u16string name;
  std::optional<std::u16string> shareName;   // null when the printer is not shared
  std::u16string portName;                   // comma-separated port list
  std::u16string driverName;
  std::u16string comment;
  std::u16string location;
  std::vector<BYTE> devMode;                 // a whole DEVMODEW with its driver extra, or none
  std::u16string sepFile;
  std::u16string printProcessor = u"winprint";
  std::u16string datatype = u"RAW";
  std::u16string parameters;
  std::vector<BYTE> securityDescriptor;      // self-relative, or none
  DWORD attributes = PRINTER_ATTRIBUTE_QUEUED;
  DWORD priority = 1;
  DWORD defaultPriority = 0;
  DWORD startTime = 0;
  DWORD untilTime = 0;
  DWORD status = 0;
  DWORD jobs = 0;
  DWORD averagePPM = 0;
  std::vector<SimPrinterValue> data;
};

// A DEVMODEW of the current size (220 bytes, dmSpecVersion 0x401) and `driverExtra` zero bytes
// behind it. SetPrinterW and AddPrinterW refuse a device mode whose dmSize is not between 76
// and 220, as Windows refuses an invalid one; a printer that is to be handed back whole needs a
// valid one.
std::vector<BYTE> SimDevMode(WORD driverExtra = 0);

// Adds a local printer (PRINTER_ATTRIBUTE_LOCAL is set, as the spooler does for its own).
void AddSimPrinter(const SimPrinter& printer);
// A connection the console user ("admin") made to a printer that a print server shares, named
// "\\server\share", listed to that user alone (connections are kept per user):
// EnumPrintersW lists it only for PRINTER_ENUM_CONNECTIONS, marked PRINTER_ATTRIBUTE_NETWORK
// (not LOCAL) and with pServerName "\\server". Its handles reach the server's queue: a purge, a
// SetPrinterW or a DeletePrinter through it changes or removes the server's printer.
void AddSimConnection(const SimPrinter& printer);
// Local printers and connections alike.
std::vector<SimPrinter> SimPrinters();
size_t CountSimPrinters(const std::u16string& driver);   // those on that driver
std::optional<SimPrinter> FindSimPrinter(const std::u16string& name);   // compared without case
void SetSimPrinterValue(const std::u16string& printer, const SimPrinterValue& value);

// The default printer, as the per-user setting holds it; u"" means none.
void SetSimDefaultPrinter(const std::u16string& name);
std::u16string SimDefaultPrinter();

// Printer handles opened and not closed yet.
size_t OpenPrinterHandles();

// A spooler that still has a deleted monitor's DLL loaded (a port thread or another
// component keeps it) holds the file until its service stops.
void KeepDeletedMonitorsLoaded(bool keep);

// Printer data that the driver writes into every printer AddPrinterW creates (a driver's
// printer-event handler may do so).
void SetDriverWrittenData(const std::vector<SimPrinterValue>& values);

// --- Wine's answers ------------------------------------------------------------------------
// By default the spooler answers as Windows does. Each knob switches one call to what Wine 8's
// spooler answers instead, for tests of how the installer copes there.
// DeletePrinterDriverExW: any non-zero delete flag fails with ERROR_INVALID_PARAMETER; flag 0
// removes the driver even while printers use it and leaves its files.
void SetWineDriverDeletion(bool wine);
// AddPrinterW: a null pDatatype fails with ERROR_INVALID_PRINTER_NAME (Windows: "RAW").
void SetWineNullDatatype(bool wine);
// SetPrinterW level 0 with PRINTER_CONTROL_PURGE fails with ERROR_INVALID_LEVEL.
void SetWinePurge(bool wine);

}  // namespace winsim
