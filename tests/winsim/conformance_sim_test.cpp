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
  winsim::PutFile(path, "MZ");
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

const conformance::Machine kSim = {HoldInSim, ReleaseInSim, [](Refusal r) { return SetRefusal(r, true), true; },
                                   [](Refusal r) { SetRefusal(r, false); }};
const char16_t kScratch[] = u"C:\\Product\\drv\\conformance.tmp";
const char16_t kHeld[] = u"C:\\Windows\\system32\\conformance-held.dll";

// The Local Port monitor, another maker's driver and its printer "Text" on FILE:; with the
// product, its monitor, driver and printer "Orvandelle" on its port.
void SetUpSpooler(bool withProduct, const std::u16string& defaultPrinter) {
  winsim::SimDriver driver;
  driver.name = withProduct ? u"Orvandelle printer" : u"Other printer";
  driver.driverPath = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\unidrv.dll";
  driver.dataFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\generic.gpd";
  driver.configFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\unidrvui.dll";
  winsim::AddSimDriver(driver);
  winsim::SimPrinter printer;
  printer.name = withProduct ? u"Orvandelle" : u"Text";
  printer.portName = withProduct ? u"LPT1:,Orvandelle:" : u"FILE:";
  printer.driverName = driver.name;
  printer.devMode.assign(withProduct ? 220 : 0, 0);
  winsim::AddSimPrinter(printer);
  if (withProduct) winsim::AddSimMonitor({u"Orvandelle:", u"Windows x64", u"zelmon64.dll", {u"Orvandelle:"}});
  else winsim::AddLocalPortMonitor();
  winsim::SetSimDefaultPrinter(defaultPrinter);
}

void ExpectNoFailures(const conformance::Failures& failures) {
  for (const std::string& line : failures.lines) ADD_FAILURE() << line;
  EXPECT_TRUE(failures.wineNotes.empty());
}

using ConformanceTest = SimTest;

// The road win64.conformance plays: system and service first, then the spooler without and with
// the product. The machine is left as found: renames pending, spooler running, no handle open.
TEST_F(ConformanceTest, WinsimAnswersAsWindows) {
  const std::vector<std::u16string> pending{u"\\??\\C:\\a.tmp", u"", u"\\??\\C:\\b.tmp", u"!\\??\\C:\\c.tmp"};
  ExpectNoFailures(conformance::RunSystemChecks(kScratch));
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue));
  SetPendingRenames(pending);
  ExpectNoFailures(conformance::RunSystemChecks(kScratch));
  EXPECT_EQ(PendingRenameStrings(), pending);
  conformance::Failures changes;
  conformance::CheckHeldFiles(changes, kSim, kHeld);
  conformance::CheckServiceAnswers(changes, kSim);
  ExpectNoFailures(changes);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_FALSE(winsim::FileExists(kHeld) || winsim::FileExists(kScratch));

  SetUpSpooler(false, u"");
  ExpectNoFailures(conformance::RunSpoolerQueryChecks({u"Text", nullptr, false, false}));
  conformance::CheckPrinterChanges(changes, false, u"Other printer");
  SetUpSpooler(true, u"Orvandelle");
  ExpectNoFailures(conformance::RunSpoolerQueryChecks({u"Orvandelle", u"Orvandelle", true, true}));
  conformance::CheckMonitorAndDriverChanges(changes, false, u"zelmon64.dll", u"Orvandelle printer");
  ExpectNoFailures(changes);
  EXPECT_EQ(winsim::SimPrinters().size(), 2u) << "the checks' own printers are gone again";
  EXPECT_EQ(winsim::SimMonitors().size(), 2u) << "a monitor in use stays";
  EXPECT_EQ(winsim::OpenPrinterHandles() + winsim::OpenFileHandles() + winsim::OpenServiceHandles(), 0u);
}

// A check that cannot fail is worthless: a machine that answers otherwise fails them, each with
// what it answered, and Wine's answers expected of Windows (or the other way round) are told apart.
TEST_F(ConformanceTest, ChecksFailOnAMachineThatAnswersOtherwise) {
  std::vector<std::string> lines;
  auto add = [&](const conformance::Failures& f) { lines.insert(lines.end(), f.lines.begin(), f.lines.end()); };
  winsim::FailNext("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  add(conformance::RunSystemChecks(kScratch));
  conformance::Failures idle;  // holds nothing, refuses nothing
  conformance::CheckHeldFiles(idle, {[](const char16_t* p, Hold) { return winsim::PutFile(p, "MZ"), true; },
                                     [](const char16_t*) {}, [](Refusal) { return true; }, [](Refusal) {}}, kHeld);
  conformance::CheckServiceAnswers(idle, {nullptr, nullptr, [](Refusal) { return true; }, [](Refusal) {}});
  add(idle);
  SetUpSpooler(false, u"Text");
  winsim::SetSimPrinterValue(u"Text", {winsim::kPlainPrinterDataKey, "ConformanceNeverWritten", REG_SZ, {'x', 0}});
  winsim::FailNext("EnumMonitorsW", 1, ERROR_INVALID_PARAMETER);
  add(conformance::RunSpoolerQueryChecks({u"Text", nullptr, true, true}));
  conformance::Failures wine;
  conformance::CheckPrinterChanges(wine, true, u"Other printer");
  add(wine);
  SetUpSpooler(true, u"Orvandelle");
  winsim::SetWineDriverDeletion(true);
  conformance::Failures windows;
  conformance::CheckMonitorAndDriverChanges(windows, false, u"zelmon64.dll", u"Orvandelle printer");
  add(windows);
  const char* held[] = {"(loaded): DeleteFileW: got 0, expected 5", "(loaded): opened for writing: got 0, expected 32",
                        "(opened, share 0): DeleteFileW: got 0, expected 32",
                        "(opened, share 0): opened for writing: got 0, expected 32",
                        "(opened, share 0): opened for reading: got 0, expected 32",
                        "(opened, share read): DeleteFileW: got 0, expected 32",
                        "(opened, share read): opened for writing: got 0, expected 32"};
  std::vector<std::string> expected = {"MoveFileExW: a deletion at the next start: got 5, expected 0",
                                       "MoveFileExW: the list's type: got 0, expected 7",
                                       "MoveFileExW: \"\\??\\\" and the path, then an empty string, appended"};
  for (const char* line : held) expected.push_back(std::string("held file ") + line);
  for (const char* line : {"service: starting a disabled one: got 0, expected 1058", "service: started ignoring STOP",
                           "service: a stop it does not accept: got 0, expected 1052",
                           "service: still running after the refused stop", "service: stops after the refusals",
                           "size query: EnumMonitorsW: got 87, expected 122", "size query: EnumMonitorsW names a size",
                           "monitor list: own monitor found", "driver list: own driver found at level 6",
                           "snapshot: exactly the default printer is marked", "default printer: none set: got 0, expected 2",
                           "GetPrinterDataA: a missing value: got 0, expected 2",
                           "AddPrinterW: a name that exists: got 1802, expected 0",
                           "AddPrinterW: a port no monitor provides: got 1796, expected 0",
                           "default printer: Wine makes the first listed one it",
                           "DeletePrinterDriverExW: with files, in use: got 87, expected 3001",
                           "DeletePrinterDriverExW: without files, in use: got 0, expected 3001"})
    expected.push_back(line);
  EXPECT_EQ(lines, expected);
}

}  // namespace
