// The spooler-query checks that also run against Wine's spooler, here against winsim's.
#include "conformance/spooler_queries_conformance.h"

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
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
}

TEST_F(SpoolerQueriesConformanceTest, WithoutTheProductOrADefaultPrinter) {
  SetUpSpooler(false, u"");
  ExpectNoFailures(conformance::RunSpoolerQueryChecks({u"Text", nullptr, false, false}));
}

TEST_F(SpoolerQueriesConformanceTest, ChecksNoticeASpoolerThatDiffersFromTheFixture) {
  SetUpSpooler(false, u"Text");
  auto failures = conformance::RunSpoolerQueryChecks({u"Text", nullptr, true, true});
  EXPECT_EQ(failures.lines, (std::vector<std::string>{"monitor list: own monitor found", "driver list: own driver found",
                                                      "snapshot: exactly the default printer is marked"}));
}

}  // namespace
