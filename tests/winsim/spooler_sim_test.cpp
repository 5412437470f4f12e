// The simulated spooler's answers where the installer relies on Windows' behaviour: layout of
// the caller's buffer, size queries, the default printer, handles and a stopped service.
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

namespace {

class SpoolerSimTest : public SimTest {
 protected:
  static void AddPrinter(const std::u16string& name, size_t devModeBytes = 0) {
    winsim::SimPrinter printer;
    printer.name = name;
    printer.portName = u"LPT1:";
    printer.driverName = u"D";
    printer.comment = u"c";
    printer.devMode.assign(devModeBytes, 0x5A);
    winsim::AddSimPrinter(printer);
  }

  static size_t TextBytes(const WCHAR* text) { return text ? (std::u16string(text).size() + 1) * sizeof(WCHAR) : 0; }
};

TEST_F(SpoolerSimTest, EntriesComeFirstThenExactlyTheirStrings) {
  AddPrinter(u"First", 222);
  AddPrinter(u"Second");
  DWORD needed = 0, returned = 7;
  EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(returned, 0u);
  std::vector<BYTE> buffer(needed + 16, 0xEE);
  EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, buffer.data(), needed - 1, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(EnumPrintersW(6, nullptr, 2, buffer.data(), needed, &needed, &returned));
  ASSERT_EQ(returned, 2u);

  const BYTE* stringsStart = buffer.data() + 2 * sizeof(PRINTER_INFO_2W);
  const BYTE* end = buffer.data() + needed;
  size_t bytes = 0;
  for (int i = 0; i < 2; i++) {
    const auto& entry = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())[i];
    const WCHAR* texts[] = {entry.pPrinterName, entry.pPortName, entry.pDriverName, entry.pComment, entry.pLocation,
                            entry.pSepFile, entry.pPrintProcessor, entry.pDatatype, entry.pParameters};
    for (const WCHAR* text : texts) {
      ASSERT_NE(text, nullptr);
      EXPECT_TRUE(reinterpret_cast<const BYTE*>(text) >= stringsStart && reinterpret_cast<const BYTE*>(text) < end);
      bytes += TextBytes(text);
    }
    EXPECT_EQ(entry.pServerName, nullptr);
    EXPECT_EQ(entry.pShareName, nullptr);
    EXPECT_EQ(entry.Attributes & PRINTER_ATTRIBUTE_LOCAL, DWORD(PRINTER_ATTRIBUTE_LOCAL)) << "as Windows, not Wine";
  }
  const auto* first = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first->pDevMode) % 8, 0u);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(first->pDevMode)[221], 0x5A);
  EXPECT_EQ(needed, 2 * sizeof(PRINTER_INFO_2W) + 224 + bytes) << "entries, the padded device mode, the strings";
  EXPECT_EQ(buffer[needed], 0xEE) << "nothing written past the size needed";
}

TEST_F(SpoolerSimTest, EnumerationEdgesAsWindows) {
  DWORD needed = 5, returned = 5;
  EXPECT_TRUE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned)) << "nothing to list succeeds";
  EXPECT_EQ(needed + returned, 0u);
  winsim::AddLocalPortMonitor();
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 100, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
  EXPECT_FALSE(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 7, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, const_cast<WCHAR*>(u"Windows 11"), 1, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ENVIRONMENT));

  std::vector<BYTE> buffer(200);
  EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned);
  ASSERT_TRUE(EnumMonitorsW(nullptr, 2, buffer.data(), needed, &needed, &returned));
  const auto* monitor = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data());
  EXPECT_EQ(std::u16string(monitor->pEnvironment), u"Windows x64") << "the monitor's own environment (Wine: x86)";
  EXPECT_EQ(needed, sizeof(MONITOR_INFO_2W) + TextBytes(u"Local Port") + TextBytes(u"Windows x64") +
                        TextBytes(u"localspl.dll"));
}

TEST_F(SpoolerSimTest, DriverLevelsCarryTheirOwnFields) {
  winsim::SimDriver driver;
  driver.name = u"D";
  driver.driverPath = u"d.dll";
  driver.dataFile = u"d.dll";
  driver.configFile = u"ui.dll";
  driver.dependentFiles = {u"x", u"yy"};
  driver.driverFileVersion = 2547;
  driver.provider = u"Corvane";
  winsim::AddSimDriver(driver);
  driver.environment = u"Windows NT x86";
  winsim::AddSimDriver(driver);
  size_t base = TextBytes(u"D") + TextBytes(u"Windows x64") + 2 * TextBytes(u"d.dll") + TextBytes(u"ui.dll");
  size_t expected[] = {0, sizeof(DRIVER_INFO_1W) + TextBytes(u"D"), sizeof(DRIVER_INFO_2W) + base,
                       sizeof(DRIVER_INFO_3W) + base + 6 * sizeof(WCHAR), sizeof(DRIVER_INFO_4W) + base + 6 * sizeof(WCHAR),
                       sizeof(DRIVER_INFO_5W) + base, sizeof(DRIVER_INFO_6W) + base + 6 * sizeof(WCHAR) + TextBytes(u"Corvane")};
  for (DWORD level = 1; level <= 6; level++) {
    DWORD needed = 0, returned = 0;
    EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &returned);
    EXPECT_EQ(needed, expected[level]) << "level " << level;
  }
  std::vector<BYTE> buffer(1000);
  DWORD needed = 0, returned = 0;
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, const_cast<WCHAR*>(u"all"), 5, buffer.data(), 1000, &needed, &returned));
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(reinterpret_cast<DRIVER_INFO_5W*>(buffer.data())->dwDriverVersion, 2547u);
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 3, buffer.data(), 1000, &needed, &returned));
  const WCHAR* files = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data())->pDependentFiles;
  EXPECT_EQ(std::u16string(files, 6), std::u16string(u"x\0yy\0\0", 6));
  EXPECT_EQ(reinterpret_cast<DRIVER_INFO_3W*>(buffer.data())->pHelpFile, nullptr);
}

TEST_F(SpoolerSimTest, DefaultPrinterQueriesAsTheOrdinals) {
  AddPrinter(u"Office");
  WCHAR name[8] = {0};
  DWORD chars = 8;
  EXPECT_FALSE(SpoolerGetDefaultPrinterW(name, &chars));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(SpoolerSetDefaultPrinterW(u"Nowhere"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_NAME));
  EXPECT_TRUE(SpoolerSetDefaultPrinterW(u"OFFICE"));
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"Office") << "the printer's own spelling";
  chars = 6;
  EXPECT_FALSE(SpoolerGetDefaultPrinterW(name, &chars));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(chars, 7u) << "length + 1";
  EXPECT_TRUE(SpoolerGetDefaultPrinterW(name, &chars));
  EXPECT_EQ(std::u16string(name), u"Office");
}

TEST_F(SpoolerSimTest, StoppedSpoolerRefusesCallsDropsHandlesAndLetsGoOfItsFiles) {
  std::u16string dll = u"C:\\Windows\\system32\\zelmon64.dll";
  winsim::PutFile(dll, "MZ");
  winsim::AddSimMonitor({u"Orvandelle:", u"Windows x64", u"zelmon64.dll", {u"Orvandelle:"}});
  AddPrinter(u"P");
  winsim::SetSimDefaultPrinter(u"P");
  EXPECT_TRUE(winsim::IsHeld(dll));
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(u"P"), &printer, nullptr));

  winsim::SpoolerServiceStopped();
  EXPECT_FALSE(winsim::IsHeld(dll));
  DWORD needed = 0, returned = 0;
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
  WCHAR name[8];
  DWORD chars = 8;
  EXPECT_TRUE(SpoolerGetDefaultPrinterW(name, &chars)) << "read from the per-user setting, no spooler needed";

  winsim::SpoolerServiceStarted();
  EXPECT_TRUE(winsim::IsHeld(dll));
  EXPECT_FALSE(ClosePrinter(printer)) << "the handle died with the service";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(OpenPrinterW(const_cast<WCHAR*>(u"Q"), &printer, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_NAME));
}

}  // namespace
