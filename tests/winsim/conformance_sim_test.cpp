// The conformance checks that win64.conformance plays under Wine, here against winsim; and that
// they fail on a machine that answers otherwise.
#include "conformance/checks.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

using conformance::Refusal;

bool SetRefusal(Refusal refusal, bool on) {
  if (refusal == Refusal::IgnoresStop) winsim::RefuseServiceStop(u"spooler", on ? ERROR_INVALID_SERVICE_CONTROL : 0);
  if (refusal == Refusal::Disabled) winsim::RefuseServiceStart(u"spooler", on ? ERROR_SERVICE_DISABLED : 0);
  return true;
}

const conformance::Side kSim = {
    false, u"C:\\Product\\drv\\conformance.tmp", u"C:\\Windows\\system32\\conformance-held.dll",
    [](const char16_t*, const char16_t* path) { return winsim::PutFile(path, "MZ"), true; },
    [](const char16_t* path) { return winsim::HoldFile(path, winsim::kSpoolerProcess), true; },
    [](const char16_t* path) { winsim::ReleaseFile(path, winsim::kSpoolerProcess); },
    SetRefusal};

using ConformanceTest = SimTest;

// The whole table, as under Wine. The machine is left as found: the pending renames (none, or
// some) put back, the spooler running, only the set-up's printers, no handle open.
TEST_F(ConformanceTest, WinsimAnswersAsWindows) {
  EXPECT_EQ(conformance::Run(kSim, "deletion").lines, std::vector<std::string>{});
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue));
  const std::vector<std::u16string> pending{u"\\??\\C:\\a.tmp", u"", u"\\??\\C:\\b.tmp", u"!\\??\\C:\\c.tmp"};
  SetPendingRenames(pending);
  winsim::AddLocalPortMonitor();  // which Windows and Wine bring, and winsim starts without
  conformance::Failures all = conformance::Run(kSim);
  EXPECT_EQ(all.lines, std::vector<std::string>{});
  EXPECT_EQ(all.wineNotes, std::vector<std::string>{});
  EXPECT_EQ(PendingRenameStrings(), pending);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_FALSE(winsim::FileExists(kSim.heldFile) || winsim::FileExists(kSim.scratchFile));
  EXPECT_EQ(winsim::SimPrinters().size(), 2u) << "the checks' own printers are gone again";
  EXPECT_EQ(winsim::SimMonitors().size(), 2u) << "a monitor in use stays";
  EXPECT_EQ(winsim::OpenPrinterHandles() + winsim::OpenFileHandles() + winsim::OpenServiceHandles(), 0u);
}

// A check that cannot fail is worthless: on a machine that answers otherwise, loads nothing and
// refuses nothing, the checks fail, each with what it answered; Wine's answers expected of
// Windows, and the other way round, are told apart. The queries without the product run on the
// machine with it, after a value they expect missing has been written.
TEST_F(ConformanceTest, ChecksFailOnAMachineThatAnswersOtherwise) {
  conformance::Side bad = kSim;
  bad.load = [](const char16_t*) { return true; };
  bad.unload = [](const char16_t*) {};
  bad.refuse = [](Refusal, bool) { return true; };
  std::vector<std::string> lines;
  auto run = [&](std::initializer_list<const char*> names) {
    for (const char* only : names)
      for (const std::string& line : conformance::Run(bad, only).lines) lines.push_back(line);
  };
  winsim::FailNext("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  winsim::AddLocalPortMonitor();
  run({"deletion", "held file", "service", "set-up without"});
  bad.wine = true;  // Windows' answers where Wine's are expected
  run({"printers added", "set-up with the product"});
  winsim::SetSimPrinterValue(u"Text", {winsim::kPlainPrinterDataKey, "ConformanceNeverWritten", REG_SZ, {'x', 0}});
  winsim::FailNext("GetPrinterDriverW", 1, ERROR_INVALID_PARAMETER);
  run({"queries without"});
  bad.wine = false;
  winsim::SetWineDriverDeletion(true);  // and Wine's where Windows' are
  run({"monitor and driver"});
  const std::string queries = "queries without the product: ";
  EXPECT_EQ(lines, (std::vector<std::string>{
      "deletion at the next start: MoveFileExW: got 5, expected 0",
      "deletion at the next start: the list's type: got 0, expected 7",
      "deletion at the next start: \"\\??\\\" (or \"*1\\??\\\") and the path, then an empty string, appended",
      "held file: loaded: DeleteFileW: got 0, expected 5", "held file: loaded: opened for writing: got 0, expected 32",
      "service: starting a disabled one: got 0, expected 1058",
      "service: started ignoring STOP: got 1056, expected 0",
      "service: a stop it does not accept: got 0, expected 1052",
      "service: still running after the refused stop: reached",
      "printers added and deleted: AddPrinterW: a name that exists: got 1802, expected 0",
      "printers added and deleted: AddPrinterW: a port no monitor provides: got 1796, expected 0",
      "printers added and deleted: default printer: Wine makes the first listed one it",
      queries + "monitor list: own monitor found", queries + "driver list: own driver found",
      queries + "snapshot: exactly the default printer is marked",
      queries + "single printer: its name, its driver and the driver's path",
      queries + "default printer: none set: got 0, expected 2",
      queries + "GetPrinterDataA: a missing value: got 0, expected 2",
      "monitor and driver changes: DeletePrinterDriverExW: with files, in use: got 87, expected 3001",
      "monitor and driver changes: DeletePrinterDriverExW: without files, in use: got 0, expected 3001"}));
}

}  // namespace
