// The simulated spooler's changing calls where the installer relies on Windows' answers: which
// monitors, drivers and printers it refuses to add, change or delete and with what code, which
// files it copies, holds, lets go of and deletes.
#include <functional>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

namespace {

const std::u16string kSystem = u"C:\\Windows\\system32";
const std::u16string kDrivers = u"C:\\Windows\\system32\\spool\\drivers\\x64";
const std::u16string kMonitorDll = kSystem + u"\\zelmon64.dll";
const std::u16string kInstalledDriver = kDrivers + u"\\3\\zeldrv64.dll";
const std::u16string kInstalledUi = kDrivers + u"\\3\\zelui64.dll";
const std::u16string kInstalledHelp = kDrivers + u"\\3\\zelhelp.chm";

WCHAR* W16(const char16_t* text) { return const_cast<WCHAR*>(text); }

class SpoolerChangesSimTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    winsim::AddLocalPortMonitor();
  }

  static void AddOwnMonitor() {
    winsim::PutFile(kMonitorDll, "MZ monitor");
    winsim::AddSimMonitor({u"Orvandelle:", u"Windows x64", u"zelmon64.dll", {u"Orvandelle:"}});
  }

  // The three files staged in the driver directory, as the installer stages them.
  static DRIVER_INFO_6W StagedDriver() {
    winsim::PutFile(kDrivers + u"\\zeldrv64.dll", "driver v2");
    winsim::PutFile(kDrivers + u"\\zelui64.dll", "ui v2");
    winsim::PutFile(kDrivers + u"\\zelhelp.chm", "help v2");
    DRIVER_INFO_6W info{};
    info.cVersion = 3;
    info.pName = W16(u"Orvandelle printer");
    info.pEnvironment = W16(u"Windows x64");
    info.pDriverPath = W16(u"C:\\Windows\\system32\\spool\\drivers\\x64\\zeldrv64.dll");
    info.pDataFile = info.pDriverPath;
    info.pConfigFile = W16(u"C:\\Windows\\system32\\spool\\drivers\\x64\\zelui64.dll");
    info.pHelpFile = W16(u"C:\\Windows\\system32\\spool\\drivers\\x64\\zelhelp.chm");
    info.dwlDriverVersion = 2547;
    info.pszMfgName = W16(u"Corvane");
    info.pszOEMUrl = W16(u"https://corvane.example");
    info.pszProvider = W16(u"Corvane");
    return info;
  }

  static void InstallDriver() {
    DRIVER_INFO_6W info = StagedDriver();
    ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
  }

  static void AddPrinter(const std::u16string& name, const std::u16string& port, DWORD jobs = 0) {
    winsim::SimPrinter printer = PrinterOn(name, kProductDriver, port);
    printer.jobs = jobs;
    winsim::AddSimPrinter(printer);
  }

  static HANDLE Open(const char16_t* name, ACCESS_MASK access) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE printer = nullptr;
    EXPECT_TRUE(OpenPrinterW(W16(name), &printer, &defaults));
    return printer;
  }
};

// Its answers once added are the conformance checks'.
TEST_F(SpoolerChangesSimTest, MonitorNeedsItsDllAndLeavesItsFile) {
  MONITOR_INFO_2W info{W16(u"Orvandelle:"), W16(u"Windows x64"), W16(u"zelmon64.dll")};
  auto* bytes = reinterpret_cast<LPBYTE>(&info);
  EXPECT_FALSE(AddMonitorW(nullptr, 2, bytes));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
  winsim::PutFile(kMonitorDll, "MZ");
  ASSERT_TRUE(AddMonitorW(nullptr, 2, bytes));
  EXPECT_TRUE(winsim::IsHeld(kMonitorDll)) << "loaded by the spooler's process";
  EXPECT_TRUE(DeleteMonitorW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle:")));
  EXPECT_FALSE(winsim::IsHeld(kMonitorDll));
  EXPECT_TRUE(winsim::FileExists(kMonitorDll)) << "the spooler never deletes a monitor's DLL";
  EXPECT_EQ(winsim::SimMonitors().size(), 1u);
}

TEST_F(SpoolerChangesSimTest, DriverFilesAreHeldWhileInstalledAndGoWithTheDriver) {
  InstallDriver();
  EXPECT_EQ(winsim::FileContents(kInstalledUi), "ui v2");
  EXPECT_TRUE(winsim::IsHeld(kInstalledDriver));
  EXPECT_TRUE(winsim::IsHeld(kInstalledUi));
  EXPECT_FALSE(winsim::IsHeld(kInstalledHelp));
  EXPECT_TRUE(DeleteFileW((kDrivers + u"\\zeldrv64.dll").c_str())) << "the staged copies are free";

  winsim::HoldFile(kInstalledUi, winsim::kInstallerProcess);  // the installer loaded it itself
  ASSERT_TRUE(
      DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle printer"), DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(winsim::CallsOf("DeletePrinterDriverExW").back().args[3], "0x4");
  EXPECT_TRUE(winsim::SimDrivers().empty());
  EXPECT_FALSE(winsim::FileExists(kInstalledDriver));
  EXPECT_FALSE(winsim::FileExists(kInstalledHelp));
  EXPECT_FALSE(winsim::FileExists(kInstalledUi)) << "moved out of the way";
  std::u16string moved = kDrivers + u"\\3\\Old\\1\\zelui64.dll";
  EXPECT_EQ(winsim::FileContents(moved), "ui v2");
  EXPECT_EQ(PendingRenameStrings(), (std::vector<std::u16string>{NtPath(moved), u""}));
}

PRINTER_INFO_2W OwnPrinterRecord(const char16_t* name) {
  PRINTER_INFO_2W info{};
  info.pPrinterName = W16(name);
  info.pPortName = W16(u"Orvandelle:");
  info.pDriverName = W16(u"Orvandelle printer");
  info.pComment = W16(u"");
  info.pPrintProcessor = W16(u"WinPrint");
  return info;
}

TEST_F(SpoolerChangesSimTest, PrinterWithJobsIsOnlyMarkedUntilItsJobsArePurged) {
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:", 2);
  winsim::SetSimDefaultPrinter(u"Office");
  HANDLE printer = Open(u"Office", DELETE | PRINTER_ACCESS_ADMINISTER);
  ASSERT_TRUE(DeletePrinter(printer));
  ASSERT_TRUE(winsim::FindSimPrinter(u"Office"));
  EXPECT_EQ(winsim::FindSimPrinter(u"Office").value_or(winsim::SimPrinter()).status, DWORD(PRINTER_STATUS_PENDING_DELETION));
  PRINTER_INFO_2W info = OwnPrinterRecord(u"Office");
  info.pPortName = W16(u"LPT1:");
  EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS));
  ASSERT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_FALSE(winsim::FindSimPrinter(u"Office"));
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"");
  ClosePrinter(printer);
}

TEST_F(SpoolerChangesSimTest, StoppedSpoolerRefusesEveryChange) {
  AddOwnMonitor();
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:");
  HANDLE printer = Open(u"Office", PRINTER_ALL_ACCESS);
  DRIVER_INFO_6W driver = StagedDriver();
  MONITOR_INFO_2W monitor{W16(u"Other:"), W16(u"Windows x64"), W16(u"zelmon64.dll")};
  PRINTER_INFO_2W info = OwnPrinterRecord(u"New");
  winsim::SpoolerServiceStopped();
  EXPECT_FALSE(winsim::IsHeld(kInstalledUi)) << "a stopped spooler lets go of its files";

  char name[] = "SubKey", data[] = "K";
  auto* bytes = reinterpret_cast<LPBYTE>(data);
  const std::pair<const char*, std::function<DWORD()>> refused[] = {
      {"AddMonitorW", [&] { return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)) ? 0 : GetLastError(); }},
      {"DeleteMonitorW", [&] { return DeleteMonitorW(nullptr, nullptr, W16(u"Orvandelle:")) ? 0 : GetLastError(); }},
      {"AddPrinterDriverExW",
       [&] { return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver), APD_COPY_ALL_FILES) ? 0 : GetLastError(); }},
      {"DeletePrinterDriverExW",
       [&] { return DeletePrinterDriverExW(nullptr, nullptr, W16(u"Orvandelle printer"), DPD_DELETE_ALL_FILES, 0) ? 0 : GetLastError(); }},
      {"SetPrinterW", [&] { return SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE) ? 0 : GetLastError(); }},
      {"AddPrinterW", [&] { return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)) ? 0 : GetLastError(); }},
      {"DeletePrinter", [&] { return DeletePrinter(printer) ? 0 : GetLastError(); }},
      {"SetPrinterDataA", [&] { return SetPrinterDataA(printer, name, REG_SZ, bytes, 2); }},
  };
  for (const auto& call : refused) EXPECT_EQ(call.second(), DWORD(RPC_S_SERVER_UNAVAILABLE)) << call.first;

  winsim::SpoolerServiceStarted();
  EXPECT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_EQ(winsim::SimMonitors().size(), 2u);
  EXPECT_TRUE(winsim::FindSimPrinter(u"Office"));
  EXPECT_TRUE(winsim::IsHeld(kInstalledUi)) << "loaded again";
  EXPECT_EQ(SetPrinterDataA(printer, name, REG_SZ, bytes, 2), DWORD(ERROR_INVALID_HANDLE))
      << "handles from before the stop are gone";
}

}  // namespace
