// The spooler queries: the two-call pattern and its failures, the searches for the product's
// monitor and driver, the monitor list in the log, the snapshot and its default mark.
#include "spooler/spooler_queries.h"

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_spooler.h"

namespace {

using winsim::Allocator;

class SpoolerQueriesTest : public SimTest {
 protected:
  InstallContext context = EmptyContext();

  void TearDown() override {
    FreePrinterSnapshot(context.Printers);
    FreeEmptyContext(context);
    EXPECT_EQ(winsim::OpenPrinterHandles(), 0u) << "printer handles left open";
    SimTest::TearDown();
  }

  static void AddMonitor(const std::u16string& name) { winsim::AddSimMonitor({name, u"Windows x64", u"m.dll", {}}); }

  static void AddDriver(const std::u16string& name, const std::u16string& environment = u"Windows x64") {
    winsim::SimDriver driver;
    driver.name = name;
    driver.environment = environment;
    driver.driverPath = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\" + name + u".dll";
    driver.dataFile = driver.driverPath;
    driver.configFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\ui.dll";
    driver.helpFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\help.chm";
    driver.dependentFiles = {u"a.dll", u"b.dll"};
    driver.mfgName = u"Corvane";
    winsim::AddSimDriver(driver);
  }

  static void AddPrinter(const std::u16string& name, const std::u16string& driver = kProductDriver) {
    winsim::SimPrinter printer = PrinterOn(name, driver, u"Orvandelle:");
    printer.devMode.assign(220, 0x11);
    winsim::AddSimPrinter(printer);
  }

  std::vector<std::u16string> MarkedPrinters() {
    std::vector<std::u16string> marked;
    for (DWORD i = 0; i < context.Printers.count; i++) {
      PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
      if (entry->Attributes & PRINTER_ATTRIBUTE_DEFAULT) marked.push_back(entry->pPrinterName);
    }
    return marked;
  }
};

TEST_F(SpoolerQueriesTest, FailedMonitorQueriesLogTheSystemTextUntrimmed) {
  AddMonitor(u"Orvandelle:");
  MonitorList list;
  winsim::FailNext("EnumMonitorsW", 1, ERROR_ACCESS_DENIED);
  EnumMonitorList(list, context);
  winsim::FailNext("EnumMonitorsW", 1, 9999);
  EnumMonitorList(list, context);
  winsim::FailNext("EnumMonitorsW", 1, RPC_S_SERVER_UNAVAILABLE, 1);
  EnumMonitorList(list, context);
  EXPECT_EQ(LogLines(context), (Lines{"2. EnumMonitors  failed with code: Access is denied.", "",
                                      "2. EnumMonitors  failed with code: No Error or no description",
                                      "3. EnumMonitors  failed with code: The RPC server is unavailable.", ""}));
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(winsim::AllocationCount(Allocator::Global), 1u) << "only the second call's block, released again";
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Local), 0u) << "the system texts are released";
}

TEST_F(SpoolerQueriesTest, AllocationFailureLeavesEveryQueryEmptyWithOutOfMemory) {
  AddMonitor(u"Orvandelle:");
  AddDriver(u"Orvandelle printer");
  AddPrinter(u"P");
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(u"P"), &printer, nullptr));
  winsim::FailAllocations(Allocator::Global, 5);

  MonitorList monitors;
  EnumMonitorList(monitors, context);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  EXPECT_EQ(LogLines(context), (Lines{"3. EnumMonitors - can't allocate memory for buffer"}));
  DriverList drivers;
  SetLastError(0);
  EnumDriverList(drivers, u"Windows x64");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  SetLastError(0);
  SnapshotPrinters(context.Printers);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  PrinterInfo2 info;
  SetLastError(0);
  GetPrinterInfo2(info, printer);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  SetLastError(0);
  EXPECT_EQ(GetDriverInfo2(printer), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));

  EXPECT_TRUE(monitors.buffer == nullptr && drivers.buffer == nullptr && context.Printers.buffer == nullptr);
  EXPECT_TRUE(info.buffer == nullptr && info.size == 0);
  EXPECT_EQ(winsim::CountCalls("EnumMonitorsW") + winsim::CountCalls("GetPrinterW"), 2u) << "no second calls";
  EXPECT_TRUE(ClosePrinterHandle(printer));
}

TEST_F(SpoolerQueriesTest, OnlyTheExactMonitorNameMatches) {
  AddMonitor(u"orvandelle:");
  AddMonitor(u"Orvandelle:x");
  AddMonitor(u"Orvandelle");
  MonitorList list;
  EnumMonitorList(list, context);
  EXPECT_EQ(FindOwnMonitor(list), -1);
  FreeMonitorList(list);
  AddMonitor(u"Orvandelle:");
  AddMonitor(u"Orvandelle:");
  EnumMonitorList(list, context);
  EXPECT_EQ(FindOwnMonitor(list), 3) << "the first of two";
  list.level = 1;
  EXPECT_EQ(FindOwnMonitor(list), -1) << "read with 8-byte entries, index 3 holds another monitor";
  list.level = 3;
  EXPECT_EQ(FindOwnMonitor(list), -1);
  EXPECT_EQ(LogLines(context), Lines{}) << "filled lists log nothing";
  FreeMonitorList(list);
}

TEST_F(SpoolerQueriesTest, MonitorListIsLoggedAtTheCurrentDepth) {
  winsim::AddLocalPortMonitor();
  AddMonitor(u"Orvandelle:");
  MonitorList list;
  EnumMonitorList(list, context);
  reinterpret_cast<MONITOR_INFO_2W*>(list.buffer)[1].pName = nullptr;
  context.Depth = 1;
  LogMonitorList(context, list);
  EXPECT_EQ(LogLines(context), (Lines{"  ------- 2 existing monitors ----------", "  1. Local Port", "  2. ***EMPTY***",
                                      "  ---------------------------------------"}));
  EXPECT_EQ(FindOwnMonitor(list), -1) << "an entry without a name never matches";
  FreeMonitorList(list);
}

// The search at every level from 1 to 6, and level 7, is in the conformance checks, which run
// against winsim in ConformanceTest.
TEST_F(SpoolerQueriesTest, OnlyTheExactDriverNameInTheEnvironmentMatches) {
  AddDriver(u"orvandelle printer");
  AddDriver(u"Orvandelle printer ");
  AddDriver(u"Orvandelle printer", u"Windows NT x86");
  AddDriver(u"Orvandelle printe");
  DriverList list;
  EnumDriverList(list, u"Windows x64");
  EXPECT_EQ(list.level, 6u);
  EXPECT_EQ(list.count, 3u);
  EXPECT_EQ(FindOwnDriver(list), -1) << "case, a trailing blank, a missing letter, another environment";
  FreeDriverList(list);
  AddDriver(u"Orvandelle printer");
  EnumDriverList(list, u"Windows x64");
  EXPECT_EQ(FindOwnDriver(list), 3);
  FreeDriverList(list);
}

TEST_F(SpoolerQueriesTest, DefaultPrinterIsMarkedOnlyWhenItsNameMatchesExactly) {
  AddPrinter(u"Alpha");
  AddPrinter(u"Beta");
  winsim::SetSimDefaultPrinter(u"Beta");
  MarkDefaultPrinter(context);
  EXPECT_EQ(MarkedPrinters(), std::vector<std::u16string>{u"Beta"});
  EXPECT_EQ(SnapshotEntry(context.Printers, 1)->Attributes,
            DWORD(PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_QUEUED));
  EXPECT_EQ(winsim::FindSimPrinter(u"Beta").value_or(winsim::SimPrinter()).attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u)
      << "only the installer's copy is marked";

  for (const std::u16string& other : {std::u16string(u"beta"), std::u16string(u"Gone"), std::u16string()}) {
    winsim::SetSimDefaultPrinter(other);
    MarkDefaultPrinter(context);
    EXPECT_EQ(context.Printers.count, 2u);
    EXPECT_TRUE(MarkedPrinters().empty()) << winsim::Utf8(other);
  }
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Global), 1u) << "each snapshot released the one before";

  std::u16string longest(254, u'L'), tooLong(255, u'T');
  AddPrinter(longest);
  AddPrinter(tooLong);
  winsim::SetSimDefaultPrinter(longest);
  MarkDefaultPrinter(context);
  EXPECT_EQ(MarkedPrinters(), std::vector<std::u16string>{longest}) << "fits the 255 characters with its terminator";
  winsim::SetSimDefaultPrinter(tooLong);
  MarkDefaultPrinter(context);
  EXPECT_TRUE(MarkedPrinters().empty());
}

TEST_F(SpoolerQueriesTest, SnapshotTellsTheSpoolerOnlyItsSizeAndEmptiesOnFailure) {
  AddPrinter(u"Alpha");
  SnapshotPrinters(context.Printers);
  auto calls = winsim::CallsOf("EnumPrintersW");
  EXPECT_EQ(calls[0].args[0], "0x6");
  EXPECT_EQ(std::stoul(calls[1].args[4]) + 32, winsim::BlockSize(context.Printers.buffer));

  winsim::FailNext("EnumPrintersW", 1, RPC_S_SERVER_UNAVAILABLE, 1);
  SnapshotPrinters(context.Printers);
  EXPECT_EQ(context.Printers.buffer, nullptr);
  EXPECT_EQ(context.Printers.count, 0u);
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Global), 0u);
}

TEST_F(SpoolerQueriesTest, SinglePrinterQueryCallsAndFailures) {
  AddDriver(u"Orvandelle printer");
  AddPrinter(u"P");
  AddPrinter(u"NoDriver", u"Missing driver");
  HANDLE printer = nullptr, orphan = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(u"P"), &printer, nullptr));
  ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(u"NoDriver"), &orphan, nullptr));

  PrinterInfo2 info;
  GlobalFree(GetDriverInfo2(printer));
  auto calls = winsim::CallsOf("GetPrinterDriverW");
  EXPECT_EQ(calls[0].args[1], "Windows x64");
  EXPECT_EQ(calls[1].args[1], "(null)") << "the second call leaves the environment to the spooler";

  EXPECT_EQ(GetDriverInfo2(orphan), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PRINTER_DRIVER));
  EXPECT_TRUE(ClosePrinterHandle(orphan));
  GetPrinterInfo2(info, orphan);
  EXPECT_TRUE(info.buffer == nullptr && info.size == 0) << "a closed handle";
  EXPECT_FALSE(ClosePrinterHandle(orphan));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(ClosePrinterHandle(printer));
}

}  // namespace
