#include "system/file_copy.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"

namespace {

const char16_t kSystemDir[] = u"C:\\Windows\\system32";
const char16_t kSource[] = u"C:\\Product\\drv\\zelmon64.dll";
const char16_t kTarget[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char kOpening[] = ">CopyFile zelmon64.dll to C:\\Windows\\system32 [1])";
const char kOpeningQuiet[] = ">CopyFile zelmon64.dll to C:\\Windows\\system32 [0])";

class FileCopyTest : public SimTest {
 protected:
  InstallContext context = EmptyContext();
  WCHAR outPath[kCopyOutPathChars + 8];

  void SetUp() override {
    SimTest::SetUp();
    Assign(context.ModuleDir, u"C:\\Product\\drv\\");
    for (WCHAR& c : outPath) c = u'#';
  }

  void TearDown() override {
    EXPECT_EQ(winsim::OpenFileHandles(), 0u) << "file handles left open";
    ReleaseText(context.ModuleDir);
    FreeEmptyContext(context);
    SimTest::TearDown();
  }

  HRESULT Copy(const char16_t* directory = kSystemDir, bool report = true, const char16_t* name = u"zelmon64.dll") {
    return CopyToDirectory(context, directory, name, outPath, report);
  }

  std::string OutPath() const { return winsim::Utf8(outPath); }

  // A fresh machine for the next case; the context's texts belong to the old one.
  void Fresh() {
    ReleaseText(context.ModuleDir);
    FreeEmptyContext(context);
    winsim::ResetMachine();
    Assign(context.ModuleDir, u"C:\\Product\\drv\\");
  }

  // A new source, and an old target the spooler has loaded.
  static void HeldTarget() {
    winsim::PutFile(kSource, "new");
    winsim::PutFile(kTarget, "old");
    winsim::HoldFile(kTarget, winsim::kSpoolerProcess);
  }

  // Ticks of the opening attempts on the target, relative to the first one.
  static std::vector<DWORD> AttemptOffsets() {
    std::vector<DWORD> offsets;
    DWORD first = 0;
    for (const auto& call : winsim::CallsOf("CreateFileW")) {
      if (call.args[1] != "0x40000000") continue;
      if (offsets.empty()) first = call.tick;
      offsets.push_back(call.tick - first);
    }
    return offsets;
  }

  static std::vector<DWORD> Every50(size_t count) {
    std::vector<DWORD> offsets;
    for (DWORD i = 0; i < count; i++) offsets.push_back(50 * i);
    return offsets;
  }
};

TEST_F(FileCopyTest, CopiesEmptyExactAndOneOverBufferSizedFiles) {
  for (size_t size : {size_t(0), size_t(8192), size_t(8193)}) {
    SCOPED_TRACE(size);
    std::string contents(size, '\0');
    for (size_t i = 0; i < size; i++) contents[i] = char(i * 7 + 3);
    winsim::PutFile(kSource, contents);
    winsim::PutFile(kTarget, "an older and longer copy that must not survive");
    winsim::ClearCalls();

    EXPECT_EQ(Copy(), 0);
    EXPECT_EQ(winsim::FileContents(kTarget), contents);
    EXPECT_EQ(LogLines(context), (Lines{kOpening, "  Copy Succeeded :)"}));
    EXPECT_EQ(winsim::CountCalls("ReadFile"), size / 8192 + 1) << "reads until one comes back short";
    EXPECT_EQ(winsim::CountCalls("WriteFile"), (size + 8191) / 8192) << "no write of nothing";
    auto opens = winsim::CallsOf("CreateFileW");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args, (std::vector<std::string>{winsim::Utf8(kSource), "0x80000000", "0x1", "3", "0x0"}));
    EXPECT_EQ(opens[1].args, (std::vector<std::string>{winsim::Utf8(kTarget), "0x40000000", "0x1", "2", "0x0"}));
    FreeEmptyContext(context);
  }
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(FileCopyTest, TargetLetGoDuringTheRetriesIsWritten) {
  HeldTarget();
  winsim::ScheduleAfter(120, [] { winsim::ReleaseFiles(winsim::kSpoolerProcess); });
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(AttemptOffsets(), Every50(4));
  EXPECT_EQ(winsim::FileContents(kTarget), "new");
}

TEST_F(FileCopyTest, SlowAttemptsStopAtTheTenSecondBudgetAcrossTheTickWrap) {
  // Each attempt takes 100 ms: the attempt that ends 10000 ms after the start is still followed
  // by one more, the one ending at 10150 ms is the last.
  for (DWORD start : {DWORD(0), DWORD(0xFFFFFFFFu - 3000)}) {
    SCOPED_TRACE(start);
    Fresh();
    winsim::SetTick(start);
    HeldTarget();
    winsim::SetCreateFileDuration(100);

    EXPECT_EQ(Copy(kSystemDir, false), E_FAIL);
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

TEST_F(FileCopyTest, OutPathStaysWithinItsBufferAndAnEmptyModuleDirUsesTheCurrentDirectory) {
  std::u16string deep = u"C:\\" + std::u16string(250, u'd');  // with the name: 263 characters
  EXPECT_EQ(Copy(deep.c_str()), E_FAIL);
  EXPECT_EQ(OutPath(), "") << "a path cut to fit would name another file";
  EXPECT_EQ(outPath[1], u'#') << "nothing written past the terminator";

  ReleaseText(context.ModuleDir);
  winsim::PutFile(kSource, "monitor");
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(winsim::CallsOf("CreateFileW").end()[-2].args[0], "zelmon64.dll");
  EXPECT_EQ(winsim::FileContents(kTarget), "monitor");
}

TEST_F(FileCopyTest, FullDiskIsAShortWriteAndError8) {
  winsim::PutFile(kSource, std::string(20000, 'm'));
  winsim::SetFreeDiskSpace(10000);
  EXPECT_EQ(Copy(kSystemDir, false), E_FAIL);
  EXPECT_EQ(LogLines(context), (Lines{kOpeningQuiet,
                                      "  Error(8): CopyFile(..,C:\\Windows\\system32\\zelmon64.dll) - (There is not "
                                      "enough space on the disk.)",
                                      "  Copy Failed :("}));
  EXPECT_EQ(context.ErrorCount, 1) << "a short write is an error even without report";
  EXPECT_EQ(winsim::FileContents(kTarget).size(), 10000u) << "the partial target stays";
  EXPECT_EQ(winsim::CountCalls("ReadFile"), 2u);
}

}  // namespace
