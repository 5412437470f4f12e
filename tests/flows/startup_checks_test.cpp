#include "flows/startup_checks.h"

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kSystem32[] = u"C:\\Windows\\system32\\";

class StartupChecksTest : public SimTest {
 protected:
  static int32_t Run(const std::u16string& word) { return RunInstaller(word); }
  static size_t SpoolerStops() { return winsim::CountCalls("ControlService"); }
};

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
  // The file name follows the last slash or colon.
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
