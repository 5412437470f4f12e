// The spooler checks that also run against Wine's spooler (tests/win64/conformance.cpp), here
// against winsim's, with the same fixtures; winsim gives Windows' answers.
#include "conformance/printer_data_conformance.h"
#include "conformance/spooler_queries_conformance.h"
#include "conformance/state_changes_conformance.h"

#include "support/sim_test.h"
#include "winsim/sim_spooler.h"

namespace {

class SpoolerQueriesConformanceTest : public SimTest {
 protected:
  // The set-up hook: a machine with the Local Port monitor, a driver and printers on it, the
  // product's own monitor and driver when asked for.
  static void SetUpSpooler(bool withProduct, const std::u16string& defaultPrinter) {
    winsim::AddLocalPortMonitor();
    winsim::SimDriver generic;
    generic.name = u"Generic / Text Only";
    generic.driverPath = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\unidrv.dll";
    generic.dataFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\generic.gpd";
    generic.configFile = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\unidrvui.dll";
    winsim::AddSimDriver(generic);
    winsim::SimPrinter text;
    text.name = u"Text";
    text.portName = u"FILE:";
    text.driverName = generic.name;
    winsim::AddSimPrinter(text);
    if (withProduct) {
      winsim::AddSimMonitor({u"Orvandelle:", u"Windows x64", u"zelmon64.dll", {u"Orvandelle:"}});
      winsim::SimDriver own = generic;
      own.name = u"Orvandelle printer";
      winsim::AddSimDriver(own);
      winsim::SimPrinter printer = text;
      printer.name = u"Orvandelle";
      printer.portName = u"LPT1:,Orvandelle:";
      printer.driverName = own.name;
      printer.devMode.assign(220, 0);
      winsim::AddSimPrinter(printer);
    }
    winsim::SetSimDefaultPrinter(defaultPrinter);
  }

  static void ExpectNoFailures(const conformance::Failures& failures) {
    for (const std::string& line : failures.lines) ADD_FAILURE() << line;
  }
};

TEST_F(SpoolerQueriesConformanceTest, WithTheProductInstalled) {
  SetUpSpooler(true, u"Orvandelle");
  ExpectNoFailures(conformance::RunSpoolerQueryChecks({u"Orvandelle", u"Orvandelle", true, true}));
  ExpectNoFailures(conformance::RunPrinterDataChecks(u"Orvandelle"));
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
}

TEST_F(SpoolerQueriesConformanceTest, WithoutTheProductOrADefaultPrinter) {
  SetUpSpooler(false, u"");
  ExpectNoFailures(conformance::RunSpoolerQueryChecks({u"Text", nullptr, false, false}));
  ExpectNoFailures(conformance::RunPrinterDataChecks(u"Text"));
}

TEST_F(SpoolerQueriesConformanceTest, ChecksNoticeASpoolerThatDiffersFromTheFixture) {
  SetUpSpooler(false, u"Text");
  auto failures = conformance::RunSpoolerQueryChecks({u"Text", nullptr, true, true});
  EXPECT_EQ(failures.lines,
            (std::vector<std::string>{"monitor list: own monitor found", "driver list: own driver found",
                                      "snapshot: exactly the default printer is marked",
                                      "default printer: none set: succeeded, expected error 2"}));
}

// A size query that fails with another error, and a value the checks expect to be missing, are
// caught with what the spooler answered.
TEST_F(SpoolerQueriesConformanceTest, ChecksNoticeOtherAnswers) {
  SetUpSpooler(false, u"");
  winsim::SimPrinterValue stored{winsim::kPlainPrinterDataKey, "ConformanceNeverWritten", REG_SZ, {'x', 0}};
  winsim::SetSimPrinterValue(u"Text", stored);
  winsim::FailNext("EnumMonitorsW", 1, ERROR_INVALID_PARAMETER);
  auto spooler = conformance::RunSpoolerQueryChecks({u"Text", nullptr, false, false});
  auto data = conformance::RunPrinterDataChecks(u"Text");
  ASSERT_FALSE(spooler.lines.empty());
  EXPECT_EQ(spooler.lines.front(), "size query: EnumMonitorsW: got 87, expected 122");
  EXPECT_EQ(data.lines, (std::vector<std::string>{"GetPrinterDataA: a missing value: got 0, expected 2"}));
}

}  // namespace

TEST_F(SpoolerQueriesConformanceTest, PrintersMonitorsAndDriversAddedAndDeleted) {
  SetUpSpooler(true, u"Orvandelle");
  conformance::Failures failures;
  conformance::CheckPrinterChanges(failures, false, u"Generic / Text Only");
  conformance::CheckMonitorAndDriverChanges(failures, false, u"zelmon64.dll", u"Orvandelle printer");
  ExpectNoFailures(failures);
  EXPECT_TRUE(failures.wineNotes.empty());
  EXPECT_EQ(winsim::SimPrinters().size(), 2u) << "the checks' own printers are gone again";
  EXPECT_EQ(winsim::SimMonitors().size(), 2u) << "a monitor in use stays";
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
}

// Wine's answers, given where Windows' are expected, are caught; and the other way round.
TEST_F(SpoolerQueriesConformanceTest, ChecksTellWineAnswersFromWindowsAnswers) {
  SetUpSpooler(true, u"Orvandelle");
  winsim::SetWineDriverDeletion(true);
  conformance::Failures windows;
  conformance::CheckMonitorAndDriverChanges(windows, false, u"zelmon64.dll", u"Orvandelle printer");
  EXPECT_EQ(windows.lines,
            (std::vector<std::string>{"DeletePrinterDriverExW: with files, in use: got 87, expected 3001",
                                      "DeletePrinterDriverExW: without files, in use: succeeded, expected error 3001"}));
  winsim::SetWineDriverDeletion(false);
  conformance::Failures wine;
  conformance::CheckPrinterChanges(wine, true, u"Generic / Text Only");
  EXPECT_EQ(wine.lines, (std::vector<std::string>{"AddPrinterW: a name that exists (Wine succeeds): got 1802, expected 0",
                                                  "AddPrinterW: a port no monitor provides (Wine succeeds): got 1796, expected 0",
                                                  "default printer: Wine makes the first listed one it"}));
}
