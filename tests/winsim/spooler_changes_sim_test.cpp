// The simulated spooler's changing calls where the installer relies on Windows' answers: which
// monitors, drivers and printers it refuses to add, change or delete and with what code, which
// files it copies, holds, lets go of and deletes, and what GetPrinterW shows after SetPrinterW.
#include <cstring>

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
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
    winsim::SimPrinter printer;
    printer.name = name;
    printer.portName = port;
    printer.driverName = u"Orvandelle printer";
    printer.jobs = jobs;
    winsim::AddSimPrinter(printer);
  }

  static HANDLE Open(const char16_t* name, ACCESS_MASK access) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE printer = nullptr;
    EXPECT_TRUE(OpenPrinterW(W16(name), &printer, &defaults));
    return printer;
  }

  static std::vector<std::u16string> PendingRenames() {
    auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
    return value ? winsim::SplitMultiString(value->data) : std::vector<std::u16string>();
  }
};

TEST_F(SpoolerChangesSimTest, MonitorNeedsItsDllIsRefusedWhileInUseAndLeavesItsFile) {
  MONITOR_INFO_2W info{W16(u"Orvandelle:"), W16(u"Windows x64"), W16(u"zelmon64.dll")};
  auto* bytes = reinterpret_cast<LPBYTE>(&info);
  EXPECT_FALSE(AddMonitorW(nullptr, 2, bytes));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
  winsim::PutFile(kMonitorDll, "MZ");
  EXPECT_FALSE(AddMonitorW(nullptr, 1, bytes));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
  ASSERT_TRUE(AddMonitorW(nullptr, 2, bytes));
  EXPECT_EQ(winsim::CallsOf("AddMonitorW")[2].args,
            (std::vector<std::string>{"(null)", "2", "Orvandelle:", "Windows x64", "zelmon64.dll"}));
  EXPECT_TRUE(winsim::IsHeld(kMonitorDll)) << "loaded by the spooler's process";
  EXPECT_FALSE(AddMonitorW(nullptr, 2, bytes));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  EXPECT_EQ(winsim::SimMonitors().back().ports, std::vector<std::u16string>{u"Orvandelle:"});

  InstallDriver();
  AddPrinter(u"Office", u"LPT1:,Orvandelle:");
  EXPECT_FALSE(DeleteMonitorW(nullptr, W16(u"Windows x64"), W16(u"Nowhere:")));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINT_MONITOR));
  EXPECT_FALSE(DeleteMonitorW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle:")));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINT_MONITOR_IN_USE)) << "as Windows (Wine deletes it)";

  // Parked on "file:" the printer no longer holds the monitor.
  HANDLE printer = Open(u"Office", PRINTER_ALL_ACCESS);
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
  reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pPortName = W16(u"LPT1:,file:");
  ASSERT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
  ClosePrinter(printer);
  EXPECT_TRUE(DeleteMonitorW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle:")));
  EXPECT_FALSE(winsim::IsHeld(kMonitorDll));
  EXPECT_TRUE(winsim::FileExists(kMonitorDll)) << "the spooler never deletes a monitor's DLL";
  EXPECT_EQ(winsim::SimMonitors().size(), 1u);
}

TEST_F(SpoolerChangesSimTest, DriverFilesAreCopiedIntoTheVersionFolderAndHeld) {
  DRIVER_INFO_6W info = StagedDriver();
  winsim::RemoveFile(kDrivers + u"\\zelhelp.chm");
  EXPECT_FALSE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(winsim::SimDrivers().empty());
  EXPECT_FALSE(winsim::FileExists(kInstalledDriver)) << "nothing copied before every file was found";

  info = StagedDriver();
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
  EXPECT_EQ(winsim::CallsOf("AddPrinterDriverExW")[1].args.back(), "0x4");
  ASSERT_EQ(winsim::SimDrivers().size(), 1u);
  winsim::SimDriver driver = winsim::SimDrivers()[0];
  EXPECT_EQ(driver.driverPath, kInstalledDriver);
  EXPECT_EQ(driver.dataFile, kInstalledDriver);
  EXPECT_EQ(driver.configFile, kInstalledUi);
  EXPECT_EQ(driver.helpFile, kInstalledHelp);
  EXPECT_EQ(winsim::FileContents(kInstalledUi), "ui v2");
  EXPECT_TRUE(winsim::IsHeld(kInstalledDriver));
  EXPECT_TRUE(winsim::IsHeld(kInstalledUi));
  EXPECT_FALSE(winsim::IsHeld(kInstalledHelp));
  EXPECT_TRUE(DeleteFileW((kDrivers + u"\\zeldrv64.dll").c_str())) << "the staged copies are free";

  std::vector<BYTE> buffer(1000);
  DWORD needed = 0, returned = 0;
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), 1000, &needed, &returned));
  const auto* six = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data());
  EXPECT_EQ(std::u16string(six->pszMfgName), u"Corvane");
  EXPECT_EQ(std::u16string(six->pszOEMUrl), u"https://corvane.example");
  EXPECT_EQ(std::u16string(six->pszProvider), u"Corvane");
  EXPECT_EQ(six->dwlDriverVersion, 2547u);
}

TEST_F(SpoolerChangesSimTest, LevelTwoDriverWithoutHelpAndAnUpgradeOverLoadedFiles) {
  InstallDriver();
  winsim::PutFile(kDrivers + u"\\zeldrv64.dll", "driver v3");
  winsim::PutFile(kDrivers + u"\\zelui64.dll", "ui v3");
  DRIVER_INFO_2W two{3, W16(u"Orvandelle printer"), W16(u"Windows x64"), W16(u"zeldrv64.dll"), W16(u"zeldrv64.dll"),
                     W16(u"zelui64.dll")};
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 2, reinterpret_cast<LPBYTE>(&two), APD_COPY_ALL_FILES))
      << "bare names are taken from the driver directory";
  ASSERT_EQ(winsim::SimDrivers().size(), 1u) << "the same driver replaced";
  EXPECT_EQ(winsim::SimDrivers()[0].helpFile, u"");
  EXPECT_EQ(winsim::FileContents(kInstalledDriver), "driver v3");
  std::u16string moved = kDrivers + u"\\3\\Old\\1\\zeldrv64.dll";
  EXPECT_EQ(winsim::FileContents(moved), "driver v2") << "the loaded copy moved aside";
  EXPECT_EQ(winsim::FileContents(kDrivers + u"\\3\\Old\\1\\zelui64.dll"), "ui v2");
  std::vector<std::u16string> renames = PendingRenames();
  ASSERT_EQ(renames.size(), 4u);
  EXPECT_EQ(renames[0], u"\\??\\" + moved);
  EXPECT_EQ(renames[1], u"");
}

TEST_F(SpoolerChangesSimTest, DriverDeletionRefusedWhileUsedThenDeletesOrMovesItsFiles) {
  InstallDriver();
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle"), DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINTER_DRIVER));
  AddPrinter(u"Office", u"LPT1:");
  EXPECT_FALSE(
      DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle printer"), DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_DRIVER_IN_USE)) << "as Windows (Wine deletes it)";
  EXPECT_EQ(winsim::SimDrivers().size(), 1u);

  HANDLE printer = Open(u"Office", DELETE | PRINTER_ACCESS_ADMINISTER);
  ASSERT_TRUE(DeletePrinter(printer));
  ClosePrinter(printer);
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
  EXPECT_EQ(PendingRenames(), (std::vector<std::u16string>{u"\\??\\" + moved, u""}));
}

TEST_F(SpoolerChangesSimTest, WineDriverDeletionKnob) {
  winsim::SetWineDriverDeletion(true);
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:");
  EXPECT_FALSE(
      DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle printer"), DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(DeletePrinterDriverExW(nullptr, W16(u"Windows x64"), W16(u"Orvandelle printer"), 0, 0))
      << "flag 0 even while a printer uses it";
  EXPECT_TRUE(winsim::SimDrivers().empty());
  EXPECT_TRUE(winsim::FileExists(kInstalledDriver));
  EXPECT_TRUE(winsim::FileExists(kInstalledUi));
}

TEST_F(SpoolerChangesSimTest, SetPrinterWritesTheWholeRecordAndGetPrinterShowsIt) {
  InstallDriver();
  winsim::SimPrinter office;
  office.name = u"Office";
  office.portName = u"LPT1:";
  office.driverName = u"Orvandelle printer";
  office.comment = u"old";
  office.location = u"here";
  office.devMode = winsim::SimDevMode(12);
  office.jobs = 2;
  winsim::AddSimPrinter(office);

  HANDLE user = Open(u"Office", PRINTER_ACCESS_USE);
  HANDLE admin = Open(u"Office", PRINTER_ALL_ACCESS);
  DWORD needed = 0;
  GetPrinterW(admin, 2, nullptr, 0, &needed);
  std::vector<BYTE> before(needed);
  ASSERT_TRUE(GetPrinterW(admin, 2, before.data(), needed, &needed));
  auto* entry = reinterpret_cast<PRINTER_INFO_2W*>(before.data());
  EXPECT_FALSE(SetPrinterW(user, 2, before.data(), 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  entry->pPortName = W16(u"LPT1:,Nowhere:");
  EXPECT_FALSE(SetPrinterW(admin, 2, before.data(), 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PORT)) << "as Windows (Wine takes it)";
  EXPECT_EQ(winsim::FindSimPrinter(u"Office")->portName, u"LPT1:") << "nothing written";

  entry->pPortName = W16(u"COM1:,FILE:");
  entry->pComment = W16(u"new");
  entry->pLocation = nullptr;
  entry->pDevMode = nullptr;
  entry->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  entry->cJobs = 9;
  entry->Status = 7;
  ASSERT_TRUE(SetPrinterW(admin, 2, before.data(), 0));

  GetPrinterW(admin, 2, nullptr, 0, &needed);
  std::vector<BYTE> after(needed + 8, 0xEE);
  ASSERT_TRUE(GetPrinterW(admin, 2, after.data(), needed, &needed));
  const auto* now = reinterpret_cast<const PRINTER_INFO_2W*>(after.data());
  EXPECT_EQ(std::u16string(now->pPortName), u"COM1:,FILE:");
  EXPECT_EQ(std::u16string(now->pComment), u"new");
  ASSERT_NE(now->pLocation, nullptr);
  EXPECT_EQ(std::u16string(now->pLocation), u"") << "a null text is stored empty";
  ASSERT_NE(now->pDevMode, nullptr) << "a null device mode keeps the printer's own";
  EXPECT_EQ(reinterpret_cast<const BYTE*>(now->pDevMode), after.data() + sizeof(PRINTER_INFO_2W));
  EXPECT_EQ(now->Attributes, DWORD(PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL)) << "no default mark kept";
  EXPECT_EQ(now->cJobs, 2u) << "the job count is the spooler's";
  EXPECT_EQ(now->Status, 0u);
  size_t texts = 0;
  for (const WCHAR* text : {now->pPrinterName, now->pPortName, now->pDriverName, now->pComment, now->pLocation,
                            now->pSepFile, now->pPrintProcessor, now->pDatatype, now->pParameters})
    texts += (std::u16string(text).size() + 1) * sizeof(WCHAR);
  EXPECT_EQ(needed, sizeof(PRINTER_INFO_2W) + 232 + texts) << "entry, device mode with its extra padded, texts";
  EXPECT_EQ(after[needed], 0xEE);

  std::vector<BYTE> garbage(80, 0x5A);
  entry->pDevMode = reinterpret_cast<LPDEVMODEW>(garbage.data());
  EXPECT_FALSE(SetPrinterW(admin, 2, before.data(), 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "an invalid device mode";
  ClosePrinter(user);
  ClosePrinter(admin);
}

TEST_F(SpoolerChangesSimTest, PurgeNeedsAdministerAndEmptiesTheQueue) {
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:", 3);
  HANDLE user = Open(u"Office", PRINTER_ACCESS_USE);
  HANDLE admin = Open(u"Office", DELETE | PRINTER_ACCESS_ADMINISTER);
  EXPECT_FALSE(SetPrinterW(user, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  DWORD status = 0;
  EXPECT_FALSE(SetPrinterW(admin, 0, reinterpret_cast<LPBYTE>(&status), PRINTER_CONTROL_PURGE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetPrinterW(admin, 0, nullptr, 9));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_COMMAND));
  EXPECT_EQ(winsim::FindSimPrinter(u"Office")->jobs, 3u);
  ASSERT_TRUE(SetPrinterW(admin, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(winsim::FindSimPrinter(u"Office")->jobs, 0u);

  winsim::SetWinePurge(true);
  EXPECT_FALSE(SetPrinterW(admin, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
  ClosePrinter(user);
  ClosePrinter(admin);
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

TEST_F(SpoolerChangesSimTest, AddPrinterRefusesWhatWindowsRefusesAndHandsBackFullAccess) {
  AddOwnMonitor();
  InstallDriver();
  PRINTER_INFO_2W info = OwnPrinterRecord(u"Orvandelle");
  auto* bytes = reinterpret_cast<LPBYTE>(&info);
  info.pDriverName = W16(u"Orvandelle Printer 2");
  EXPECT_EQ(AddPrinterW(nullptr, 2, bytes), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINTER_DRIVER));
  info.pDriverName = W16(u"Orvandelle printer");
  info.pPortName = W16(u"Orvandelle2:");
  EXPECT_EQ(AddPrinterW(nullptr, 2, bytes), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PORT)) << "as Windows (Wine takes it)";
  info.pPortName = W16(u"Orvandelle:");
  EXPECT_TRUE(winsim::SimPrinters().empty());

  HANDLE printer = AddPrinterW(nullptr, 2, bytes);
  ASSERT_NE(printer, nullptr);
  winsim::SimPrinter added = *winsim::FindSimPrinter(u"Orvandelle");
  EXPECT_EQ(added.datatype, u"RAW") << "the print processor's default for a null data type";
  EXPECT_EQ(added.attributes, DWORD(PRINTER_ATTRIBUTE_LOCAL));
  EXPECT_EQ(winsim::CallsOf("AddPrinterW").back().args,
            (std::vector<std::string>{"(null)", "2", "Orvandelle", "Orvandelle:", "Orvandelle printer", "WinPrint",
                                      "(null)"}));
  char key[] = "K1";
  EXPECT_EQ(SetPrinterDataA(printer, const_cast<char*>("SubKey"), REG_SZ, reinterpret_cast<LPBYTE>(key), 3), 0u);
  EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE)) << "the new handle may administer";
  EXPECT_TRUE(DeletePrinter(printer)) << "and delete";
  EXPECT_TRUE(ClosePrinter(printer));

  printer = AddPrinterW(nullptr, 2, bytes);
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(AddPrinterW(nullptr, 2, bytes), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS)) << "as Windows (Wine adds a second)";
  ClosePrinter(printer);

  winsim::SetWineNullDatatype(true);
  PRINTER_INFO_2W other = OwnPrinterRecord(u"Other");
  EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&other)), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_NAME));
  other.pDatatype = W16(u"RAW");
  printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&other));
  EXPECT_NE(printer, nullptr);
  ClosePrinter(printer);
}

TEST_F(SpoolerChangesSimTest, DeletedPrinterTakesItsDataAndTheDefaultMarkWithIt) {
  AddOwnMonitor();
  InstallDriver();
  AddPrinter(u"Orvandelle", u"Orvandelle:");
  AddPrinter(u"Office", u"LPT1:");
  winsim::SetSimDefaultPrinter(u"Orvandelle");
  winsim::SetSimPrinterValue(u"Orvandelle", {winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, {'K', 0}});

  HANDLE administer = Open(u"Orvandelle", PRINTER_ACCESS_ADMINISTER);
  EXPECT_FALSE(DeletePrinter(administer));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << "deleting needs DELETE";
  HANDLE printer = Open(u"Orvandelle", DELETE | PRINTER_ACCESS_ADMINISTER);
  ASSERT_TRUE(DeletePrinter(printer));
  EXPECT_FALSE(winsim::FindSimPrinter(u"Orvandelle"));
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"") << "no default, as Windows (Wine picks the first printer)";
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(administer, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << "the other handle's printer is gone";
  EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, W16(u"Orvandelle:"))) << "its port is free";
  ClosePrinter(administer);
  ClosePrinter(printer);

  AddOwnMonitor();
  PRINTER_INFO_2W info = OwnPrinterRecord(u"Orvandelle");
  printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  ASSERT_NE(printer, nullptr);
  char buffer[64];
  DWORD type = 0;
  EXPECT_EQ(GetPrinterDataA(printer, const_cast<char*>("SubKey"), &type, reinterpret_cast<LPBYTE>(buffer), 64, &needed),
            DWORD(ERROR_FILE_NOT_FOUND))
      << "a new printer of the old name has none of its data";
  ClosePrinter(printer);
}

TEST_F(SpoolerChangesSimTest, PrinterWithJobsIsOnlyMarkedUntilItsJobsArePurged) {
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:", 2);
  winsim::SetSimDefaultPrinter(u"Office");
  HANDLE printer = Open(u"Office", DELETE | PRINTER_ACCESS_ADMINISTER);
  ASSERT_TRUE(DeletePrinter(printer));
  ASSERT_TRUE(winsim::FindSimPrinter(u"Office"));
  EXPECT_EQ(winsim::FindSimPrinter(u"Office")->status, DWORD(PRINTER_STATUS_PENDING_DELETION));
  PRINTER_INFO_2W info = OwnPrinterRecord(u"Office");
  info.pPortName = W16(u"LPT1:");
  EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS));
  ASSERT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_FALSE(winsim::FindSimPrinter(u"Office"));
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"");
  ClosePrinter(printer);
}

TEST_F(SpoolerChangesSimTest, PrinterDataReadsBackAsStoredWithWindowsSizes) {
  InstallDriver();
  AddPrinter(u"Office", u"LPT1:");
  HANDLE user = Open(u"Office", PRINTER_ACCESS_USE);
  HANDLE admin = Open(u"Office", PRINTER_ALL_ACCESS);
  std::string key63(63, 'a'), key64(64, 'b');
  char subKey[] = "SubKey";
  EXPECT_EQ(SetPrinterDataA(user, subKey, REG_SZ, reinterpret_cast<LPBYTE>(&key63[0]), 64), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SetPrinterDataA(admin, subKey, REG_SZ, reinterpret_cast<LPBYTE>(&key63[0]), 64), 0u);
  EXPECT_EQ(SetPrinterDataExA(admin, "DsUser", "SubKey", REG_SZ, reinterpret_cast<LPBYTE>(&key64[0]), 65), 0u);
  EXPECT_EQ(winsim::SimPrinterValueOf(u"Office", "PrinterDriverData", "SubKey")->data.size(), 64u);
  EXPECT_EQ(winsim::CallsOf("SetPrinterDataExA")[0].args,
            (std::vector<std::string>{winsim::Ptr(admin), "DsUser", "SubKey", "1", "65"}));

  char buffer[64];
  DWORD type = 0, needed = 0;
  ASSERT_EQ(GetPrinterDataA(user, subKey, &type, reinterpret_cast<LPBYTE>(buffer), 64, &needed), 0u)
      << "reading needs no more than use";
  EXPECT_EQ(needed, 64u) << "63 characters and their terminator fit";
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(std::string(buffer), key63);
  EXPECT_EQ(GetPrinterDataExA(user, "dsuser", "SUBKEY", &type, reinterpret_cast<LPBYTE>(buffer), 64, &needed),
            DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 65u);
  EXPECT_EQ(GetPrinterDataExA(user, "DsSpooler", "SubKey", &type, reinterpret_cast<LPBYTE>(buffer), 64, &needed),
            DWORD(ERROR_FILE_NOT_FOUND));
  char other[] = "Other";
  EXPECT_EQ(GetPrinterDataA(user, other, &type, reinterpret_cast<LPBYTE>(buffer), 64, &needed),
            DWORD(ERROR_FILE_NOT_FOUND));
  ClosePrinter(user);
  ClosePrinter(admin);
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

  const DWORD down = RPC_S_SERVER_UNAVAILABLE;
  EXPECT_FALSE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)));
  EXPECT_EQ(GetLastError(), down);
  EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, W16(u"Orvandelle:")));
  EXPECT_EQ(GetLastError(), down);
  EXPECT_FALSE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), down);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, W16(u"Orvandelle printer"), DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), down);
  EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(GetLastError(), down);
  EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), nullptr);
  EXPECT_EQ(GetLastError(), down);
  EXPECT_FALSE(DeletePrinter(printer));
  EXPECT_EQ(GetLastError(), down);
  char name[] = "SubKey", data[] = "K";
  DWORD type = 0, needed = 0;
  EXPECT_EQ(SetPrinterDataA(printer, name, REG_SZ, reinterpret_cast<LPBYTE>(data), 2), down);
  EXPECT_EQ(SetPrinterDataExA(printer, "DsUser", name, REG_SZ, reinterpret_cast<LPBYTE>(data), 2), down);
  EXPECT_EQ(GetPrinterDataA(printer, name, &type, reinterpret_cast<LPBYTE>(data), 2, &needed), down);
  EXPECT_EQ(GetPrinterDataExA(printer, "DsUser", name, &type, reinterpret_cast<LPBYTE>(data), 2, &needed), down);

  winsim::SpoolerServiceStarted();
  EXPECT_EQ(winsim::SimDrivers().size(), 1u);
  EXPECT_EQ(winsim::SimMonitors().size(), 2u);
  EXPECT_TRUE(winsim::FindSimPrinter(u"Office"));
  EXPECT_TRUE(winsim::IsHeld(kInstalledUi)) << "loaded again";
  EXPECT_EQ(SetPrinterDataA(printer, name, REG_SZ, reinterpret_cast<LPBYTE>(data), 2), DWORD(ERROR_INVALID_HANDLE))
      << "handles from before the stop are gone";
}

}  // namespace
