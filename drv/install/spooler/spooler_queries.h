// The spooler's monitors, drivers and printers, each asked for in two calls (size, then data).
#pragma once

#include "platform.h"

struct InstallContext;

// Each list is one owned block laid out as the spooler returns it (entries, then their
// strings), or no block and a count of 0.
struct MonitorList {
  BYTE* buffer;
  DWORD level;
  DWORD count;
};

struct DriverList {
  BYTE* buffer;
  DWORD level;
  DWORD count;
};

struct PrinterSnapshot {
  BYTE* buffer;  // PRINTER_INFO_2W entries
  DWORD count;
};

// One printer's PRINTER_INFO_2W with its strings, and the size the spooler asked for.
struct PrinterInfo2 {
  BYTE* buffer;
  DWORD size;
};

// The names the installer looks for among the spooler's objects.
extern const WCHAR kOwnMonitorName[];  // "Orvandelle:"
extern const WCHAR kOwnDriverName[];   // "Orvandelle printer"

// Monitors at level 2; writes a line to the log on every way out but plain success.
void EnumMonitorList(MonitorList& list, InstallContext& context);
// Index of the product's monitor (name compared exactly), or -1.
int32_t FindOwnMonitor(const MonitorList& list);
// The numbered list of monitor names, framed by two dashed lines.
void LogMonitorList(InstallContext& context, const MonitorList& list);
void FreeMonitorList(MonitorList& list);

// Drivers of `environment` at level 6.
void EnumDriverList(DriverList& list, const WCHAR* environment);
// Index of the product's driver (name compared exactly), or -1.
int32_t FindOwnDriver(const DriverList& list);
void FreeDriverList(DriverList& list);

// Local printers and connections at level 2, in a block 32 bytes larger than the spooler asked
// for. Releases what the snapshot held before.
void SnapshotPrinters(PrinterSnapshot& snapshot);
void FreePrinterSnapshot(PrinterSnapshot& snapshot);
PRINTER_INFO_2W* SnapshotEntry(const PrinterSnapshot& snapshot, DWORD index);
// A connection to a printer shared by a print server ("\\server\share"): the server's queue, not
// the product's own, so never purged, deleted, parked or re-created here.
bool IsPrinterConnection(const PRINTER_INFO_2W& entry);
// A printer on the product's driver that is not a connection: one the install deals with.
bool IsOwnLocalPrinter(const PRINTER_INFO_2W& entry);
// The snapshot's own local printer named `name`, or null.
PRINTER_INFO_2W* OwnPrinterNamed(const PrinterSnapshot& snapshot, const WCHAR* name);
// Takes the context's snapshot and sets PRINTER_ATTRIBUTE_DEFAULT on the default printer's
// entries. A run in session 0 (a deployment tool's SYSTEM account, whose own default printer no
// person uses) also notes each logged-on user whose default printer is a local product printer.
void MarkDefaultPrinter(InstallContext& context);

// The users whose hives are loaded: true and the next one's SID ("S-1-5-21-..."), starting at
// `index` 0, until there is none.
const DWORD kUserSidChars = 184;
bool NextUserHive(DWORD& index, char* sid);
// Whether this process runs in session 0, the services' (false when that cannot be read).
bool InServicesSession();
// `first` and `second` joined into `to`, which holds `capacity` bytes; cut to fit.
void JoinAnsi(char* to, DWORD capacity, const char* first, const char* second);
// Where a user's default printer is kept ("Device", "NAME,winspool,PORT"), below the user's hive.
extern const char kUserWindowsKey[];
extern const WCHAR kUserDeviceValue[];
const DWORD kUserKeyPathChars = kUserSidChars + 64;

// Level 2 of an open printer, and its driver's level 2; the caller releases the buffer with
// GlobalFree. Nothing (a null buffer) when the spooler did not answer.
void GetPrinterInfo2(PrinterInfo2& info, HANDLE printer);
BYTE* GetDriverInfo2(HANDLE printer);
// Closes a printer handle that the start-up checks opened; the result is ClosePrinter's, and a
// failure is not logged.
BOOL ClosePrinterHandle(HANDLE printer);
