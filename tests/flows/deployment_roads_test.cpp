// Roads the people who deploy the product take: an install before the restart that an
// uninstall asked for, a repair over a running install, unattended runs nobody can see. Each
// plays several commands on one machine, restarts included, and checks what lasts.
#include <algorithm>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

const int kOtherProgram = 7;  // a process that keeps a product file loaded

class DeploymentRoadsTest : public ProductMachineTest {
 protected:
  static std::u16string Monitor() { return std::u16string(kSystemDir) + u"zelmon64.dll"; }

  static Lines ErrorLines(const Lines& log) {
    Lines errors;
    for (const std::string& line : log)
      if (line.find("Error(") != std::string::npos || line.find("PendingFileRenameOperations") != std::string::npos)
        errors.push_back(line);
    return errors;
  }

  // The product's monitor works after a restart: its file is there and the spooler has it loaded.
  static void ExpectMonitorAfterRestart(const std::string& road) {
    winsim::RestartMachine();
    EXPECT_EQ(winsim::FileContents(Monitor()), ComponentContents(u"zelmon64.dll", 2547)) << road;
    EXPECT_TRUE(winsim::IsHeld(Monitor())) << road << ": loaded by the spooler";
    EXPECT_TRUE(OwnMonitorRegistered()) << road;
  }

  // An uninstall while another program holds the monitor DLL leaves it for the next start.
  static void UninstallWithHeldMonitor(const std::string& road) {
    winsim::HoldFile(Monitor(), kOtherProgram);
    EXPECT_EQ(RunInstaller(u"uninstall"), 101) << road;
    std::vector<std::u16string> pending = PendingRenameStrings();
    EXPECT_NE(std::find(pending.begin(), pending.end(), NtPath(Monitor())), pending.end()) << road;
  }
};

TEST_F(DeploymentRoadsTest, AnInstallBeforeTheRestartKeepsWhatTheRestartWouldHaveDeleted) {
  ASSERT_EQ(RunInstaller(u"install"), 1);
  // Another program's rename waits for the same restart; another's deletion names a driver file.
  winsim::PutFile(u"C:\\Temp\\a.tmp", "A");
  const std::u16string driverFile = std::u16string(kDriverDir) + u"3\\zeldrv64.dll";
  const std::vector<std::u16string> rename = {NtPath(u"C:\\Temp\\a.tmp"), u"!" + NtPath(u"C:\\Temp\\b.tmp")};
  SetPendingRenames({rename[0], rename[1], NtPath(driverFile), u""});

  // 1. The outer setup asks onInit once the hold has ended: it carries the deletion out.
  UninstallWithHeldMonitor("onInit road");
  winsim::ReleaseFile(Monitor(), kOtherProgram);
  EXPECT_EQ(RunInstaller(u"onInit"), 102) << "nothing pending any more, and no default printer";
  EXPECT_FALSE(winsim::FileExists(Monitor()));
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{rename[0], rename[1], NtPath(driverFile), u""}))
      << "the carried-out deletion left the list, the others stay in order";
  EXPECT_EQ(RunInstaller(u"install"), 1);
  EXPECT_EQ(PendingRenameStrings(), rename) << "the driver file the install put in place is off the list";
  ExpectMonitorAfterRestart("onInit road");
  EXPECT_TRUE(winsim::FileExists(driverFile));
  EXPECT_EQ(winsim::FileContents(u"C:\\Temp\\b.tmp"), "A") << "the other program's rename was carried out";
  EXPECT_TRUE(PendingRenameStrings().empty());

  // 2. Still held during the install: its compatible file on disk is kept, not copied.
  UninstallWithHeldMonitor("held road");
  winsim::SetShiftHeld(true);
  EXPECT_EQ(RunInstaller(u"install"), 1);
  winsim::SetShiftHeld(false);
  Lines log = ShownLogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "      Skip copy monitor file"), log.end());
  EXPECT_TRUE(PendingRenameStrings().empty());
  winsim::ReleaseFile(Monitor(), kOtherProgram);
  ExpectMonitorAfterRestart("held road");

  // 3. Free again, without onInit: the install must not carry out the deletion of the file it keeps.
  UninstallWithHeldMonitor("free road");
  winsim::ReleaseFile(Monitor(), kOtherProgram);
  EXPECT_EQ(RunInstaller(u"install"), 1);
  EXPECT_EQ(winsim::Dialogs().size(), 1u) << "no error on the three roads: only the window Shift asked for";
  EXPECT_TRUE(PendingRenameStrings().empty());
  ExpectMonitorAfterRestart("free road");
}

TEST_F(DeploymentRoadsTest, APendingListThatCannotBeRewrittenIsAnErrorOfItsOwn) {
  ASSERT_EQ(RunInstaller(u"install"), 1);
  UninstallWithHeldMonitor("held");
  winsim::FailNext("RegSetValueExW", -1, ERROR_ACCESS_DENIED);
  ASSERT_EQ(RunInstaller(u"install"), 100);
  winsim::ClearFaults();
  const std::string error = "Error(18): Can`t rewrite PendingFileRenameOperations - (Access is denied.)";
  EXPECT_EQ(ErrorLines(ShownLogLines()),
            (Lines{"    PendingFileRenameOperations still deletes files this install leaves in place", "    " + error,
                   "    PendingFileRenameOperations still deletes files this install leaves in place", "    " + error}))
      << "before the pending deletions are honoured, and at the end";
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{NtPath(Monitor()), u""}));
  winsim::ReleaseFile(Monitor(), kOtherProgram);
  winsim::RestartMachine();
  EXPECT_FALSE(winsim::FileExists(Monitor())) << "what the error warned of";

  // The uninstall carries out another program's deletion and cannot take it off the list.
  winsim::PutFile(u"C:\\Temp\\gone.tmp", "x");
  SetPendingRenames({NtPath(u"C:\\Temp\\gone.tmp"), u""});
  winsim::FailNext("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  ASSERT_EQ(RunInstaller(u"uninstall"), 100);
  EXPECT_EQ(ErrorLines(ShownLogLines()),
            (Lines{"PendingFileRenameOperations still lists the deletions carried out now", error}));
  EXPECT_FALSE(winsim::FileExists(u"C:\\Temp\\gone.tmp"));
}

TEST_F(DeploymentRoadsTest, ARepairStartsTheSameTrayProgramAgain) {
  winsim::LaunchTrayOnStart({winsim::TrayAnswer::Quits, 300, true, u""});
  ASSERT_EQ(RunInstaller(u"install"), 1);
  ASSERT_EQ(RunInstaller(u"install"), 1);
  ASSERT_EQ(winsim::ProcessStarts().size(), 2u);
  EXPECT_FALSE(winsim::ProcessRunning(winsim::ProcessStarts()[0].process)) << "the first tray was asked to quit";
  EXPECT_TRUE(winsim::ProcessStarts()[1].started);
  EXPECT_TRUE(winsim::ProcessRunning(winsim::ProcessStarts()[1].process));
  EXPECT_TRUE(winsim::IsHeld(kTrayPath)) << "running from its own file";
  EXPECT_EQ(TrayRunValue(), kTrayPath);

  // The same file named with other letter cases is the same file; an old copy elsewhere goes.
  winsim::PutFile(u"C:\\Old\\orvtray.exe", "MZ old");
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", u"C:\\Old\\orvtray.exe");
  ASSERT_EQ(RunInstaller(u"install"), 1);
  EXPECT_FALSE(winsim::FileExists(u"C:\\Old\\orvtray.exe"));
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", u"c:\\PRODUCT\\orvtray.EXE");
  ASSERT_EQ(RunInstaller(u"install"), 1);
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_TRUE(winsim::ProcessRunning(winsim::ProcessStarts().back().process));

  // Another program's uninstaller left the tray program to be deleted at the next start: the
  // repair keeps it, and the restart finds it still there.
  SetPendingRenames({NtPath(kTrayPath), u""});
  ASSERT_EQ(RunInstaller(u"install"), 1);
  EXPECT_TRUE(winsim::ProcessRunning(winsim::ProcessStarts().back().process));
  EXPECT_TRUE(PendingRenameStrings().empty());
  winsim::RestartMachine();
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_TRUE(winsim::Dialogs().empty());
}

TEST_F(DeploymentRoadsTest, UnattendedRunsEndWithTheirExitCodeAndLeaveTheLogInTheEventLog) {
  winsim::SetWindowStationVisible(false);
  winsim::RemoveFile(std::u16string(kModuleDir) + u"zeldrv64.dll");
  EXPECT_EQ(RunInstaller(u"install"), 100);
  EXPECT_TRUE(winsim::Dialogs().empty());
  ASSERT_EQ(winsim::LoggedEvents().size(), 1u);
  const winsim::LoggedEvent& failed = winsim::LoggedEvents()[0];
  EXPECT_EQ(failed.type, WORD(EVENTLOG_ERROR_TYPE));
  ASSERT_EQ(failed.strings.size(), 1u);
  Lines log = SplitLines(winsim::Utf8(failed.strings[0]));
  EXPECT_EQ(log[0], "Orvandelle 2547");
  EXPECT_EQ(log.back(), "      Error(15): Can`t add printer 'Orvandelle' - (The printer driver is unknown.)")
      << "the whole log up to the window's place, without >>0020";
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "        Error(10): Cant't open source file: zeldrv64.dll - (The system cannot find the file "
                      "specified.)"),
            log.end());

  PutInstallerFiles();
  winsim::SetShiftHeld(true);
  EXPECT_EQ(RunInstaller(u"install"), 1);
  EXPECT_EQ(RunInstaller(u"uninstall"), 2);
  winsim::SetShiftHeld(false);
  EXPECT_TRUE(winsim::Dialogs().empty());
  ASSERT_EQ(winsim::LoggedEvents().size(), 3u);
  EXPECT_EQ(winsim::LoggedEvents()[1].type, WORD(EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(winsim::LoggedEvents()[2].type, WORD(EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(SplitLines(winsim::Utf8(winsim::LoggedEvents()[2].strings[0]))[4], ">UnInstall");
}

}  // namespace
