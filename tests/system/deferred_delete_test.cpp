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

  static Lines FirstArgs(const char* call) {
    Lines args;
    for (const auto& c : winsim::CallsOf(call)) args.push_back(c.args[0]);
    return args;
  }

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

TEST_F(DeferredDeleteTest, RetryAndSchedulingGoNewestFirst) {
  PutHeld({kMonitor, kDriver, kHelp});
  Add(kMonitor);
  Add(kDriver);
  Add(kHelp);

  RetryDeferredDeletes(context);
  Lines newestFirst = {winsim::Utf8(kHelp), winsim::Utf8(kDriver), winsim::Utf8(kMonitor)};
  EXPECT_EQ(FirstArgs("DeleteFileW"), newestFirst);
  EXPECT_EQ(Listed(), newestFirst) << "held files stay, in their order";
  EXPECT_EQ(LogLines(context), Lines{"DeleteFile-try"});

  EXPECT_EQ(ScheduleDeletesAtReboot(context), 3);
  EXPECT_EQ(FirstArgs("MoveFileExW"), newestFirst);
  for (const auto& call : winsim::CallsOf("MoveFileExW")) {
    EXPECT_EQ(call.args[1], "(null)");
    EXPECT_EQ(call.args[2], "0x4");
  }
  EXPECT_EQ(PendingRenameStrings(),
            (std::vector<std::u16string>{NtPath(kHelp), u"", NtPath(kDriver), u"", NtPath(kMonitor), u""}));
  EXPECT_EQ(context.DeferredDeletes, nullptr);
  EXPECT_EQ(context.ErrorCount, 0);
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

TEST_F(DeferredDeleteTest, FailedRegistrationsAreNotCountedAndTheListEmptiesAnyway) {
  Add(kMonitor);
  Add(kDriver);
  winsim::FailNext("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ScheduleDeletesAtReboot(context), 1);
  EXPECT_EQ(context.DeferredDeletes, nullptr);
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{NtPath(kMonitor), u""}));

  winsim::SetAdministrator(false);
  Add(kMonitor);
  EXPECT_EQ(ScheduleDeletesAtReboot(context), 0) << "only an administrator may register deletions";
  EXPECT_EQ(context.DeferredDeletes, nullptr);
}

TEST_F(DeferredDeleteTest, PathWithoutMemoryIsDropped) {
  winsim::FailAllocations(winsim::Allocator::Global, 1);
  Add(kMonitor);
  winsim::FailAllocations(winsim::Allocator::Global, 1, 1);  // the node, then not its text
  Add(kDriver);
  EXPECT_EQ(context.DeferredDeletes, nullptr);
  Add(kHelp);
  EXPECT_EQ(Listed(), Lines{winsim::Utf8(kHelp)});
}

}  // namespace
