// The system checks that also run under Wine (tests/win64/conformance.cpp), here against winsim.
#include "conformance/state_changes_conformance.h"
#include "conformance/system_conformance.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace {

using conformance::Hold;
using conformance::Refusal;

// The set-up hook: the spooler's process loads a file, or a handle of the simulated machine
// keeps it open, as another process's would.
HANDLE heldOpen = INVALID_HANDLE_VALUE;

bool HoldInSim(const char16_t* path, Hold how) {
  winsim::PutFile(path, "MZ");
  if (how == Hold::Loaded) {
    winsim::HoldFile(path, winsim::kSpoolerProcess);
    return true;
  }
  heldOpen = CreateFileW(path, GENERIC_READ, how == Hold::OpenedUnshared ? 0 : FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return heldOpen != INVALID_HANDLE_VALUE;
}

void ReleaseInSim(const char16_t* path) {
  winsim::ReleaseFile(path, winsim::kSpoolerProcess);
  if (heldOpen != INVALID_HANDLE_VALUE) CloseHandle(heldOpen);
  heldOpen = INVALID_HANDLE_VALUE;
}

// The service manager's own knobs give the answers of a disabled service and of one that
// accepts no STOP.
void SetRefusal(Refusal refusal, bool on) {
  if (refusal == Refusal::IgnoresStop)
    winsim::RefuseServiceStop(u"spooler", on ? ERROR_INVALID_SERVICE_CONTROL : 0);
  else
    winsim::RefuseServiceStart(u"spooler", on ? ERROR_SERVICE_DISABLED : 0);
}

bool RefuseInSim(Refusal refusal) {
  SetRefusal(refusal, true);
  return true;
}

void WithdrawInSim(Refusal refusal) { SetRefusal(refusal, false); }

const conformance::Machine kSim = {HoldInSim, ReleaseInSim, RefuseInSim, WithdrawInSim};

class SystemConformanceTest : public SimTest {
 protected:
  static void ExpectNoFailures(const conformance::Failures& failures) {
    for (const std::string& line : failures.lines) ADD_FAILURE() << line;
  }
};

const char16_t kScratchFile[] = u"C:\\Product\\drv\\conformance.tmp";
const char16_t kHeldFile[] = u"C:\\Windows\\system32\\conformance-held.dll";

// With no list and with renames already pending: the list is put back as it was.
TEST_F(SystemConformanceTest, OnAFreshMachineAndWithRenamesPending) {
  const std::vector<std::u16string> pending{u"\\??\\C:\\a.tmp", u"", u"\\??\\C:\\b.tmp", u"!\\??\\C:\\c.tmp"};
  ExpectNoFailures(conformance::RunSystemChecks(kScratchFile));
  EXPECT_FALSE(winsim::FileExists(kScratchFile));
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue));
  SetPendingRenames(pending);
  ExpectNoFailures(conformance::RunSystemChecks(kScratchFile));
  EXPECT_EQ(PendingRenameStrings(), pending);
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

TEST_F(SystemConformanceTest, HeldFilesAndServiceAnswers) {
  conformance::Failures failures;
  conformance::CheckHeldFiles(failures, kSim, kHeldFile);
  conformance::CheckServiceAnswers(failures, kSim);
  ExpectNoFailures(failures);
  EXPECT_FALSE(winsim::FileExists(kHeldFile));
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING)) << "left running";
  EXPECT_EQ(winsim::OpenFileHandles() + winsim::OpenServiceHandles(), 0u);
}

// A holder that holds nothing, and a service that refuses nothing, are caught.
TEST_F(SystemConformanceTest, ChecksNoticeWhatIsNotHeldOrRefused) {
  conformance::Machine idle = {[](const char16_t* path, Hold) { winsim::PutFile(path, "MZ"); return true; },
                               [](const char16_t*) {}, [](Refusal) { return true; }, [](Refusal) {}};
  conformance::Failures failures;
  conformance::CheckHeldFile(failures, idle, kHeldFile, Hold::Loaded, "loaded");
  conformance::CheckServiceAnswers(failures, idle);
  EXPECT_EQ(failures.lines,
            (std::vector<std::string>{"loaded: DeleteFileW: succeeded, expected error 5",
                                      "loaded: opened for writing: succeeded, expected error 32",
                                      "service: starting a disabled one: succeeded, expected error 1058",
                                      "service: started ignoring STOP",
                                      "service: a stop it does not accept: succeeded, expected error 1052",
                                      "service: still running after the refused stop",
                                      "service: stops after the refusals"}));
}

}  // namespace
