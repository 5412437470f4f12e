#include "flows/install_flows.h"

#include "app/command_lock.h"
#include "app/install_context.h"
#include "app/install_log.h"
#include "spooler/port_monitor.h"
#include "spooler/printer_driver.h"
#include "spooler/printers.h"
#include "spooler/spooler_queries.h"
#include "system/deferred_delete.h"
#include "system/pending_renames.h"
#include "system/spooler_service.h"
#include "tray/tray_control.h"

namespace {

// The most files an install leaves in use: the monitor DLL, the tray program, and the driver's
// driver, data, configuration and help files.
const int kMaxFilesInUse = 6;

// A pending deletion that stays listed deletes its file at the next restart: the machine needs
// attention before then.
void ReportPendingListKept(InstallContext& context, LONG status, const WCHAR* line) {
  LogLine(context, line);
  SetLastError(static_cast<DWORD>(status));
  ReportError(context, 18);
}

// Every pending deletion of an existing file that the system holds for its next start is
// carried out now, whoever registered it, and leaves the list.
void HonourPendingDeletes(InstallContext& context) {
  PendingRenameTable table = ReadPendingRenames();
  LONG status = ClearPendingDeletes(table);
  FreePendingRenames(table);
  if (status != ERROR_SUCCESS)
    ReportPendingListKept(context, status, W("PendingFileRenameOperations still lists the deletions carried out now"));
}

// The files the install leaves in use must survive the next restart: no pending deletion of
// them stays listed, whoever registered it (an earlier uninstall whose file was held, say).
// Before the pending deletions are honoured this also keeps them from deleting a monitor DLL
// that the version gate kept, or the tray program a repair starts again.
void KeepFilesInUse(InstallContext& context, const WideText& tray) {
  const WCHAR* files[kMaxFilesInUse] = {};
  int32_t count = 0;
  WideText monitor = {nullptr};
  if (Length(context.SystemDir) != 0 && TextLength(context.MonitorFile) != 0) {
    AssignText(monitor, context.SystemDir);
    Append(monitor, context.MonitorFile);
    files[count++] = Chars(monitor);
  }
  if (Length(tray) != 0) files[count++] = Chars(tray);
  DriverList drivers;
  EnumDriverList(drivers, context.Environment);
  int32_t own = FindOwnDriver(drivers);
  if (own >= 0) {
    const DRIVER_INFO_6W& driver = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer)[own];
    const WCHAR* driverFiles[] = {driver.pDriverPath, driver.pDataFile, driver.pConfigFile, driver.pHelpFile};
    for (const WCHAR* file : driverFiles)
      if (TextLength(file) != 0) files[count++] = file;
  }
  LONG status = DropPendingDeletes(files, count);
  FreeDriverList(drivers);
  ReleaseText(monitor);
  if (status != ERROR_SUCCESS)
    ReportPendingListKept(context, status, W("PendingFileRenameOperations still deletes files this install leaves in place"));
}

// Files still held after the run: one plain retry, then one with the spooler stopped.
void ClosingRetry(InstallContext& context) {
  if (context.DeferredDeletes == nullptr) return;
  RetryDeferredDeletes(context);
  if (context.DeferredDeletes == nullptr) return;
  SpoolerRestart restart{};
  RestartSpooler(restart, &context);
  RetryDeferredDeletes(context);
  FinishSpoolerRestart(restart);
}

// Before anything new is installed, files that the spooler held are given one more chance
// with the spooler stopped; whatever still resists is forgotten, since the new copies go to
// the same paths and must not be deleted at the next restart.
void ClearingRestart(InstallContext& context) {
  if (context.DeferredDeletes == nullptr) return;
  SpoolerRestart restart{};
  RestartSpooler(restart, &context);
  RetryDeferredDeletes(context);
  ClearDeferredDeletes(context.DeferredDeletes);
  FinishSpoolerRestart(restart);
}

// An install that cannot copy a component has already deleted the printers, the driver and
// the monitor it was to put back; so before the first change each component it copies must be
// in the installer's folder and open for reading, as the copy opens it. The monitor file is
// required even where the version gate may keep the installed one: that is known only later.
bool ComponentsReadable(InstallContext& context) {
  const WCHAR* const files[] = {context.MonitorFile, context.DriverFile, context.UiFile, context.HelpFile};
  bool readable = true;
  for (const WCHAR* file : files) {
    WideText path = {nullptr};
    Assign(path, Chars(context.ModuleDir));
    Append(path, file);
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (Length(path) == Length(context.ModuleDir) + TextLength(file))
      opened = CreateFileW(Chars(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    else
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (opened == INVALID_HANDLE_VALUE) {
      ReportError(context, 20, Length(path) != 0 ? Chars(path) : file);
      readable = false;
    } else {
      CloseHandle(opened);
    }
    ReleaseText(path);
  }
  return readable;
}

}  // namespace

void UnInstall(InstallContext& context, const WCHAR* trayToKeep) {
  LogLine(context, W(">UnInstall"));
  context.Depth++;
  StopTrayKeepingFile(trayToKeep, &context.DeferredDeletes);
  MonitorList monitors;
  LogLine(context, W("EnumMonitors"));
  EnumMonitorList(monitors, context);
  LogLine(context, W("%d Monitors found."), static_cast<int32_t>(monitors.count));
  DriverList drivers;
  LogLine(context, W("EnumPrinterDrivers for %s"), context.Environment);
  EnumDriverList(drivers, context.Environment);
  LogLine(context, W("%d drivers found"), static_cast<int32_t>(drivers.count));
  DeleteAllPrinters(context);
  RemovePrinterDriver(context, drivers);
  RemovePortMonitor(context, monitors);
  if (context.DeferredDeletes != nullptr) RetryDeferredDeletes(context);
  FreeDriverList(drivers);
  FreeMonitorList(monitors);
  context.Depth--;
}

void ReInstall(InstallContext& context) {
  LogLine(context, W(">ReInstall"));
  context.Depth += 2;
  if (!ComponentsReadable(context)) {
    context.Depth -= 2;
    return;
  }
  context.CheckMonitorVersion = 1;
  // Nothing changes unless every printer about to be deleted is written down first.
  if (!RecordPrintersToCarry(context)) {
    context.Depth -= 2;
    return;
  }
  WideText tray = TrayPathToRegister(context);
  UnInstall(context, Length(tray) != 0 ? Chars(tray) : nullptr);
  ClearingRestart(context);
  KeepFilesInUse(context, tray);
  HonourPendingDeletes(context);
  if (context.InstallMonitor) InstallPortMonitor(context);
  InstallPrinterDriver(context);
  RestorePrinters(context);
  RegisterAndStartTray(context);
  ClosingRetry(context);
  KeepFilesInUse(context, tray);
  ReleaseText(tray);
  context.Depth -= 2;
}

void UnInstallAndCleanUp(InstallContext& context) {
  UnInstall(context);
  ForgetCarriedPrinters(context);
  HonourPendingDeletes(context);
  ClosingRetry(context);
}

bool UninstallCommand(HWND parent, int* scheduledCount) {
  InstallContext context;
  InitContext(context, UseX64Files);
  UnInstallAndCleanUp(context);
  *scheduledCount = ScheduleDeletesAtReboot(context);
  ReleaseCommandLock();
  ShowLogWindowWhenNeeded(context, parent);
  bool errors = context.ErrorCount > 0;
  FreeContext(context);
  return errors;
}
