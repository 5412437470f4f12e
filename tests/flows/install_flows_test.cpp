// Whole commands from command line to exit code, each on a described machine, checking the log
// the window shows and what the machine holds afterwards.
#include "flows/install_flows.h"

#include <algorithm>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {


class InstallFlowsTest : public ProductMachineTest {
 protected:
  static int32_t Run(const std::u16string& word) { return RunInstaller(word); }

  // Runs a command with Shift held, so that the log window shows the whole log.
  static int32_t RunShowingLog(const std::u16string& word) {
    winsim::SetShiftHeld(true);
    int32_t code = Run(word);
    winsim::SetShiftHeld(false);
    return code;
  }

  static bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  static bool DriverInstalled() {
    for (const auto& driver : winsim::SimDrivers())
      if (driver.name == kProductDriver) return true;
    return false;
  }

  static std::string KeyOf(const std::u16string& printer, const std::string& dataKey) {
    auto value = winsim::SimPrinterValueOf(printer, dataKey, "SubKey");
    return value ? std::string(value->data.begin(), value->data.end()) : "(none)";
  }
};

const Lines kInstallOnEmptyMachineLog = {
    "Orvandelle 2547",
    ">Check Spooler",
    "PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\drivers\\x64",
    "PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\drivers\\x64\\",
    ">>0010",
    ">ReInstall",
    "    >UnInstall",
    "      EnumMonitors",
    "      1 Monitors found.",
    "      EnumPrinterDrivers for Windows x64",
    "      0 drivers found",
    "      >DeleteAllPrinters",
    "      >DeletePrinterDriver for Windows x64",
    "        BTW, there is no printer drivers on this system.",
    "        No Orvandelle driver was found",
    "      >DeleteMonitor",
    "        ------- 1 existing monitors ----------",
    "        1. Local Port",
    "        ---------------------------------------",
    "        No Orvandelle port monitor was found.",
    "        Computing monitor filename",
    "        Auto calculated monitor file name: C:\\Windows\\system32\\zelmon64.dll",
    "        Version is unknown, proceed with reinstall",
    "        Can't delete monitor and monitor was not found. So everything should be ok",
    "    >AddMonitor",
    "      Copy monitor file",
    "      >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [0])",
    "        Copy Succeeded :)",
    "      AddMonitor - OK :)",
    "    >Add Printer Driver",
    "      >CopyFile zeldrv64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      >CopyFile zelui64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      >CopyFile zelhelp.chm to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      OK :)",
    "    >AddPrinter(Orvandelle)",
    "      Let's check our port monitors",
    "      Port monitor is found",
    "      OK :)",
};

TEST_F(InstallFlowsTest, InstallOnAMachineWithoutTheProduct) {
  EXPECT_EQ(RunShowingLog(u"install"), 1);
  EXPECT_EQ(ShownLogLines(), kInstallOnEmptyMachineLog);
  EXPECT_TRUE(OwnMonitorRegistered());
  EXPECT_EQ(winsim::FileContents(std::u16string(kSystemDir) + u"zelmon64.dll"), ComponentContents(u"zelmon64.dll", 2547));
  ASSERT_TRUE(DriverInstalled());
  EXPECT_EQ(winsim::SimDrivers()[0].driverPath, std::u16string(kDriverDir) + u"3\\zeldrv64.dll");
  EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverDir) + u"zeldrv64.dll")) << "staged copy removed";
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"Orvandelle"}));
  auto printer = winsim::FindSimPrinter(u"Orvandelle");
  ASSERT_TRUE(printer.has_value());
  EXPECT_EQ(printer->portName, u"Orvandelle:");
  EXPECT_EQ(printer->driverName, kProductDriver);
  EXPECT_EQ(TrayRunValue(), kTrayPath);
  ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
  EXPECT_EQ(winsim::ProcessStarts()[0].commandLine, u"\"C:\\Product\\orvtray.exe\"");
  EXPECT_EQ(winsim::CountCalls("ControlService"), 0u) << "no spooler restart";
  EXPECT_TRUE(PendingRenameStrings().empty());
}

TEST_F(InstallFlowsTest, ReinstallKeepsTheUsersPrintersSettingsAndDefault) {
  ASSERT_EQ(Run(u"install"), 1);
  AddProductPrinter(u"A", "Orvandelles-A");
  AddProductPrinter(u"B", "Orvandelles-B");
  AddProductPrinter(u"C", "Orvandelles-C");
  winsim::SimDriver other;
  other.name = u"Other driver";
  winsim::AddSimDriver(other);
  winsim::SimPrinter office = PrinterOn(u"Office", u"Other driver", u"LPT1:");
  office.comment = u"the office printer";
  winsim::AddSimPrinter(office);
  winsim::SetSimDefaultPrinter(u"B");
  winsim::ClearCalls();

  EXPECT_EQ(Run(u"install"), 1);
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"A", u"B", u"C", u"Office"}))
      << "the first install's Orvandelle had no settings key and is not carried over";
  for (const char16_t* name : {u"A", u"B", u"C"}) {
    auto printer = winsim::FindSimPrinter(name);
    ASSERT_TRUE(printer.has_value());
    EXPECT_EQ(printer->comment, std::u16string(u"comment of ") + name);
    EXPECT_EQ(printer->location, std::u16string(u"room of ") + name);
    EXPECT_EQ(printer->portName, u"Orvandelle:");
    std::string key = "Orvandelles-" + winsim::Utf8(name) + std::string(1, '\0');
    EXPECT_EQ(KeyOf(name, winsim::kPlainPrinterDataKey), key);
    EXPECT_EQ(KeyOf(name, "DsUser"), key);
  }
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"B");
  EXPECT_EQ(winsim::FindSimPrinter(u"Office").value_or(winsim::SimPrinter()).comment, u"the office printer");
  for (const auto& call : winsim::CallsOf("OpenPrinterW")) EXPECT_NE(call.args[0], "Office");
  Lines added;
  for (const auto& call : winsim::CallsOf("AddPrinterW")) added.push_back(call.args[2]);
  EXPECT_EQ(added, (Lines{"C", "B", "A"})) << "newest first";
}

TEST_F(InstallFlowsTest, ReinstallLeavesACompatibleRegisteredMonitorAlone) {
  ASSERT_EQ(Run(u"install"), 1);
  winsim::ClearCalls();
  EXPECT_EQ(RunShowingLog(u"install"), 1);
  Lines log = ShownLogLines();
  EXPECT_TRUE(Contains(log, "        InstallMonitor == 0, CopyMonitor == 1"));
  EXPECT_FALSE(Contains(log, "    >AddMonitor"));
  EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 0u);
  EXPECT_EQ(winsim::CountCalls("AddMonitorW"), 0u);
  EXPECT_TRUE(OwnMonitorRegistered());
  EXPECT_TRUE(DriverInstalled());
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"Orvandelle"}));
}

TEST_F(InstallFlowsTest, ReinstallOverAHeldOldMonitorClearsItWithOneRestart) {
  PutInstallerFiles(2450);
  ASSERT_EQ(Run(u"install"), 1);
  PutInstallerFiles(2547);
  winsim::KeepDeletedMonitorsLoaded(true);
  winsim::ClearCalls();
  EXPECT_EQ(RunShowingLog(u"install"), 1);
  Lines log = ShownLogLines();
  EXPECT_TRUE(Contains(log, "        Version (2450) is not supported, proceed with reinstall"));
  EXPECT_TRUE(Contains(log, "        Monitor was removed :)"));
  EXPECT_TRUE(Contains(log, "    >Restart Spooler"));
  EXPECT_EQ(winsim::CountCalls("ControlService"), 1u) << "one clearing restart";
  EXPECT_EQ(winsim::FileContents(std::u16string(kSystemDir) + u"zelmon64.dll"), ComponentContents(u"zelmon64.dll", 2547));
  EXPECT_TRUE(OwnMonitorRegistered());
  EXPECT_EQ(winsim::CountCalls("MoveFileExW"), 0u) << "the new monitor is never scheduled for deletion";
}

TEST_F(InstallFlowsTest, InstallWithoutTrayStopsAndRemovesItButStartsNone) {
  winsim::LaunchTrayOnStart({winsim::TrayAnswer::Quits, 300, true, u""});
  ASSERT_EQ(Run(u"install"), 1);
  ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
  int tray = winsim::ProcessStarts()[0].process;
  ASSERT_TRUE(winsim::ProcessRunning(tray));
  EXPECT_EQ(Run(u"in_notray"), 1);
  EXPECT_FALSE(winsim::ProcessRunning(tray)) << "asked to quit";
  EXPECT_EQ(winsim::ProcessStarts().size(), 1u) << "none started";
  EXPECT_EQ(TrayRunValue(), u"(none)");
  EXPECT_FALSE(winsim::FileExists(kTrayPath));
  EXPECT_TRUE(DriverInstalled());
}

TEST_F(InstallFlowsTest, UninstallLeavesNothingOfTheProduct) {
  ASSERT_EQ(Run(u"install"), 1);
  AddProductPrinter(u"A", "Orvandelles-A");
  EXPECT_EQ(Run(u"un"), 2);
  EXPECT_FALSE(OwnMonitorRegistered());
  EXPECT_FALSE(DriverInstalled());
  EXPECT_TRUE(PrinterNames().empty());
  EXPECT_EQ(TrayRunValue(), u"(none)");
  EXPECT_FALSE(winsim::FileExists(std::u16string(kSystemDir) + u"zelmon64.dll"));
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"}) {
    EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverDir) + u"3\\" + name));
    EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverDir) + name));
  }
  EXPECT_TRUE(winsim::Dialogs().empty());
  EXPECT_TRUE(PendingRenameStrings().empty());
}

TEST_F(InstallFlowsTest, UninstallSchedulesAFileThatStaysHeld) {
  ASSERT_EQ(Run(u"install"), 1);
  std::u16string monitor = std::u16string(kSystemDir) + u"zelmon64.dll";
  winsim::HoldFile(monitor, 7);  // loaded by some other program
  EXPECT_EQ(Run(u"uninstall"), 101);
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{u"\\??\\" + monitor, u""}));
  EXPECT_EQ(winsim::CountCalls("ControlService"), 1u) << "the closing retry stops the spooler once";
  EXPECT_TRUE(winsim::Dialogs().empty());
}

TEST_F(InstallFlowsTest, UninstallWithAnErrorShowsTheLogAndWinsOverTheRestart) {
  ASSERT_EQ(Run(u"install"), 1);
  winsim::HoldFile(std::u16string(kSystemDir) + u"zelmon64.dll", 7);
  winsim::FailNext("DeletePrinterDriverExW", 2, ERROR_PRINTER_DRIVER_IN_USE);
  EXPECT_EQ(Run(u"uninstall"), 100);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install error log!");
  Lines log = ShownLogLines();
  EXPECT_TRUE(Contains(log, "    Error(14): Can`t remove the printer-driver 'Orvandelle printer' - (The specified "
                            "printer driver is currently in use.)"));
  EXPECT_EQ(PendingRenameStrings().size(), 2u) << "the held file is still scheduled";
}

TEST_F(InstallFlowsTest, UninstallWithShiftShowsTheLogAndStillSucceeds) {
  ASSERT_EQ(Run(u"install"), 1);
  EXPECT_EQ(RunShowingLog(u"un"), 2);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install log.");
  Lines log = ShownLogLines();
  EXPECT_EQ(log[4], ">UnInstall") << "no >>0010 in an uninstall, and its marker at depth 0";
  EXPECT_TRUE(Contains(log, "    There is no check for monitor version"));
  EXPECT_FALSE(Contains(log, ">>0010"));
}

TEST_F(InstallFlowsTest, EveryStepRunsAfterAnEarlierFailure) {
  winsim::RemoveFile(std::u16string(kModuleDir) + u"zeldrv64.dll");
  EXPECT_EQ(Run(u"install"), 100);
  Lines log = ShownLogLines();
  Lines errors;
  for (const std::string& line : log)
    if (line.find("Error(") != std::string::npos) errors.push_back(line);
  EXPECT_EQ(errors, (Lines{"        Error(10): Cant't open source file: zeldrv64.dll - (The system cannot find the "
                           "file specified.)",
                           "      Error(15): Can`t add printer 'Orvandelle' - (The printer driver is unknown.)"}));
  EXPECT_TRUE(OwnMonitorRegistered()) << "the monitor step ran";
  EXPECT_EQ(TrayRunValue(), kTrayPath) << "the tray step ran";
}

// The start is waited for, and the error alone opens the log window: Shift is never asked.
TEST_F(InstallFlowsTest, ASpoolerThatCannotStartFailsEachStepOnceAndLoudly) {
  winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  winsim::RefuseServiceStart(u"spooler", ERROR_SERVICE_DISABLED);
  EXPECT_EQ(Run(u"install"), 100);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install error log!");
  EXPECT_EQ(winsim::CountCalls("GetAsyncKeyState"), 0u);
  EXPECT_GE(winsim::CallsOf("DialogBoxParamW")[0].tick, 10000u);
  Lines log = ShownLogLines();
  EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
            (Lines{"Orvandelle 2547", ">Check Spooler",
                   "  Error(4): Can't start the spooler - (The service cannot be started, either because it is "
                   "disabled or because it has no enabled devices associated with it.)"}));
  EXPECT_EQ(std::count(log.begin(), log.end(), ">>0010"), 1);
  Lines codes;
  for (const std::string& line : log) {
    size_t at = line.find("Error(");
    if (at != std::string::npos) codes.push_back(line.substr(at, line.find(')', at) - at + 1));
  }
  EXPECT_EQ(codes, (Lines{"Error(4)", "Error(6)", "Error(11)", "Error(13)", "Error(15)"}))
      << "each step fails on its own, once";
  EXPECT_EQ(TrayRunValue(), kTrayPath) << "the tray is registered all the same";
  winsim::RefuseServiceStart(u"spooler", 0);
  winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
}

// Indices in the call record of the calls of `name` whose first argument is `first`.
std::vector<size_t> CallIndices(const std::string& name, const std::string& first) {
  std::vector<size_t> found;
  const auto& calls = winsim::Calls();
  for (size_t i = 0; i < calls.size(); i++)
    if (calls[i].name == name && !calls[i].args.empty() && calls[i].args[0] == first) found.push_back(i);
  return found;
}

size_t FirstCallIndex(const std::string& name) {
  const auto& calls = winsim::Calls();
  for (size_t i = 0; i < calls.size(); i++)
    if (calls[i].name == name) return i;
  return calls.size();
}

TEST_F(InstallFlowsTest, InstallAndUninstallCarryOutOtherProgramsPendingDeletions) {
  const std::u16string stale = u"C:\\Windows\\Temp\\stale.tmp";
  const std::u16string renamed = u"C:\\Windows\\Temp\\new.tmp";
  for (const char16_t* word : {u"install", u"uninstall"}) {
    winsim::PutFile(stale);
    winsim::PutFile(renamed);
    SetPendingRenames({NtPath(stale), u"", NtPath(renamed), NtPath(u"C:\\Windows\\Temp\\old.tmp")});
    EXPECT_EQ(Run(word), std::u16string(word) == u"install" ? 1 : 2);
    EXPECT_FALSE(winsim::FileExists(stale)) << winsim::Utf8(word) << ": the deletion is carried out now";
    EXPECT_TRUE(winsim::FileExists(renamed)) << winsim::Utf8(word) << ": a rename waits for the restart";
  }
}

TEST_F(InstallFlowsTest, AHeldOldMonitorIsRetriedWithTheSpoolerStoppedThenForgotten) {
  PutInstallerFiles(2450);
  ASSERT_EQ(Run(u"install"), 1);
  PutInstallerFiles(2547);
  const std::u16string monitor = std::u16string(kSystemDir) + u"zelmon64.dll";
  winsim::KeepDeletedMonitorsLoaded(true);
  winsim::ClearCalls();
  ASSERT_EQ(Run(u"install"), 1);
  // The spooler lets the deleted monitor go only while it is stopped: the retry must fall there.
  size_t stop = FirstCallIndex("ControlService");
  size_t start = FirstCallIndex("StartServiceW");
  auto deletes = CallIndices("DeleteFileW", winsim::Utf8(monitor));
  EXPECT_TRUE(std::any_of(deletes.begin(), deletes.end(), [&](size_t i) { return i > stop && i < start; }));

  // Held by another program through the restart as well: the new copy cannot be written, and the
  // path must not stay listed, or the next restart would delete whatever the product puts there.
  ASSERT_EQ(Run(u"uninstall"), 2);
  PutInstallerFiles(2450);
  ASSERT_EQ(Run(u"install"), 1);
  PutInstallerFiles(2547);
  winsim::HoldFile(monitor, 7);
  EXPECT_EQ(Run(u"install"), 100);
  EXPECT_TRUE(PendingRenameStrings().empty());
  winsim::ReleaseFile(monitor, 7);
}

TEST_F(InstallFlowsTest, AHeldFileIsRetriedByUninstallThenByTheClosingRetryPlainAndStopped) {
  ASSERT_EQ(Run(u"install"), 1);
  const std::u16string monitor = std::u16string(kSystemDir) + u"zelmon64.dll";
  winsim::HoldFile(monitor, 7);
  winsim::ClearCalls();
  EXPECT_EQ(Run(u"uninstall"), 101);
  auto deletes = CallIndices("DeleteFileW", winsim::Utf8(monitor));
  ASSERT_EQ(deletes.size(), 4u) << "removal, uninstall's retry, plain retry, retry with the spooler stopped";
  size_t stop = FirstCallIndex("ControlService");
  EXPECT_LT(deletes[2], stop);
  EXPECT_GT(deletes[3], stop);
}

TEST_F(InstallFlowsTest, InstallReports101WhenStagedCopiesStayHeld) {
  // A scanner holds every file it sees: nothing can be deleted, but everything can be written.
  winsim::FailNext("DeleteFileW", -1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run(u"install"), 101);
  winsim::ClearFaults();
  auto pending = PendingRenameStrings();
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
    EXPECT_NE(std::find(pending.begin(), pending.end(), NtPath(std::u16string(kDriverDir) + name)), pending.end());
  EXPECT_TRUE(DriverInstalled());
}

TEST_F(InstallFlowsTest, AMonitorTakenOnALaterAttemptIsInstalled) {
  winsim::FailNext("AddMonitorW", 2, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(RunShowingLog(u"install"), 1);
  Lines log = ShownLogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "      AddMonitor - failed. Trying to wait and install again"), 2);
  EXPECT_TRUE(Contains(log, "      AddMonitor - OK :)"));
  EXPECT_TRUE(OwnMonitorRegistered());
}

TEST_F(InstallFlowsTest, ADriverThatCannotBeDeletedEvenAloneGetsTheSpoolerRestart) {
  ASSERT_EQ(Run(u"install"), 1);
  winsim::SetWineDriverDeletion(true);
  // The deletion with the files is refused as not implemented; the one without them fails once.
  winsim::FailNext("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE, 1);
  winsim::ClearCalls();
  EXPECT_EQ(RunShowingLog(u"install"), 1);
  Lines log = ShownLogLines();
  EXPECT_TRUE(Contains(log, "        Can't delete driver. Trying to restart spooler"));
  EXPECT_TRUE(Contains(log, "        DeletePrinterDriverEx: the driver files stay"));
  EXPECT_EQ(winsim::CountCalls("DeletePrinterDriverExW"), 4u);
  winsim::SetWineDriverDeletion(false);
}

TEST_F(InstallFlowsTest, OrvandelleIsAddedWhenNoSavedPrinterCouldBeRecreated) {
  ASSERT_EQ(Run(u"install"), 1);
  AddProductPrinter(u"A", "Orvandelles-A");
  winsim::FailNext("AddPrinterW", 1, ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(Run(u"install"), 100);
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"Orvandelle"}));
}

TEST_F(InstallFlowsTest, DepthIsTheSameAfterEachFlow) {
  InstallContext context;
  InitContext(context, UseX64Files);
  context.Depth = 3;
  UnInstall(context);
  EXPECT_EQ(context.Depth, 3);
  ReInstall(context);
  EXPECT_EQ(context.Depth, 3);
  UnInstallAndCleanUp(context);
  EXPECT_EQ(context.Depth, 3);
  ScheduleDeletesAtReboot(context);
  FreeContext(context);
}

}  // namespace
