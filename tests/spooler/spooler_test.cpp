// The spooler queries' own rules, which no whole command shows: exact names, the default
// printer's name limit, the snapshot's zero bytes and failed queries.
#include "spooler/printers.h"
#include "support/product_machine.h"
#include "winsim/sim_files.h"

namespace {

using winsim::Allocator;

const char16_t kOwnPort[] = u"Orvandelle:";

void AddDriver(const std::u16string& name) {
  winsim::SimDriver driver;
  driver.name = name;
  winsim::AddSimDriver(driver);
}

void AddMonitor(const std::u16string& name) { winsim::AddSimMonitor({name, u"Windows x64", u"m.dll", {}}); }

class SpoolerTest : public SimTest {
 protected:
  InstallContext context{};
  MonitorList monitors{};

  void TearDown() override {
    FreeMonitorList(monitors);
    FreeContext(context);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
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

TEST_F(SpoolerTest, FailedMonitorQueriesLogTheSystemTextUntrimmed) {
  AddMonitor(kOwnPort);
  winsim::FailNext("EnumMonitorsW", 1, ERROR_ACCESS_DENIED);
  EnumMonitorList(monitors, context);
  winsim::FailNext("EnumMonitorsW", 1, 9999);
  EnumMonitorList(monitors, context);
  winsim::FailNext("EnumMonitorsW", 1, RPC_S_SERVER_UNAVAILABLE, 1);
  EnumMonitorList(monitors, context);
  EXPECT_EQ(LogLines(context), (Lines{"2. EnumMonitors  failed with code: Access is denied.", "",
                                      "2. EnumMonitors  failed with code: No Error or no description",
                                      "3. EnumMonitors  failed with code: The RPC server is unavailable.", ""}));
  EXPECT_EQ(monitors.buffer, nullptr);
  EXPECT_EQ(monitors.count, 0u);
  EXPECT_EQ(winsim::AllocationCount(Allocator::Global), 1u) << "only the second call's block, released again";
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Local), 0u) << "the system texts are released";
}

TEST_F(SpoolerTest, OnlyTheExactMonitorNameMatches) {
  for (const char16_t* name : {u"orvandelle:", u"Orvandelle:x", u"Orvandelle"}) AddMonitor(name);
  EnumMonitorList(monitors, context);
  EXPECT_EQ(FindOwnMonitor(monitors), -1);
  FreeMonitorList(monitors);
  AddMonitor(kOwnPort);
  AddMonitor(kOwnPort);
  EnumMonitorList(monitors, context);
  EXPECT_EQ(FindOwnMonitor(monitors), 3) << "the first of two";
  monitors.level = 1;
  EXPECT_EQ(FindOwnMonitor(monitors), -1) << "read with 8-byte entries, index 3 holds another monitor";
  monitors.level = 3;
  EXPECT_EQ(FindOwnMonitor(monitors), -1);
  EXPECT_EQ(LogLines(context), Lines{}) << "filled lists log nothing";
}

// Exactly the default is marked, in the installer's copy only, when its name matches exactly and
// fits 255 characters with its terminator. The strings the spooler answers are followed by 32
// zero bytes, so that a string the spooler leaves unterminated still ends inside the block.
TEST_F(SpoolerTest, DefaultPrinterIsMarkedOnlyWhenItsNameMatchesExactly) {
  auto add = [](const std::u16string& name) { winsim::AddSimPrinter(PrinterOn(name, kProductDriver, kOwnPort)); };
  add(u"Alpha");
  add(u"Beta");
  winsim::SetSimDefaultPrinter(u"Beta");
  MarkDefaultPrinter(context);
  EXPECT_EQ(MarkedPrinters(), std::vector<std::u16string>{u"Beta"});
  EXPECT_EQ(winsim::FindSimPrinter(u"Beta").value_or(winsim::SimPrinter()).attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u)
      << "only the installer's copy is marked";
  DWORD answered = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &answered, &returned);
  ASSERT_GE(winsim::BlockSize(context.Printers.buffer), answered + 32u);
  EXPECT_EQ(std::vector<BYTE>(context.Printers.buffer + answered, context.Printers.buffer + answered + 32),
            std::vector<BYTE>(32, 0));

  winsim::SetSimDefaultPrinter(u"beta");
  MarkDefaultPrinter(context);
  EXPECT_TRUE(MarkedPrinters().empty());
  std::u16string longest(254, u'L'), tooLong(255, u'T');
  add(longest);
  add(tooLong);
  winsim::SetSimDefaultPrinter(longest);
  MarkDefaultPrinter(context);
  EXPECT_EQ(MarkedPrinters(), std::vector<std::u16string>{longest}) << "fits the 255 characters with its terminator";
  winsim::SetSimDefaultPrinter(tooLong);
  MarkDefaultPrinter(context);
  EXPECT_TRUE(MarkedPrinters().empty());
}

// A product printer is added whatever the check of the monitors finds; the check only informs
// the log.
TEST_F(SpoolerTest, TheMonitorCheckOnlyInformsTheLog) {
  AddDriver(kProductDriver);
  EXPECT_EQ(AddOwnPrinter(context, u"P"), nullptr);
  winsim::AddLocalPortMonitor();
  EXPECT_EQ(AddOwnPrinter(context, u"Q"), nullptr);
  EXPECT_EQ(LogLines(context),
            (Lines{">AddPrinter(P)", "  Let's check our port monitors", "  1. EnumMonitors returns true",
                   "  No Orvandelle port monitor was found.", "  BTW, there is no port monitors on this system.",
                   "  Error(15): Can`t add printer 'P' - (The specified port is unknown.)",
                   ">AddPrinter(Q)", "  Let's check our port monitors", "  No Orvandelle port monitor was found.",
                   "  ------- 1 existing monitors ----------", "  1. Local Port",
                   "  ---------------------------------------",
                   "  Error(15): Can`t add printer 'Q' - (The specified port is unknown.)"}));
  EXPECT_EQ(winsim::CountCalls("AddPrinterW"), 2u) << "added in either case";
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Global), 0u) << "the monitor lists are released";
}

}  // namespace
