// The printer driver: staged, added and cleaned up; removed with a spooler restart when refused,
// and without its files where the spooler cannot delete them (Wine).
#include "spooler/printer_driver.h"

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kVersionDir[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\";

class PrinterDriverTest : public SimTest {
 protected:
  InstallContext context{};
  DriverList drivers{};
  size_t startLines = 0;

  void SetUp() override {
    SimTest::SetUp();
    for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
      winsim::PutFile(kModuleDir + std::u16string(name), winsim::Utf8(name) + " contents");
  }

  void TearDown() override {
    FreeDriverList(drivers);
    FreeContext(context);
    EXPECT_EQ(winsim::OpenFileHandles(), 0u) << "file handles left open";
    SimTest::TearDown();
  }

  // The context as an install has it; the log is compared from here on.
  void Start() {
    InitContext(context, UseX64Files);
    startLines = LogLines(context).size();
    winsim::ClearCalls();
  }

  Lines NewLines() const {
    Lines all = LogLines(context);
    return Lines(all.begin() + startLines, all.end());
  }

  // A driver as the spooler holds it after an earlier install, its files in the version folder;
  // `prefix` keeps the files of different drivers apart.
  static void AddInstalledDriver(const std::u16string& name, const std::u16string& prefix = u"zel") {
    winsim::SimDriver driver;
    driver.name = name;
    driver.driverPath = kVersionDir + prefix + u"drv64.dll";
    driver.dataFile = driver.driverPath;
    driver.configFile = kVersionDir + prefix + u"ui64.dll";
    driver.helpFile = kVersionDir + prefix + u"help.chm";
    for (const auto& file : {driver.driverPath, driver.configFile, driver.helpFile}) winsim::PutFile(file, "old");
    winsim::AddSimDriver(driver);
  }

  void Remove() {
    EnumDriverList(drivers, context.Environment);
    RemovePrinterDriver(context, drivers);
  }

  static std::vector<std::string> DeletedFiles() {
    std::vector<std::string> paths;
    for (const auto& call : winsim::CallsOf("DeleteFileW")) paths.push_back(call.args[0]);
    return paths;
  }
};

const Lines kStagedAll = {
    ">Add Printer Driver",
    "  >CopyFile zeldrv64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "    Copy Succeeded :)",
    "  >CopyFile zelui64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "    Copy Succeeded :)",
    "  >CopyFile zelhelp.chm to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "    Copy Succeeded :)",
};

TEST_F(PrinterDriverTest, InstallHandsTheStagedFilesToTheSpoolerAndDeletesThem) {
  Start();
  InstallPrinterDriver(context);
  Lines expected = kStagedAll;
  expected.push_back("  OK :)");
  EXPECT_EQ(NewLines(), expected);
  EXPECT_EQ(context.ErrorCount, 0);
  EXPECT_EQ(context.Depth, 0);

  auto added = winsim::CallsOf("AddPrinterDriverExW");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].args, (std::vector<std::string>{"(null)", "6", "Orvandelle printer", "Windows x64", "0x4"}));
  std::vector<winsim::SimDriver> installed = winsim::SimDrivers();
  ASSERT_EQ(installed.size(), 1u);
  const winsim::SimDriver& driver = installed[0];
  EXPECT_EQ(driver.version, 3u);
  EXPECT_EQ(winsim::Utf8(driver.driverPath), winsim::Utf8(kVersionDir) + "zeldrv64.dll");
  EXPECT_EQ(driver.dataFile, driver.driverPath);
  EXPECT_EQ(winsim::Utf8(driver.configFile), winsim::Utf8(kVersionDir) + "zelui64.dll");
  EXPECT_EQ(winsim::Utf8(driver.helpFile), winsim::Utf8(kVersionDir) + "zelhelp.chm");
  EXPECT_TRUE(driver.dependentFiles.empty());
  EXPECT_TRUE(driver.monitorName.empty());
  EXPECT_EQ(winsim::Utf8(driver.mfgName), "Corvane");
  EXPECT_EQ(winsim::Utf8(driver.provider), "Corvane");
  EXPECT_FALSE(driver.oemUrl.empty());
  EXPECT_EQ(winsim::FileContents(driver.configFile), "zelui64.dll contents");

  EXPECT_EQ(DeletedFiles(), (std::vector<std::string>{"C:\\Windows\\system32\\spool\\drivers\\x64\\zeldrv64.dll",
                                                      "C:\\Windows\\system32\\spool\\drivers\\x64\\zelui64.dll",
                                                      "C:\\Windows\\system32\\spool\\drivers\\x64\\zelhelp.chm"}));
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
    EXPECT_FALSE(winsim::FileExists(kDriverDir + std::u16string(name))) << winsim::Utf8(name);
  EXPECT_EQ(context.DeferredDeletes, nullptr);
}

TEST_F(PrinterDriverTest, WithoutTheHelpFileTheDriverIsAddedWithoutOne) {
  winsim::RemoveFile(kModuleDir + std::u16string(u"zelhelp.chm"));
  Start();
  InstallPrinterDriver(context);
  Lines expected(kStagedAll.begin(), kStagedAll.end() - 1);
  expected.push_back("    Error(10): Cant't open source file: zelhelp.chm - (The system cannot find the file specified.)");
  expected.push_back("    Copy Failed :(");
  expected.push_back("  OK :)");
  EXPECT_EQ(NewLines(), expected);
  ASSERT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_TRUE(winsim::SimDrivers()[0].helpFile.empty());
  EXPECT_EQ(DeletedFiles().size(), 2u) << "only the two staged copies";
  EXPECT_EQ(context.DeferredDeletes, nullptr);
  EXPECT_EQ(context.ErrorCount, 1);
}

TEST_F(PrinterDriverTest, WithoutTheConfigurationModuleNoDriverIsAdded) {
  winsim::RemoveFile(kModuleDir + std::u16string(u"zelui64.dll"));
  Start();
  InstallPrinterDriver(context);
  EXPECT_EQ(NewLines(), (Lines{kStagedAll[0], kStagedAll[1], kStagedAll[2], kStagedAll[3],
                               "    Error(10): Cant't open source file: zelui64.dll - (The system cannot find the file "
                               "specified.)",
                               "    Copy Failed :("}));
  EXPECT_EQ(winsim::CountCalls("AddPrinterDriverExW"), 0u);
  EXPECT_TRUE(winsim::SimDrivers().empty());
  EXPECT_EQ(context.ErrorCount, 1) << "the copy's error only, no error 13";
  EXPECT_TRUE(winsim::FileExists(kDriverDir + std::u16string(u"zeldrv64.dll"))) << "the staged driver stays";
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
}

// Bare file names would stage into the current directory, the installer's own: nothing is
// copied or deleted there.
TEST_F(PrinterDriverTest, AnUnknownDriverDirectoryStopsBeforeStaging) {
  winsim::FailNext("GetPrinterDriverDirectoryW", 1, ERROR_ACCESS_DENIED);
  Start();
  InstallPrinterDriver(context);
  EXPECT_EQ(NewLines(), (Lines{">Add Printer Driver", "  The printer driver directory is unknown, nothing is staged",
                               "  Error(13): Can`t install a printer driver 'Orvandelle printer' - (The system cannot "
                               "find the path specified.)"}));
  EXPECT_EQ(winsim::CountCalls("CreateFileW"), 0u);
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(winsim::CountCalls("AddPrinterDriverExW"), 0u);
  EXPECT_EQ(winsim::FileContents(kModuleDir + std::u16string(u"zeldrv64.dll")), "zeldrv64.dll contents");
}

TEST_F(PrinterDriverTest, StagedCopiesThatCannotBeDeletedWaitOnTheDeferredList) {
  Start();
  winsim::FailNext("AddPrinterDriverExW", 1, ERROR_ACCESS_DENIED);
  winsim::FailNext("DeleteFileW", 3, ERROR_ACCESS_DENIED);  // as for files another process has loaded
  InstallPrinterDriver(context);
  Lines expected = kStagedAll;
  expected.push_back("  Error(13): Can`t install a printer driver 'Orvandelle printer' - (Access is denied.)");
  EXPECT_EQ(NewLines(), expected);
  EXPECT_EQ(DeferredPaths(context), (Lines{"C:\\Windows\\system32\\spool\\drivers\\x64\\zelhelp.chm",
                                           "C:\\Windows\\system32\\spool\\drivers\\x64\\zelui64.dll",
                                           "C:\\Windows\\system32\\spool\\drivers\\x64\\zeldrv64.dll"}));
}

TEST_F(PrinterDriverTest, ARefusedDeletionIsRetriedOnceAfterASpoolerRestart) {
  AddInstalledDriver(u"Generic Text", u"gen");
  AddInstalledDriver(kProductDriver);
  Start();
  winsim::FailNext("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE);
  Remove();
  EXPECT_EQ(NewLines(),
            (Lines{">DeletePrinterDriver for Windows x64", "  ------------ 2 existing drivers-----------",
                   "  1. Generic Text", "  2. Orvandelle printer", "  -------------------------------------------",
                   "  Driver is found. Index=2", "  Can't delete driver. Trying to restart spooler",
                   "  >Restart Spooler", "  OK :)"}));
  auto calls = winsim::CallsOf("DeletePrinterDriverExW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{"(null)", "Windows x64", "Orvandelle printer", "0x4", "0"}));
  EXPECT_GT(calls[1].tick, winsim::CallsOf("StartServiceW").back().tick) << "retried against the started spooler";
  ASSERT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_FALSE(winsim::FileExists(kVersionDir + std::u16string(u"zelui64.dll"))) << "deleted with its files";
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(PrinterDriverTest, ADriverStillInUseAfterTheRestartIsErrorFourteen) {
  AddInstalledDriver(kProductDriver);
  winsim::AddLocalPortMonitor();
  winsim::AddSimPrinter(PrinterOn(u"Elsewhere", kProductDriver, u"LPT1:"));
  Start();
  Remove();
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
            (Lines{"  Driver is found. Index=1", "  Can't delete driver. Trying to restart spooler", "  >Restart Spooler",
                   "  Error(14): Can`t remove the printer-driver 'Orvandelle printer' - (The specified printer driver "
                   "is currently in use.)"}));
  EXPECT_EQ(winsim::CountCalls("DeletePrinterDriverExW"), 2u);
  EXPECT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_EQ(context.ErrorCount, 1);
  EXPECT_EQ(context.Depth, 0);
}

// Wine refuses DPD_DELETE_ALL_FILES with 87; the driver goes without its files.
TEST_F(PrinterDriverTest, ASpoolerThatCannotDeleteDriverFilesDeletesTheDriverAlone) {
  AddInstalledDriver(kProductDriver);
  winsim::SetWineDriverDeletion(true);
  Start();
  Remove();
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"  Driver is found. Index=1", "  DeletePrinterDriverEx: the driver files stay", "  OK :)"}));
  auto calls = winsim::CallsOf("DeletePrinterDriverExW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args[3], "0x4");
  EXPECT_EQ(calls[1].args[3], "0x0");
  EXPECT_TRUE(winsim::SimDrivers().empty());
  EXPECT_TRUE(winsim::FileExists(kVersionDir + std::u16string(u"zeldrv64.dll")));
  EXPECT_EQ(winsim::CountCalls("ControlService"), 0u) << "no restart";
  EXPECT_EQ(context.ErrorCount, 0);
}

}  // namespace
