// The printer driver's files as the spooler is handed them; the roads around it (refusals, held
// files, Wine's driver deletion) are rows of the scenario table.
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
  size_t startLines = 0;

  void SetUp() override {
    SimTest::SetUp();
    for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
      winsim::PutFile(kModuleDir + std::u16string(name), winsim::Utf8(name) + " contents");
  }

  void TearDown() override {
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

}  // namespace
