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

}  // namespace
