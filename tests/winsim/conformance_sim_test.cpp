// The conformance checks that win64.conformance runs under Wine, here against winsim on the same
// road; and that the checks fail on a machine that answers otherwise.
#include "conformance/checks.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

using conformance::Hold;
using conformance::Refusal;

// The spooler's process loads the file, or a handle of the machine keeps it open.
HANDLE heldOpen = INVALID_HANDLE_VALUE;

bool HoldInSim(const char16_t* path, Hold how) {
  if (how == Hold::Loaded) return winsim::HoldFile(path, winsim::kSpoolerProcess), true;
  heldOpen = CreateFileW(path, GENERIC_READ, how == Hold::OpenedUnshared ? 0 : FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return heldOpen != INVALID_HANDLE_VALUE;
}

void ReleaseInSim(const char16_t* path) {
  winsim::ReleaseFile(path, winsim::kSpoolerProcess);
  if (heldOpen != INVALID_HANDLE_VALUE) CloseHandle(heldOpen);
  heldOpen = INVALID_HANDLE_VALUE;
}

void SetRefusal(Refusal refusal, bool on) {
  if (refusal == Refusal::IgnoresStop) winsim::RefuseServiceStop(u"spooler", on ? ERROR_INVALID_SERVICE_CONTROL : 0);
  if (refusal == Refusal::Disabled) winsim::RefuseServiceStart(u"spooler", on ? ERROR_SERVICE_DISABLED : 0);
}

bool PutInSim(const char16_t*, const char16_t* path) { return winsim::PutFile(path, "MZ"), true; }

const conformance::Machine kSim = {PutInSim, HoldInSim, ReleaseInSim,
                                   [](Refusal r) { return SetRefusal(r, true), true; },
                                   [](Refusal r) { SetRefusal(r, false); }};
const char16_t kScratch[] = u"C:\\Product\\drv\\conformance.tmp";
const char16_t kHeld[] = u"C:\\Windows\\system32\\conformance-held.dll";

void ExpectNoFailures(const char* phase, const conformance::Failures& failures) {
  for (const std::string& line : failures.lines) ADD_FAILURE() << phase << ": " << line;
  EXPECT_TRUE(failures.wineNotes.empty());
}

using ConformanceTest = SimTest;

// The road win64.conformance plays under Wine. The machine is left as found: the pending renames
// (none, or some) put back, the spooler running, only the set-up's printers, no handle open.
TEST_F(ConformanceTest, WinsimAnswersAsWindows) {
  ExpectNoFailures("fresh machine", conformance::RunSystemChecks(kScratch));
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue));
  const std::vector<std::u16string> pending{u"\\??\\C:\\a.tmp", u"", u"\\??\\C:\\b.tmp", u"!\\??\\C:\\c.tmp"};
  SetPendingRenames(pending);
  winsim::AddLocalPortMonitor();  // which Windows and Wine bring, and winsim starts without
  EXPECT_TRUE(conformance::PlayRoad(kSim, false, kScratch, kHeld, ExpectNoFailures));
  EXPECT_EQ(PendingRenameStrings(), pending);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_FALSE(winsim::FileExists(kHeld) || winsim::FileExists(kScratch));
  EXPECT_EQ(winsim::SimPrinters().size(), 2u) << "the checks' own printers are gone again";
  EXPECT_EQ(winsim::SimMonitors().size(), 2u) << "a monitor in use stays";
  EXPECT_EQ(winsim::OpenPrinterHandles() + winsim::OpenFileHandles() + winsim::OpenServiceHandles(), 0u);
}

// A check that cannot fail is worthless: a machine that answers otherwise fails them, each with
// what it answered, and Wine's answers expected of Windows (or the other way round) are told apart.
TEST_F(ConformanceTest, ChecksFailOnAMachineThatAnswersOtherwise) {
  conformance::Failures all;
  auto add = [&](const conformance::Failures& f) { all.lines.insert(all.lines.end(), f.lines.begin(), f.lines.end()); };
  winsim::FailNext("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  add(conformance::RunSystemChecks(kScratch));
  auto refuseNothing = [](Refusal) { return true; };  // and hold nothing
  conformance::CheckHeldFiles(all, {PutInSim, [](const char16_t*, Hold) { return true; }, [](const char16_t*) {},
                                    refuseNothing, [](Refusal) {}}, kHeld);
  conformance::CheckServiceAnswers(all, {nullptr, nullptr, nullptr, refuseNothing, [](Refusal) {}});
  winsim::AddLocalPortMonitor();
  conformance::SetUpSpooler(all, kSim, false);
  winsim::SetSimDefaultPrinter(u"Text");
  winsim::SetSimPrinterValue(u"Text", {winsim::kPlainPrinterDataKey, "ConformanceNeverWritten", REG_SZ, {'x', 0}});
  winsim::FailNext("EnumMonitorsW", 1, ERROR_INVALID_PARAMETER);
  add(conformance::RunSpoolerQueryChecks({u"Text", nullptr, true, true}));
  conformance::CheckPrinterChanges(all, true);  // Windows' answers where Wine's are expected
  conformance::SetUpSpooler(all, kSim, true);
  winsim::SetWineDriverDeletion(true);  // and Wine's where Windows' are
  conformance::CheckMonitorAndDriverChanges(all, false);
  const std::string held = "held file (opened, share ";
  EXPECT_EQ(all.lines, (std::vector<std::string>{
      "MoveFileExW: a deletion at the next start: got 5, expected 0", "MoveFileExW: the list's type: got 0, expected 7",
      "MoveFileExW: \"\\??\\\" and the path, then an empty string, appended",
      "held file (loaded): DeleteFileW: got 0, expected 5",
      "held file (loaded): opened for writing: got 0, expected 32",
      held + "0): DeleteFileW: got 0, expected 32", held + "0): opened for writing: got 0, expected 32",
      held + "0): opened for reading: got 0, expected 32", held + "read): DeleteFileW: got 0, expected 32",
      held + "read): opened for writing: got 0, expected 32",
      "service: starting a disabled one: got 0, expected 1058", "service: started ignoring STOP",
      "service: a stop it does not accept: got 0, expected 1052", "service: still running after the refused stop",
      "service: stops after the refusals", "size query: EnumMonitorsW: got 87, expected 122",
      "size query: EnumMonitorsW names a size", "monitor list: own monitor found", "driver list: own driver at level 6",
      "snapshot: exactly the default printer is marked", "default printer: none set: got 0, expected 2",
      "GetPrinterDataA: a missing value: got 0, expected 2", "AddPrinterW: a name that exists: got 1802, expected 0",
      "AddPrinterW: a port no monitor provides: got 1796, expected 0",
      "default printer: Wine makes the first listed one it",
      "DeletePrinterDriverExW: with files, in use: got 87, expected 3001",
      "DeletePrinterDriverExW: without files, in use: got 0, expected 3001"}));
}

}  // namespace
