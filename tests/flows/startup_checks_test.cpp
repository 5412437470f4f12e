#include "flows/startup_checks.h"

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kSystem32[] = u"C:\\Windows\\system32\\";
const char16_t kDriverFolder[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\";

class StartupChecksTest : public SimTest {
 protected:
  static int32_t Run(const std::u16string& word) { return RunInstaller(word); }
  static size_t SpoolerStops() { return winsim::CountCalls("ControlService"); }
  static void AddPrinter(const std::u16string& name, const std::u16string& driver) {
    winsim::AddSimPrinter(PrinterOn(name, driver, u"LPT1:"));
  }
};

TEST_F(StartupChecksTest, NothingPendingMeansNoRestart) {
  EXPECT_FALSE(InitCheck());
  EXPECT_EQ(SpoolerStops(), 0u);
  SetPendingRenames({});
  EXPECT_FALSE(InitCheck());
  EXPECT_EQ(SpoolerStops(), 0u);
}

TEST_F(StartupChecksTest, HeldMonitorDeleteClearsAfterOneRestart) {
  std::u16string monitor = std::u16string(kSystem32) + u"zelmon64.dll";
  winsim::PutFile(monitor);
  winsim::HoldFile(monitor, winsim::kSpoolerProcess);
  SetPendingRenames({u"\\??\\" + monitor, u""});
  AddPrinter(u"Office", u"Other driver");
  winsim::SetSimDefaultPrinter(u"Office");
  EXPECT_EQ(Run(u"onInit"), 102) << "first pass finds it, the restart lets it go, the second deletes it";
  EXPECT_FALSE(winsim::FileExists(monitor));
  EXPECT_EQ(SpoolerStops(), 1u);
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
}

TEST_F(StartupChecksTest, ProductFileStillPendingGives200AfterTwoRestarts) {
  std::u16string driver = std::u16string(kDriverFolder) + u"ZELDRV64.DLL";
  winsim::PutFile(driver);
  SetPendingRenames({u"\\??\\C:\\Windows\\Temp\\x.tmp", u"", u"\\??\\" + driver, u"\\??\\C:\\Windows\\old.dll"});
  EXPECT_EQ(Run(u"onInit"), 200);
  EXPECT_TRUE(winsim::FileExists(driver)) << "a pending rename is never carried out here";
  EXPECT_EQ(SpoolerStops(), 2u);
  EXPECT_TRUE(winsim::CallsOf("OpenServiceW").size() >= 2u);
}

TEST_F(StartupChecksTest, OnlyTheProductFileNamesCount) {
  // The help file is the product's too, but the spooler never loads it.
  for (const char16_t* name : {u"zelmon32.dll", u"zelmon64.dll.bak", u"xzelui64.dll", u"zelhelp.chm"}) {
    std::u16string path = std::u16string(kSystem32) + name;
    winsim::PutFile(path);
    winsim::HoldFile(path, winsim::kSpoolerProcess);
  }
  SetPendingRenames({u"\\??\\C:\\Windows\\system32\\zelmon32.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelmon64.dll.bak", u"",
                     u"C:\\Windows\\system32\\xzelui64.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelhelp.chm", u"",
                     u"\\??\\C:\\Windows\\system32\\zelui64.dll", u""});
  EXPECT_FALSE(InitCheck()) << "the last pair names a file that does not exist";
  EXPECT_EQ(SpoolerStops(), 0u);
}

TEST_F(StartupChecksTest, FileNameFollowsTheLastSlashOrColon) {
  winsim::PutFile(u"C:\\Product\\zelui64.dll");
  SetPendingRenames({u"\\??\\C:/Product/x/../zelui64.dll", u"D:\\y"});
  EXPECT_TRUE(InitCheck());
}

TEST_F(StartupChecksTest, ADefaultThatCannotBeOpenedCountsAsAnotherPrinter) {
  winsim::SetSimDefaultPrinter(u"Gone");
  EXPECT_EQ(Run(u"onInit"), 102);
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
}

}  // namespace
