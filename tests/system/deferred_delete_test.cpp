#include "system/deferred_delete.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kMonitor[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kDriver[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\zeldrv64.dll";
const char16_t kHelp[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\zelhelp.chm";

class DeferredDeleteTest : public SimTest {
 protected:
  InstallContext context = EmptyContext();

  void TearDown() override {
    ClearDeferredDeletes(context.DeferredDeletes);
    FreeEmptyContext(context);
    SimTest::TearDown();
  }

  void Add(const char16_t* path) { AddDeferredDelete(context.DeferredDeletes, path); }
  Lines Listed() const { return DeferredPaths(context); }

  // Files the spooler has loaded: they resist deletion until it lets them go.
  static void PutHeld(std::initializer_list<const char16_t*> paths) {
    for (const char16_t* path : paths) {
      winsim::PutFile(path, "MZ");
      winsim::HoldFile(path, winsim::kSpoolerProcess);
    }
  }
};

TEST_F(DeferredDeleteTest, SamePathIsListedOnceButCaseVariantsAreDistinct) {
  Add(kMonitor);
  Add(kMonitor);
  Add(u"C:\\Windows\\System32\\zelmon64.dll");
  Add(u"");
  EXPECT_EQ(Listed(), (Lines{"C:\\Windows\\System32\\zelmon64.dll", winsim::Utf8(kMonitor)}));
}

TEST_F(DeferredDeleteTest, RetryDropsDeletedAndVanishedFilesButKeepsVanishedDirectories) {
  const char16_t kGoneDirectory[] = u"C:\\Old\\Driver\\zelui64.dll";
  winsim::PutFile(kDriver, "MZ");  // deletable now
  PutHeld({kMonitor});
  Add(kGoneDirectory);  // ERROR_PATH_NOT_FOUND
  Add(kMonitor);        // held: ERROR_ACCESS_DENIED
  Add(kHelp);           // ERROR_FILE_NOT_FOUND
  Add(kDriver);

  RetryDeferredDeletes(context);
  EXPECT_FALSE(winsim::FileExists(kDriver));
  EXPECT_EQ(Listed(), (Lines{winsim::Utf8(kMonitor), winsim::Utf8(kGoneDirectory)}));
  EXPECT_EQ(LogLines(context), Lines{"DeleteFile-try"}) << "no message per file";

  winsim::ReleaseFiles(winsim::kSpoolerProcess);
  RetryDeferredDeletes(context);
  EXPECT_EQ(Listed(), Lines{winsim::Utf8(kGoneDirectory)});
  EXPECT_EQ(ScheduleDeletesAtReboot(context), 1) << "the system accepts a path whose directory is gone";
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{NtPath(kGoneDirectory), u""}));
}

}  // namespace
