#include "flows/install_flows.h"

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

// Every pending deletion of an existing file that the system holds for its next start is
// carried out now, whoever registered it.
void HonourPendingDeletes() {
  PendingRenameTable table = ReadPendingRenames();
  ClearPendingDeletes(table);
  FreePendingRenames(table);
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

}  // namespace

void UnInstall(InstallContext& context) {
  LogLine(context, W(">UnInstall"));
  context.Depth++;
  StopAndRemoveTray();
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
  context.CheckMonitorVersion = 1;
  UnInstall(context);
  ClearingRestart(context);
  HonourPendingDeletes();
  if (context.InstallMonitor) InstallPortMonitor(context);
  InstallPrinterDriver(context);
  RestorePrinters(context);
  RegisterAndStartTray(context);
  ClosingRetry(context);
  context.Depth -= 2;
}

void UnInstallAndCleanUp(InstallContext& context) {
  UnInstall(context);
  HonourPendingDeletes();
  ClosingRetry(context);
}

bool UninstallCommand(HWND parent, int* scheduledCount) {
  InstallContext context;
  InitContext(context, UseX64Files);
  UnInstallAndCleanUp(context);
  *scheduledCount = ScheduleDeletesAtReboot(context);
  ShowLogWindowWhenNeeded(context, parent);
  bool errors = context.ErrorCount > 0;
  FreeContext(context);
  return errors;
}
