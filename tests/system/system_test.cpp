// The system layer's timings, counts and byte-exact rewrites, which a whole command shows only
// through the call record or not at all: the copy's retries and short write, the deferred
// deletions, the pending list's rewrite, file builds, and the spooler's polls.
#include "support/sim_test.h"
#include "system/deferred_delete.h"
#include "system/file_copy.h"
#include "system/pending_renames.h"
#include "system/spooler_service.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace {

const char16_t kCopyTarget[] = u"C:\\Windows\\system32";
const char16_t kSource[] = u"C:\\Product\\drv\\zelmon64.dll";
const char16_t kMonitor[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kOther[] = u"C:\\Temp\\other.tmp";
const char kOpeningQuiet[] = ">CopyFile zelmon64.dll to C:\\Windows\\system32 [0])";

class SystemTest : public SimTest {
 protected:
  InstallContext context{};
  SpoolerRestart restart{};
  WCHAR outPath[kCopyOutPathChars + 8];

  void SetUp() override {
    SimTest::SetUp();
    Assign(context.ModuleDir, u"C:\\Product\\drv\\");
    for (WCHAR& c : outPath) c = u'#';
  }
  void TearDown() override {
    FreeContext(context);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
  }
  // A fresh machine for the next case; the context's texts belong to the old one.
  void Fresh() {
    FreeContext(context);
    context = InstallContext{};
    winsim::ResetMachine();
    Assign(context.ModuleDir, u"C:\\Product\\drv\\");
  }

  HRESULT Copy(const char16_t* directory = kCopyTarget, bool report = true) {
    return CopyToDirectory(context, directory, u"zelmon64.dll", outPath, report);
  }
  // A new source, and an old target the spooler has loaded.
  static void HeldTarget() {
    winsim::PutFile(kSource, "new");
    PutHeld(kMonitor, "old");
  }
  // Ticks of the opening attempts on the target, relative to the first one.
  static std::vector<DWORD> AttemptOffsets() {
    std::vector<DWORD> offsets;
    for (const auto& call : winsim::CallsOf("CreateFileW"))
      if (call.args[1] == "0x40000000") offsets.push_back(call.tick);
    for (size_t i = offsets.size(); i-- > 0;) offsets[i] -= offsets[0];
    return offsets;
  }
  static std::vector<DWORD> Every50(size_t count) {
    std::vector<DWORD> offsets;
    for (DWORD i = 0; i < count; i++) offsets.push_back(50 * i);
    return offsets;
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

TEST_F(SystemTest, CopyRetriesAHeldTargetUntilItIsLetGoOrTheBudgetEnds) {
  HeldTarget();
  winsim::ScheduleAfter(120, [] { winsim::ReleaseFiles(winsim::kSpoolerProcess); });
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(AttemptOffsets(), Every50(4));
  EXPECT_EQ(winsim::FileContents(kMonitor), "new");
  EXPECT_EQ(winsim::CallsOf("CreateFileW").back().args,
            (std::vector<std::string>{winsim::Utf8(kMonitor), "0x40000000", "0x1", "2", "0x0"}))
      << "written, sharing reading, created always";

  // Each attempt takes 100 ms: the attempt that ends 10000 ms after the start is still followed
  // by one more, the one ending at 10150 ms is the last.
  for (DWORD start : {DWORD(0), DWORD(0xFFFFFFFFu - 3000)}) {
    SCOPED_TRACE(start);
    Fresh();
    winsim::SetTick(start);
    HeldTarget();
    winsim::SetCreateFileDuration(100);
    EXPECT_EQ(Copy(kCopyTarget, false), E_FAIL);
    std::vector<DWORD> offsets = AttemptOffsets();
    ASSERT_EQ(offsets.size(), 68u);
    EXPECT_EQ(offsets.back(), 67u * 150);
    EXPECT_EQ(LogLines(context), (Lines{kOpeningQuiet, "  CreateFile - timeout", "  Copy Failed :("}));
    EXPECT_EQ(context.ErrorCount, 0);
  }

  // Fast attempts across the wrap: the count ends the retries, not the budget.
  Fresh();
  winsim::SetTick(0xFFFFFFFFu - 1000);
  HeldTarget();
  EXPECT_EQ(Copy(), E_FAIL);
  EXPECT_EQ(AttemptOffsets(), Every50(100));
  EXPECT_EQ(LogLines(context)[1].rfind("  Error(9): ", 0), 0u) << "no timeout line before the error";
}

TEST_F(SystemTest, FullDiskIsAShortWriteAndError8) {
  winsim::PutFile(kSource, std::string(20000, 'm'));
  winsim::SetFreeDiskSpace(10000);
  EXPECT_EQ(Copy(kCopyTarget, false), E_FAIL);
  EXPECT_EQ(LogLines(context), (Lines{kOpeningQuiet,
                                      "  Error(8): CopyFile(..,C:\\Windows\\system32\\zelmon64.dll) - (There is not "
                                      "enough space on the disk.)",
                                      "  Copy Failed :("}));
  EXPECT_EQ(context.ErrorCount, 1) << "a short write is an error even without report";
  EXPECT_EQ(winsim::FileContents(kMonitor).size(), 10000u) << "the partial target stays";
  EXPECT_EQ(winsim::CountCalls("ReadFile"), 2u);
}

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

TEST_F(SystemTest, BuildIsTheFourthPartOfTheProductVersion) {
  const char16_t kDriver[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\zeldrv64.dll";
  winsim::PutFile(kMonitor, "MZ" + std::string(300, '\x90') + winsim::VersionResource({1, 2, 3, 4}, {9, 9, 9, 9}));
  winsim::PutFile(kDriver, winsim::VersionResource({3, 0, 0, 65535}));
  winsim::PutFile(u"C:\\Temp\\empty.dll", winsim::VersionResourceWithoutFixedInfo());
  EXPECT_EQ(GetFileBuild(kMonitor), 4) << "the file version is not used";
  EXPECT_EQ(GetFileBuild(kDriver), 65535);
  EXPECT_EQ(GetFileBuild(u"C:\\Temp\\empty.dll"), -1) << "no fixed file information to read";
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

TEST_F(SystemTest, RefusedStopGivesTwoErrorsTenSecondsApart) {
  winsim::RefuseServiceStop(u"spooler", ERROR_INVALID_SERVICE_CONTROL);
  RestartSpooler(restart, &context);
  Lines lines = LogLines(context);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Error(5): ControlService failed with code 1052 (0x41c) - (The requested control is not "
                      "valid for this service.)");
  EXPECT_EQ(lines[2].rfind("Error(3): Can't stop the spooler", 0), 0u) << lines[2];
  EXPECT_EQ(context.ErrorCount, 2);
  ExpectPolls(51, 0);
  EXPECT_EQ(winsim::Now(), 10000u);

  winsim::ClearCalls();
  FinishSpoolerRestart(restart);
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u) << "started even though it never stopped";
  ExpectPolls(1, 10000);
  EXPECT_EQ(LogLines(context).size(), 3u);
  EXPECT_EQ(context.ErrorCount, 2);
}

// A stop that never ends: the start, refused while the spooler is stopping, waits 250 more
// reads for the stop, is not asked again, and the usual 50 polls end in error 4.
TEST_F(SystemTest, StartAfterAStopThatNeverEndsGivesUpAfterAMinute) {
  winsim::SetServiceDelays(u"spooler", winsim::kDefaultStartDelay, winsim::kNeverCompletes);
  RestartSpooler(restart, &context);
  winsim::ClearCalls();
  FinishSpoolerRestart(restart);
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u);
  ExpectPolls(1 + 250 + 50, 10000);
  Lines lines = LogLines(context);
  EXPECT_EQ(lines.back().rfind("Error(4): Can't start the spooler", 0), 0u) << lines.back();
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_STOP_PENDING));
}

}  // namespace
