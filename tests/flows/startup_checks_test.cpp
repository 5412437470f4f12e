#include "flows/startup_checks.h"

#include "support/product_machine.h"
#include "winsim/sim_files.h"

namespace {

using StartupChecksTest = SimTest;

TEST_F(StartupChecksTest, OnlyTheProductFileNamesCount) {
  // The help file is the product's too, but the spooler never loads it.
  for (const char16_t* name : {u"zelmon32.dll", u"zelmon64.dll.bak", u"xzelui64.dll", u"zelhelp.chm"}) {
    PutHeld(std::u16string(kSystemDir) + name);
  }
  SetPendingRenames({u"\\??\\C:\\Windows\\system32\\zelmon32.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelmon64.dll.bak", u"",
                     u"C:\\Windows\\system32\\xzelui64.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelhelp.chm", u"",
                     u"\\??\\C:\\Windows\\system32\\zelui64.dll", u""});
  EXPECT_FALSE(InitCheck()) << "the last pair names a file that does not exist";
  EXPECT_EQ(winsim::CountCalls("ControlService"), 0u) << "the spooler is not stopped";
  // The file name follows the last slash or colon.
  winsim::PutFile(u"C:\\Product\\zelui64.dll");
  SetPendingRenames({u"\\??\\C:/Product/x/../zelui64.dll", u"D:\\y"});
  EXPECT_TRUE(InitCheck());
}

}  // namespace
