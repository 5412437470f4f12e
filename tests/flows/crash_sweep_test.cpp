// A reinstall whose process dies: before each platform call of its clean run in turn, the run
// stops dead (winsim ends the process as Windows ends one that died: handles closed, mutexes
// abandoned, the spooler left as it was). A plain install then runs to its end and must leave
// the whole product: every printer with every setting carried over, the default, the driver,
// the monitor and the tray, no record of printers still to carry over, nothing leaked. Then a
// sample of double deaths, mended by a third run. SQLite's crash tests, for an installer.
#include <chrono>
#include <cstdio>
#include <set>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kRecordKey[] = u"SOFTWARE\\Corvane\\Orvandelle\\Carried printers";
const char16_t kHeldFile[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\zelui64.dll";
const int kOtherProgram = 7;

// Whether the tray program's Run value names it.
bool TrayRegistered() {
  auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray");
  auto strings = value ? winsim::SplitMultiString(value->data) : std::vector<std::u16string>();
  return !strings.empty() && strings[0] == kTrayPath;
}

// What a re-created printer must have again, in one comparable text.
std::string Carried(const winsim::SimPrinter& p) {
  const DWORD kept = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_SHARED |
                     PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST |
                     PRINTER_ATTRIBUTE_ENABLE_BIDI;
  std::set<std::string> keyTexts;  // the settings key, plain and under "DsUser": written back both ways
  for (const auto& value : p.data)
    if (value.name == "SubKey") keyTexts.insert(std::string(value.data.begin(), value.data.end()));
  std::string keys;
  for (const std::string& key : keyTexts) keys += key + ";";
  return winsim::Utf8(p.name + u"|" + p.portName + u"|" + p.comment + u"|" + p.location + u"|" +
                      p.shareName.value_or(u"(none)") + u"|" + p.sepFile) +
         "|" + winsim::Hex(p.attributes & kept) + "|" + std::to_string(p.priority) + "/" +
         std::to_string(p.defaultPriority) + "|" + std::to_string(p.startTime) + "-" + std::to_string(p.untilTime) +
         "|" + std::to_string(p.securityDescriptor.size()) + " " +
         std::string(p.securityDescriptor.begin(), p.securityDescriptor.end()) + "|" + keys;
}

std::set<std::string> ProductPrinters() {
  std::set<std::string> found;
  for (const auto& printer : winsim::SimPrinters())
    if (printer.driverName == kProductDriver) found.insert(Carried(printer));
  return found;
}

// Owner Administrators, a DACL letting one group print: what an administrator sets on a queue.
std::vector<BYTE> OneGroupMayPrint() {
  return {1,  0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 5,
          32, 0, 0,    0,    0x20, 2, 0, 0, 2, 0, 44, 0, 1, 0, 0, 0, 0, 0, 36, 0, 8, 0, 0, 0, 1, 5, 0, 0,
          0,  0, 0,    5,    21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xF5, 3, 0, 0};
}

// The product of an earlier build in use: the tray running, four printers (among them the
// default; a shared queue with permissions and every carried setting; one whose key is only
// under "DsUser"), another maker's printer, a driver file another program holds, and a spooler
// that lets go of the old monitor only when it stops.
void ReinstallMachine() {
  winsim::ResetMachine();
  PrepareProductMachine(2450);
  winsim::LaunchTrayOnStart({winsim::TrayAnswer::Quits, 300, true, kTrayPath});
  RunInstaller(u"install");
  PutInstallerFiles(2547);
  winsim::SetSimPrinterValue(u"Orvandelle", {winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, {'K', '-', 'o', 0}});
  AddProductPrinter(u"Front", "K-front");
  winsim::PutFile(u"C:\\Windows\\system32\\pcl.sep", "separator");
  winsim::SimPrinter sales = PrinterOn(u"Sales", kProductDriver, u"Orvandelle:");
  sales.comment = u"Sales floor";
  sales.location = u"Second floor";
  sales.shareName = u"SALES";
  sales.attributes = PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_ENABLE_BIDI;
  sales.priority = 7;
  sales.defaultPriority = 3;
  sales.sepFile = u"pcl.sep";
  sales.startTime = 480;
  sales.untilTime = 1080;
  sales.securityDescriptor = OneGroupMayPrint();
  sales.data = {{winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, {'K', '-', 's', 0}},
                {"DsUser", "SubKey", REG_SZ, {'K', '-', 's', 0}}};
  winsim::AddSimPrinter(sales);
  winsim::SimPrinter back = PrinterOn(u"Back", kProductDriver, u"Orvandelle:");
  back.data = {{"DsUser", "SubKey", REG_SZ, {'K', '-', 'b', 0}}};
  winsim::AddSimPrinter(back);
  AddOtherMakersPrinter();
  winsim::SetSimDefaultPrinter(u"Front");
  winsim::HoldFile(kHeldFile, kOtherProgram);
  winsim::KeepDeletedMonitorsLoaded(true);  // the old monitor goes with the spooler stopped
}

class CrashSweepTest : public SimTest {
 protected:
  // The plain install after the deaths, and what it must leave.
  void Mend(const std::string& where) {
    winsim::ClearFaults();
    winsim::ClearCalls();
    int32_t code = RunInstaller(u"install");
    std::string errors;
    for (const std::string& line : code == 100 ? ShownLogLines() : Lines())
      if (line.find("Error(") != std::string::npos) errors += "\n  " + line;
    EXPECT_TRUE(code == 1 || code == 101) << where << "the mending install ended with " << code << errors;
    if (code == 101) {
      restarts++;
      for (const std::u16string& path : PendingRenameStrings())
        EXPECT_TRUE(path.empty() || winsim::IsHeld(path.substr(4)))
            << where << winsim::Utf8(path) << " waits, not held";
    }
    EXPECT_EQ(ProductPrinters(), printers_) << where << "printers and their settings";
    EXPECT_EQ(winsim::Utf8(winsim::SimDefaultPrinter()), "Front") << where << "default printer";
    auto office = winsim::FindSimPrinter(u"Office");
    EXPECT_EQ(office ? Carried(*office) : "(gone)", office_) << where << "another maker's printer";
    EXPECT_TRUE(OwnMonitorRegistered()) << where << "monitor";
    EXPECT_TRUE(ProductDriverInstalled()) << where << "driver";
    const auto& starts = winsim::ProcessStarts();
    EXPECT_TRUE(TrayRegistered() && !starts.empty() && winsim::ProcessRunning(starts.back().process))
        << where << "tray program";
    EXPECT_FALSE(winsim::KeyExists(HKEY_LOCAL_MACHINE, kRecordKey)) << where << "the record is left behind";
    EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING)) << where << "spooler";
    EXPECT_EQ(winsim::LiveBlocks(), 0u) << where << "blocks leaked";
    EXPECT_EQ(winsim::BadReleases(), 0u) << where << "blocks released wrongly";
    EXPECT_EQ(OpenHandles() + winsim::OpenEventSources(), 0u) << where << "handles left open";
  }

  // A run that dies before its call at `index`; false when it ended before getting there.
  static bool Die(size_t index) {
    winsim::ClearCalls();
    winsim::DieAtCall(index);
    int32_t code = RunInstallerThatMayDie(u"install");
    winsim::ClearFaults();
    return code == kDied;
  }

  // The product printers a clean reinstall leaves, and another maker's printer as it was.
  std::set<std::string> printers_;
  std::string office_;
  int restarts = 0;
};

// Each run takes a few milliseconds in the sanitizer build; the sample of double deaths keeps
// the whole sweep within seconds.
const size_t kDoubleDeathSteps = 12;

TEST_F(CrashSweepTest, EveryDeathIsMendedByTheNextInstall) {
  auto started = std::chrono::steady_clock::now();
  ReinstallMachine();
  std::set<std::string> before = ProductPrinters();
  office_ = Carried(*winsim::FindSimPrinter(u"Office"));
  winsim::ClearCalls();
  int32_t clean = RunInstaller(u"install");
  ASSERT_TRUE(clean == 1 || clean == 101) << "clean run ended with " << clean;
  size_t calls = winsim::Calls().size();
  printers_ = ProductPrinters();
  ASSERT_EQ(printers_, before) << "the clean run carries every printer over with its settings";
  int points = 0;
  for (size_t k = 0; k < calls; k++) {
    ReinstallMachine();
    ASSERT_TRUE(Die(k)) << "the run is not played the same way: it ended before call " << k;
    Mend("death before call #" + std::to_string(k) + ": ");
    points++;
    if (HasFailure()) break;
  }
  int doubles = 0;
  for (size_t k = calls / kDoubleDeathSteps / 2; k < calls; k += calls / kDoubleDeathSteps)
    for (size_t j : {size_t(3), calls / 5, calls / 2, calls - calls / 8}) {
      ReinstallMachine();
      ASSERT_TRUE(Die(k));
      if (!Die(j)) winsim::ClearFaults();  // the second run finished before call j
      Mend("deaths before call #" + std::to_string(k) + " then #" + std::to_string(j) + ": ");
      doubles++;
    }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%d crash points and %d double deaths in %.1f s; %d mending installs ended with 101 (a file another "
              "program holds waits for the restart)\n",
              points, doubles, seconds, restarts);
  RecordProperty("crash_points", points);
}

}  // namespace
