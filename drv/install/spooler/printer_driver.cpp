#include "spooler/printer_driver.h"

#include "app/install_context.h"
#include "app/install_log.h"
#include "system/deferred_delete.h"
#include "system/file_copy.h"
#include "system/spooler_service.h"

namespace {

const DWORD kDriverVersion = 3;
const WCHAR kMaker[] = W("Corvane");
const WCHAR kMakerUrl[] = W("https://www.corvane.com/");

// Full paths of the three files staged in the driver directory, as the copies handed them back.
struct StagedFiles {
  WCHAR driver[kCopyOutPathChars];
  WCHAR config[kCopyOutPathChars];
  WCHAR help[kCopyOutPathChars];
};

// Stages the driver, its configuration module and its help file. Without the first two there is
// no driver to add; without the help file the driver goes without one.
bool StageDriverFiles(InstallContext& context, StagedFiles& staged) {
  const WCHAR* directory = Chars(context.DriverDir);
  if (CopyToDirectory(context, directory, context.DriverFile, staged.driver, true) != 0) return false;
  if (CopyToDirectory(context, directory, context.UiFile, staged.config, true) != 0) return false;
  if (CopyToDirectory(context, directory, context.HelpFile, staged.help, true) != 0) staged.help[0] = 0;
  return true;
}

// The driver file serves as its own data file.
void DescribeDriver(const InstallContext& context, StagedFiles& staged, DRIVER_INFO_6W& info) {
  BYTE* bytes = reinterpret_cast<BYTE*>(&info);
  for (size_t i = 0; i < sizeof(info); i++) bytes[i] = 0;
  info.cVersion = kDriverVersion;
  info.pName = const_cast<WCHAR*>(kOwnDriverName);
  info.pEnvironment = const_cast<WCHAR*>(context.Environment);
  info.pDriverPath = staged.driver;
  info.pDataFile = staged.driver;
  info.pConfigFile = staged.config;
  info.pHelpFile = staged.help;
  info.pszMfgName = const_cast<WCHAR*>(kMaker);
  info.pszOEMUrl = const_cast<WCHAR*>(kMakerUrl);
  info.pszProvider = const_cast<WCHAR*>(kMaker);
}

void AddOwnDriver(InstallContext& context, StagedFiles& staged) {
  DRIVER_INFO_6W info;
  DescribeDriver(context, staged, info);
  if (AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES))
    LogLine(context, W("OK :)"));
  else
    ReportError(context, 13);
}

// The spooler has taken its own copies; ours go now, or later when something still holds them.
// A path that was never filled in names no staged file and is not touched.
void DeleteStagedCopy(InstallContext& context, const WCHAR* path) {
  if (path[0] != 0 && !DeleteFileW(path)) AddDeferredDelete(context.DeferredDeletes, path);
}

void LogDriverList(InstallContext& context, const DriverList& drivers) {
  if (drivers.count == 0 || drivers.buffer == nullptr) {
    LogLine(context, W("BTW, there is no printer drivers on this system."));
    return;
  }
  LogLine(context, W("------------ %d existing drivers-----------"), static_cast<int32_t>(drivers.count));
  const auto* entries = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer);
  for (DWORD i = 0; i < drivers.count; i++) {
    const WCHAR* name = entries[i].pName;
    LogLine(context, W("%d. %s"), static_cast<int32_t>(i + 1), name != nullptr ? name : W("***EMPTY***"));
  }
  LogLine(context, W("-------------------------------------------"));
}

// One attempt to delete the driver with its files. A spooler that cannot delete driver files
// (Wine's) refuses the request with ERROR_INVALID_PARAMETER, which Windows never gives here; the
// driver itself is then deleted alone and its files stay.
bool DeleteOwnDriver(InstallContext& context) {
  WCHAR* environment = const_cast<WCHAR*>(context.Environment);
  WCHAR* name = const_cast<WCHAR*>(kOwnDriverName);
  if (DeletePrinterDriverExW(nullptr, environment, name, DPD_DELETE_ALL_FILES, 0)) return true;
  if (GetLastError() != ERROR_INVALID_PARAMETER) return false;
  if (!DeletePrinterDriverExW(nullptr, environment, name, 0, 0)) return false;
  LogLine(context, W("DeletePrinterDriverEx: the driver files stay"));
  return true;
}

// A spooler that still holds the driver lets go of it when it starts afresh.
bool DeleteOwnDriverWithRestart(InstallContext& context) {
  if (DeleteOwnDriver(context)) return true;
  LogLine(context, W("Can't delete driver. Trying to restart spooler"));
  SpoolerRestart restart;
  RestartSpooler(restart, &context);
  FinishSpoolerRestart(restart);
  if (DeleteOwnDriver(context)) return true;
  ReportError(context, 14);
  return false;
}

// A printer connection on the product's driver uses the copy installed here for as long as it
// lives: Windows refuses to delete it (3001), and restarting the spooler changes nothing.
bool ConnectionUsesOwnDriver(const InstallContext& context) {
  for (DWORD i = 0; i < context.Printers.count; i++) {
    const PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    if (IsPrinterConnection(*entry) && TextEquals(entry->pDriverName, kOwnDriverName)) return true;
  }
  return false;
}

}  // namespace

void InstallPrinterDriver(InstallContext& context) {
  LogLine(context, W(">Add Printer Driver"));
  context.Depth++;
  StagedFiles staged = {};
  if (Length(context.DriverDir) == 0) {
    // Bare file names would stage into the current directory, which is usually the installer's
    // own: the copies could overwrite the sources, and the clean-up would delete them.
    LogLine(context, W("The printer driver directory is unknown, nothing is staged"));
    SetLastError(ERROR_PATH_NOT_FOUND);
    ReportError(context, 13);
  } else if (StageDriverFiles(context, staged)) {
    AddOwnDriver(context, staged);
    DeleteStagedCopy(context, staged.driver);
    DeleteStagedCopy(context, staged.config);
    DeleteStagedCopy(context, staged.help);
  }
  context.Depth--;
}

void RemovePrinterDriver(InstallContext& context, const DriverList& drivers) {
  LogLine(context, W(">DeletePrinterDriver for %s"), context.Environment);
  context.Depth++;
  LogDriverList(context, drivers);
  int32_t index = FindOwnDriver(drivers);
  if (index < 0) {
    LogLine(context, W("No Orvandelle driver was found"));
  } else {
    LogLine(context, W("Driver is found. Index=%d"), index + 1);
    if (ConnectionUsesOwnDriver(context))
      LogLine(context, W("The driver stays: printer connections use it"));
    else if (DeleteOwnDriverWithRestart(context))
      LogLine(context, W("OK :)"));
  }
  context.Depth--;
}
