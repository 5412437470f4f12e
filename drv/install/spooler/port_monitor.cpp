#include "spooler/port_monitor.h"

#include "app/install_context.h"
#include "app/install_log.h"
#include "system/deferred_delete.h"
#include "system/file_copy.h"
#include "system/pending_renames.h"
#include "system/spooler_service.h"

namespace {

// Monitor builds above this one, up to the installer's own, are kept during a reinstall.
const int32_t kNewestReplacedMonitorBuild = 2450;
const int kAddMonitorAttempts = 5;
const DWORD kAddMonitorPause = 50;

// The port printers wait on while the product's monitor is away. "Orvandelle:" is 11
// characters, "file:" 5; a parked port list is 6 characters shorter.
const WCHAR kParkingPort[] = W("file:");
const uint64_t kOwnPortLength = 11;
const uint64_t kParkingPortLength = 5;
const uint64_t kPortLengthChange = kOwnPortLength - kParkingPortLength;

// The first occurrence of `name` in `text` (case-sensitive), or null.
WCHAR* FindName(WCHAR* text, const WCHAR* name, uint64_t nameLength) {
  if (text == nullptr) return nullptr;
  for (; *text != 0; text++) {
    uint64_t i = 0;
    while (i < nameLength && text[i] == name[i]) i++;
    if (i == nameLength) return text;
  }
  return nullptr;
}

// "Orvandelle:" at `at` becomes "file:"; the rest of the list, terminator included, follows it.
void ShrinkPort(WCHAR* at) {
  for (uint64_t i = 0; i < kParkingPortLength; i++) at[i] = kParkingPort[i];
  WCHAR* to = at + kParkingPortLength;
  const WCHAR* from = at + kOwnPortLength;
  do {
    *to++ = *from;
  } while (*from++ != 0);
}

// The reverse of ShrinkPort: "file:" at `at` becomes "Orvandelle:". Only a string that was
// shrunk is grown, so it ends exactly where it ended before and stays in its storage.
void GrowPort(WCHAR* at) {
  WCHAR* end = at + kParkingPortLength;
  while (*end != 0) end++;
  for (WCHAR* from = end; from >= at + kParkingPortLength; from--) from[kPortLengthChange] = *from;
  for (uint64_t i = 0; i < kOwnPortLength; i++) at[i] = kOwnMonitorName[i];
}

// Writes the whole snapshot entry, new port and all other settings, back to its printer.
void HandBackToSpooler(InstallContext& context, PRINTER_INFO_2W* entry) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(entry->pPrinterName, &printer, &defaults)) {
    LogLine(context, W("Can't open printer %s"), entry->pPrinterName);
    return;
  }
  if (SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(entry), 0))
    LogLine(context, W("SetPrinter(%s) - ok"), entry->pPrinterName);
  else
    LogLine(context, W("SetPrinter(%s) - failed"), entry->pPrinterName);
  ClosePrinter(printer);
}

// Moves every printer on the product's port to "file:", so that the spooler no longer sees the
// monitor in use, and remembers them in ParkedPrinters for RestorePrinterPorts.
void ParkPrinterPorts(InstallContext& context) {
  if (context.ParkedPrinters != nullptr) GlobalFree(context.ParkedPrinters);
  context.ParkedPrinters = nullptr;
  DWORD count = context.Printers.count;
  if (count == 0) return;
  auto** parked = static_cast<PRINTER_INFO_2W**>(AllocateZeroed((count + 1) * sizeof(PRINTER_INFO_2W*)));
  if (parked == nullptr) {
    // A printer parked without a note could never be moved back: park none.
    LogLine(context, W("Not enough memory to park the printers"));
    return;
  }
  DWORD n = 0;
  for (DWORD i = 0; i < count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    WCHAR* port = FindName(entry->pPortName, kOwnMonitorName, kOwnPortLength);
    if (port == nullptr || IsPrinterConnection(*entry)) continue;
    parked[n++] = entry;
    ShrinkPort(port);
    HandBackToSpooler(context, entry);
  }
  parked[n] = nullptr;
  context.ParkedPrinters = parked;
}

// Moves the parked printers back to the product's port. Each is grown once: the block is
// marked empty afterwards, though kept until the next parking or FreeContext.
void RestorePrinterPorts(InstallContext& context) {
  if (context.ParkedPrinters == nullptr || context.ParkedPrinters[0] == nullptr) return;
  for (PRINTER_INFO_2W** parked = context.ParkedPrinters; *parked != nullptr; parked++) {
    WCHAR* port = FindName((*parked)->pPortName, kParkingPort, kParkingPortLength);
    if (port == nullptr) continue;
    GrowPort(port);
    HandBackToSpooler(context, *parked);
  }
  context.ParkedPrinters[0] = nullptr;
}

const MONITOR_INFO_2W* MonitorEntry(const MonitorList& monitors, int32_t index) {
  return reinterpret_cast<const MONITOR_INFO_2W*>(monitors.buffer) + index;
}

// The monitor DLL's full path. Empty text when no file name or no system directory is known:
// the path would then name the system directory itself, or a file in the current directory.
WideText MonitorFilePath(InstallContext& context, const MonitorList& monitors, int32_t index) {
  const WCHAR* name = nullptr;
  if (monitors.count > 0 && index >= 0) {
    LogLine(context, W("Trying to get monitor filename from MONITOR_INFO_2"));
    name = MonitorEntry(monitors, index)->pDLLName;
  } else {
    LogLine(context, W("Computing monitor filename"));
    name = context.MonitorFile;
  }
  WideText path = {nullptr};
  if (TextLength(name) == 0 || Length(context.SystemDir) == 0) return path;
  AssignText(path, context.SystemDir);
  Append(path, name);
  // Out of memory: a cut path would name another file.
  if (Length(path) != Length(context.SystemDir) + TextLength(name)) ReleaseText(path);
  return path;
}

// During a reinstall a monitor DLL of a compatible build stays: registered, it is neither
// removed nor added again; only on disk, it is registered later without being copied.
bool KeepCompatibleMonitor(InstallContext& context, const WideText& path, bool registered) {
  if (!context.CheckMonitorVersion) {
    LogLine(context, W("There is no check for monitor version"));
    return false;
  }
  int32_t build = Length(path) != 0 ? GetFileBuild(Chars(path)) : -1;
  if (build > kNewestReplacedMonitorBuild && build <= kInstallerBuild) {
    LogLine(context, W("Version (%d) is compatible, proceed without uninstall"), build);
    if (registered)
      context.InstallMonitor = 0;
    else
      context.CopyMonitor = 0;
    LogLine(context, W("InstallMonitor == %d, CopyMonitor == %d"), context.InstallMonitor ? 1 : 0,
            context.CopyMonitor ? 1 : 0);
    return true;
  }
  if (build < 0)
    LogLine(context, W("Version is unknown, proceed with reinstall"));
  else
    LogLine(context, W("Version (%d) is not supported, proceed with reinstall"), build);
  return false;
}

// Delete; park the printers that use the port and delete again; restart the spooler and delete
// a last time. True when the monitor is gone.
bool DeleteMonitorInSteps(InstallContext& context, bool registered) {
  if (DeleteOwnMonitor(context.Environment)) return true;
  if (!registered) {
    LogLine(context, W("Can't delete monitor and monitor was not found. So everything should be ok"));
    return false;
  }
  LogLine(context, W("Can't delete monitor from the first try"));
  ParkPrinterPorts(context);
  if (DeleteOwnMonitor(context.Environment)) return true;
  SpoolerRestart restart;
  RestartSpooler(restart, &context);
  FinishSpoolerRestart(restart);
  if (DeleteOwnMonitor(context.Environment)) return true;
  ReportError(context, 12);
  return false;
}

// A DLL still loaded somewhere is retried later, and at the latest deleted at the next start.
void DeleteMonitorFile(InstallContext& context, const WideText& path) {
  if (Length(path) == 0)
    LogLine(context, W("The monitor file is unknown, no file is deleted"));
  else if (!DeleteFileW(Chars(path)))
    AddDeferredDelete(context.DeferredDeletes, Chars(path));
  LogLine(context, W("Monitor was removed :)"));
}

// Copies the monitor DLL into the system directory. A copy held by the spooler cannot be
// overwritten while it runs, so the second try, with failures reported, has it stopped.
void CopyMonitorFile(InstallContext& context) {
  if (!context.CopyMonitor) {
    LogLine(context, W("Skip copy monitor file"));
    return;
  }
  LogLine(context, W("Copy monitor file"));
  const WCHAR* systemDir = Chars(context.SystemDir);
  if (CopyToDirectory(context, systemDir, context.MonitorFile, nullptr, false) == 0) return;
  SpoolerRestart restart;
  RestartSpooler(restart, &context);
  CopyToDirectory(context, systemDir, context.MonitorFile, nullptr, true);
  FinishSpoolerRestart(restart);
}

// A spooler that has just started may not take the monitor at once: up to five attempts.
bool AddOwnMonitor(InstallContext& context) {
  MONITOR_INFO_2W info = {const_cast<WCHAR*>(kOwnMonitorName), const_cast<WCHAR*>(context.Environment),
                          const_cast<WCHAR*>(context.MonitorFile)};
  DWORD error = 0;
  for (int attempt = 0; attempt < kAddMonitorAttempts; attempt++) {
    if (attempt > 0) Sleep(kAddMonitorPause);
    if (AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))) return true;
    error = GetLastError();
    LogLine(context, W("AddMonitor - failed. Trying to wait and install again"));
  }
  SetLastError(error);  // the error line describes the last refusal
  ReportError(context, 11);
  return false;
}

}  // namespace

void RemovePortMonitor(InstallContext& context, const MonitorList& monitors) {
  LogLine(context, W(">DeleteMonitor"));
  context.Depth++;
  if (monitors.count > 0)
    LogMonitorList(context, monitors);
  else
    LogLine(context, W("BTW, there is no port monitors on this system."));
  int32_t index = FindOwnMonitor(monitors);
  if (index < 0)
    LogLine(context, W("No Orvandelle port monitor was found."));
  else
    LogLine(context, W("Port monitor is found. Index=%d"), index + 1);
  WideText path = MonitorFilePath(context, monitors, index);
  LogLine(context, W("Auto calculated monitor file name: %s"), Chars(path));
  bool registered = index >= 0;
  if (!KeepCompatibleMonitor(context, path, registered) && DeleteMonitorInSteps(context, registered))
    DeleteMonitorFile(context, path);
  ReleaseText(path);
  context.Depth--;
}

void InstallPortMonitor(InstallContext& context) {
  LogLine(context, W(">AddMonitor"));
  context.Depth++;
  CopyMonitorFile(context);
  if (AddOwnMonitor(context)) {
    LogLine(context, W("AddMonitor - OK :)"));
    RestorePrinterPorts(context);
  }
  context.Depth--;
}

BOOL DeleteOwnMonitor(const WCHAR* environment) {
  return DeleteMonitorW(nullptr, const_cast<WCHAR*>(environment), const_cast<WCHAR*>(kOwnMonitorName));
}
