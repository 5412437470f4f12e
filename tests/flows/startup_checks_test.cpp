#include "flows/startup_checks.h"

#include "support/product_machine.h"
#include "winsim/sim_registry.h"

namespace {

using StartupChecksTest = SimTest;

// onInit answers 200 only for a held file the spooler loads: the help file is the product's too,
// but the spooler never loads it; near names are other files.
TEST_F(StartupChecksTest, OnlyTheSpoolersProductFilesCount) {
  for (const char16_t* name : {u"zelmon32.dll", u"zelmon64.dll.bak", u"xzelui64.dll", u"zelhelp.chm"}) {
    PutHeld(std::u16string(kSystemDir) + name);
  }
  winsim::PutMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, {u"\\??\\C:\\Windows\\system32\\zelmon32.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelmon64.dll.bak", u"",
                     u"C:\\Windows\\system32\\xzelui64.dll", u"",
                     u"\\??\\C:\\Windows\\system32\\zelhelp.chm", u""});
  EXPECT_FALSE(InitCheck());
  EXPECT_EQ(winsim::CountCalls("ControlService"), 0u) << "the spooler is not stopped";
}

}  // namespace
