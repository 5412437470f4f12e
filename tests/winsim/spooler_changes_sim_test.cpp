// The simulated spooler where the host's rows lean on what Windows' spooler does and Wine's does
// otherwise (old_monitor_held_by_spooler_cleared_with_one_restart,
// install_reports_restart_for_held_staged_copies, spooler_that_cannot_start_fails_each_step_once,
// printers_carried_over_when_spooler_was_stopped): the files it loads, and a stopped spooler.
#include <functional>

#include "conformance/checks.h"
#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

namespace {

const std::u16string kMonitorDll = u"C:\\Windows\\system32\\zelmon64.dll";
const std::u16string kStaged = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const std::u16string kInstalled = kStaged + u"3\\";

using conformance::Answered;
WCHAR* W16(const char16_t* text) { return const_cast<WCHAR*>(text); }

class SpoolerChangesSimTest : public SimTest {
 protected:
  // The driver's three files staged in the driver directory, as the installer stages them.
  void SetUp() override {
    SimTest::SetUp();
    winsim::AddLocalPortMonitor();
    const char16_t* names[] = {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"};
    for (int i = 0; i < 3; i++) winsim::PutFile(staged[i] = kStaged + names[i], "v2 " + std::to_string(i));
    driver.cVersion = 3;
    driver.pName = W16(kProductDriver);
    driver.pEnvironment = W16(u"Windows x64");
    driver.pDriverPath = driver.pDataFile = &staged[0][0];
    driver.pConfigFile = &staged[1][0];
    driver.pHelpFile = &staged[2][0];
  }

  BOOL AddDriver() { return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver), APD_COPY_ALL_FILES); }

  std::u16string staged[3];
  DRIVER_INFO_6W driver{};
  MONITOR_INFO_2W monitor{W16(u"Orvandelle:"), W16(u"Windows x64"), W16(u"zelmon64.dll")};
};

// The spooler's process loads a monitor's DLL, which must be there, and the installed copies of
// the driver and its configuration module. Deleting the monitor lets go of its DLL and leaves
// it; deleting the driver deletes its files, a file held elsewhere moved aside to go at the next
// start.
TEST_F(SpoolerChangesSimTest, LoadedFilesAreLetGoOrMovedAsTheSpoolerDeletes) {
  auto* monitorInfo = reinterpret_cast<LPBYTE>(&monitor);
  EXPECT_EQ(Answered(AddMonitorW(nullptr, 2, monitorInfo)), DWORD(ERROR_MOD_NOT_FOUND));
  winsim::PutFile(kMonitorDll, "MZ");
  ASSERT_TRUE(AddMonitorW(nullptr, 2, monitorInfo));
  ASSERT_TRUE(AddDriver());
  const std::u16string ui = kInstalled + u"zelui64.dll";
  EXPECT_EQ(winsim::FileContents(ui), "v2 1");
  EXPECT_TRUE(winsim::IsHeld(kMonitorDll) && winsim::IsHeld(kInstalled + u"zeldrv64.dll") && winsim::IsHeld(ui));
  EXPECT_FALSE(winsim::IsHeld(kInstalled + u"zelhelp.chm"));
  EXPECT_TRUE(DeleteFileW(staged[0].c_str())) << "the staged copies are free";

  EXPECT_TRUE(DeleteMonitorW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle:")));
  EXPECT_EQ(winsim::SimMonitors().size(), 1u);
  EXPECT_FALSE(winsim::IsHeld(kMonitorDll));
  EXPECT_TRUE(winsim::FileExists(kMonitorDll)) << "the spooler never deletes a monitor's DLL";
  winsim::HoldFile(ui, winsim::kInstallerProcess);  // the installer loaded it itself
  ASSERT_TRUE(DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(kProductDriver), DPD_DELETE_ALL_FILES, 0));
  EXPECT_TRUE(winsim::SimDrivers().empty());
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
    EXPECT_FALSE(winsim::FileExists(kInstalled + name));
  const std::u16string moved = kInstalled + u"Old\\1\\zelui64.dll";
  EXPECT_EQ(winsim::FileContents(moved), "v2 1");
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{DelayedDeletion(moved), u""}));
}

// A stopped spooler refuses every change with 1722 and lets go of its files; started again it
// has kept everything and loads them again, but the handles from before the stop are gone.
TEST_F(SpoolerChangesSimTest, StoppedSpoolerRefusesEveryChange) {
  winsim::PutFile(kMonitorDll, "MZ");
  ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)));
  ASSERT_TRUE(AddDriver());
  winsim::AddSimPrinter(PrinterOn(u"Office", kProductDriver, u"LPT1:"));
  PRINTER_DEFAULTSW all{nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(W16(u"Office"), &printer, &all));
  PRINTER_INFO_2W info{};
  info.pPrinterName = W16(u"New");
  info.pPortName = W16(u"LPT1:");
  info.pDriverName = W16(kProductDriver);
  info.pPrintProcessor = W16(u"WinPrint");
  winsim::SpoolerServiceStopped();
  EXPECT_FALSE(winsim::IsHeld(kInstalled + u"zelui64.dll")) << "a stopped spooler lets go of its files";

  char name[] = "SubKey", data[] = "K";
  auto* bytes = reinterpret_cast<LPBYTE>(data);
  const std::pair<const char*, std::function<DWORD()>> refused[] = {
      {"AddMonitorW", [&] { return Answered(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor))); }},
      {"DeleteMonitorW", [&] { return Answered(DeleteMonitorW(nullptr, nullptr, W16(u"Orvandelle:"))); }},
      {"AddPrinterDriverExW", [&] { return Answered(AddDriver()); }},
      {"DeletePrinterDriverExW",
       [&] {
         return Answered(DeletePrinterDriverExW(nullptr, nullptr, W16(kProductDriver), DPD_DELETE_ALL_FILES, 0));
       }},
      {"SetPrinterW", [&] { return Answered(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE)); }},
      {"AddPrinterW", [&] { return Answered(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)) != nullptr); }},
      {"DeletePrinter", [&] { return Answered(DeletePrinter(printer)); }},
      {"SetPrinterDataA", [&] { return SetPrinterDataA(printer, name, REG_SZ, bytes, 2); }},
  };
  for (const auto& call : refused) EXPECT_EQ(call.second(), DWORD(RPC_S_SERVER_UNAVAILABLE)) << call.first;

  winsim::SpoolerServiceStarted();
  EXPECT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_EQ(winsim::SimMonitors().size(), 2u);
  EXPECT_TRUE(winsim::FindSimPrinter(u"Office"));
  EXPECT_TRUE(winsim::IsHeld(kInstalled + u"zelui64.dll")) << "loaded again";
  EXPECT_EQ(SetPrinterDataA(printer, name, REG_SZ, bytes, 2), DWORD(ERROR_INVALID_HANDLE))
      << "handles from before the stop are gone";
}

}  // namespace
