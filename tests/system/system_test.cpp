// The system layer's counts and byte-exact rewrites, which a whole command shows only through
// the call record or not at all: the deferred deletions, the pending list's rewrite, and the
// polls of a spooler found stopped.
#include "support/sim_test.h"
#include "system/deferred_delete.h"
#include "system/pending_renames.h"
#include "system/spooler_service.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace {

const char16_t kMonitor[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kOther[] = u"C:\\Temp\\other.tmp";

class SystemTest : public SimTest {
 protected:
  InstallContext context{};
  SpoolerRestart restart{};

  void TearDown() override {
    FreeContext(context);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
  }

  Lines Deferred() const {
    Lines paths;
    for (const DeferredDelete* node = context.DeferredDeletes; node != nullptr; node = node->next)
      paths.push_back(winsim::Utf8(node->path));
    return paths;
  }

  static void SetPendingBytes(const std::string& data) {
    winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, REG_MULTI_SZ, data);
  }
  static std::string PendingBytes() {
    return winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue)->data;
  }
  // The status reads since the call record was cleared: `reads` of them, 200 ms apart from
  // `start`, with one 200 ms sleep between each two.
  static void ExpectPolls(size_t reads, DWORD start) {
    auto calls = winsim::CallsOf("QueryServiceStatus");
    ASSERT_EQ(calls.size(), reads);
    for (size_t i = 0; i < reads; i++) EXPECT_EQ(calls[i].tick, start + 200 * i) << "read " << i;
    auto sleeps = winsim::CallsOf("Sleep");
    ASSERT_EQ(sleeps.size(), reads - 1);
    for (const auto& sleep : sleeps) EXPECT_EQ(sleep.args[0], "200");
  }
};

TEST_F(SystemTest, DeferredListRetryDropsDeletedAndVanishedFilesButKeepsVanishedDirectories) {
  const char16_t kGoneDirectory[] = u"C:\\Old\\Driver\\zelui64.dll";
  const char16_t kDriver[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\zeldrv64.dll";
  winsim::PutFile(kDriver, "MZ");  // deletable now
  PutHeld(kMonitor);
  for (const char16_t* path : {kGoneDirectory,  // ERROR_PATH_NOT_FOUND
                               kMonitor,        // held: ERROR_ACCESS_DENIED
                               u"C:\\Windows\\system32\\spool\\drivers\\x64\\zelhelp.chm",  // ERROR_FILE_NOT_FOUND
                               kDriver, kDriver, u"C:\\Windows\\system32\\spool\\drivers\\x64\\ZELDRV64.dll", u""})
    AddDeferredDelete(context.DeferredDeletes, path);
  EXPECT_EQ(Deferred().size(), 5u) << "the same path listed once, but case variants are distinct";

  RetryDeferredDeletes(context);
  EXPECT_FALSE(winsim::FileExists(kDriver));
  EXPECT_EQ(Deferred(), (Lines{winsim::Utf8(kMonitor), winsim::Utf8(kGoneDirectory)}));
  EXPECT_EQ(LogLines(context), Lines{"DeleteFile-try"}) << "no message per file";

  winsim::ReleaseFiles(winsim::kSpoolerProcess);
  RetryDeferredDeletes(context);
  EXPECT_EQ(Deferred(), Lines{winsim::Utf8(kGoneDirectory)});
  EXPECT_EQ(ScheduleDeletesAtReboot(context), 1) << "the system accepts a path whose directory is gone";
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{DelayedDeletion(kGoneDirectory), u""}));
}

// The rewrite takes out exactly the deletions of the named files and keeps every other byte.
TEST_F(SystemTest, DroppingDeletionsKeepsEveryOtherPairByteForByte) {
  const std::u16string monitor = NtPath(kMonitor);
  const std::u16string tray = u"C:\\Product\\orvtray.exe";
  std::u16string kept1 = NtPath(kOther) + u'\0' + u'\0';                                 // another file
  std::u16string kept2 = monitor + u'\0' + u"!" + NtPath(u"C:\\x.dll") + u'\0';         // a rename of it
  std::u16string kept3 = NtPath(u"C:\\Temp\\y.tmp") + u'\0' + monitor + u'\0';         // a rename onto it
  std::u16string tail = NtPath(u"C:\\odd") + u'\0' + u'\0';                             // unpaired, the end
  std::u16string value = kept1 + u"\\??\\C:\\WINDOWS\\SYSTEM32\\ZELMON64.DLL" + u'\0' + u'\0' + kept2 +
                         tray + u'\0' + u'\0' + kept3 + monitor + u'\0' + u'\0' + tail;
  SetPendingBytes(winsim::Utf16Bytes(value) + "x");  // an odd byte after the list stays too
  const WCHAR* files[] = {kMonitor, u"\\??\\c:\\product\\ORVTRAY.EXE", nullptr};
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS);
  EXPECT_EQ(PendingBytes(), winsim::Utf16Bytes(kept1 + kept2 + kept3 + tail) + "x");

  winsim::ClearCalls();
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS);
  EXPECT_EQ(winsim::CountCalls("RegSetValueExW"), 0u) << "none left: nothing written";
  winsim::RemoveValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS) << "no list at all";
}

TEST_F(SystemTest, StoppedSpoolerIsNotReportedAndStartedAgain) {
  winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  RestartSpooler(restart, &context);
  EXPECT_EQ(LogLines(context), (Lines{">Restart Spooler"}));
  EXPECT_EQ(context.ErrorCount, 0);
  EXPECT_TRUE(restart.stopRequested);
  ExpectPolls(1, 0);

  winsim::ClearCalls();
  FinishSpoolerRestart(restart);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u);
  ExpectPolls(4, 0);  // the default start takes 600 ms
  EXPECT_EQ(LogLines(context), (Lines{">Restart Spooler"}));
}

}  // namespace
