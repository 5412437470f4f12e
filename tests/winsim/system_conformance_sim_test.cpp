// The system checks that also run under Wine (tests/win64/conformance.cpp), here against winsim.
#include "conformance/system_conformance.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

class SystemConformanceTest : public SimTest {
 protected:
  static void ExpectNoFailures(const conformance::Failures& failures) {
    for (const std::string& line : failures.lines) ADD_FAILURE() << line;
  }
};

const char16_t kScratchFile[] = u"C:\\Product\\drv\\conformance.tmp";

TEST_F(SystemConformanceTest, OnAFreshMachine) {
  ExpectNoFailures(conformance::RunSystemChecks(kScratchFile));
  EXPECT_FALSE(winsim::FileExists(kScratchFile));
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue))
      << "the list is put back as it was: absent";
}

TEST_F(SystemConformanceTest, WithRenamesAlreadyPending) {
  const std::vector<std::u16string> pending{u"\\??\\C:\\a.tmp", u"", u"\\??\\C:\\b.tmp", u"!\\??\\C:\\c.tmp"};
  SetPendingRenames(pending);
  ExpectNoFailures(conformance::RunSystemChecks(kScratchFile));
  EXPECT_EQ(PendingRenameStrings(), pending) << "put back as it was";
}

// A deletion the system refuses is caught.
TEST_F(SystemConformanceTest, ChecksNoticeARefusedDeletion) {
  winsim::FailNext("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  auto failures = conformance::RunSystemChecks(kScratchFile);
  EXPECT_EQ(failures.lines, (std::vector<std::string>{
                                "MoveFileExW: a deletion at the next start recorded",
                                "MoveFileExW: the list is REG_MULTI_SZ: got 0, expected 7",
                                "MoveFileExW: \"\\??\\\" and the path, then an empty string, appended to the list"}));
}

}  // namespace
