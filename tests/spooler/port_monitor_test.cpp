// The port monitor: the version gate of a reinstall, the escalating removal with printers parked
// on "file:" and moved back, the DLL deleted or deferred, and the monitor added again.
#include "spooler/port_monitor.h"

#include <tuple>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kMonitorDll[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kMonitorSource[] = u"C:\\Product\\drv\\zelmon64.dll";
const char16_t kOwnPort[] = u"Orvandelle:";

// The lines every removal of the registered monitor (next to "Local Port") begins with.
const Lines kRegisteredOpening = {
    ">DeleteMonitor",
    "  ------- 2 existing monitors ----------",
    "  1. Local Port",
    "  2. Orvandelle:",
    "  ---------------------------------------",
    "  Port monitor is found. Index=2",
    "  Trying to get monitor filename from MONITOR_INFO_2",
    "  Auto calculated monitor file name: C:\\Windows\\system32\\zelmon64.dll",
};

std::string Build(int build) { return winsim::VersionResource({1, 0, 0, WORD(build)}); }

class PortMonitorTest : public SimTest {
 protected:
  InstallContext context{};
  MonitorList monitors{};
  size_t startLines = 0;

  void SetUp() override {
    SimTest::SetUp();
    winsim::AddLocalPortMonitor();
    winsim::PutFile(kMonitorSource, "new monitor" + Build(2547));
  }

  void TearDown() override {
    FreeMonitorList(monitors);
    FreeContext(context);
    EXPECT_EQ(winsim::OpenPrinterHandles(), 0u) << "printer handles left open";
    EXPECT_EQ(winsim::OpenFileHandles(), 0u) << "file handles left open";
    SimTest::TearDown();
  }

  // The monitor as an earlier install left it: its DLL of `build` (none: without version
  // information) in the system directory, loaded by the spooler.
  static void RegisterOwnMonitor(int build = -1) {
    winsim::PutFile(kMonitorDll, build < 0 ? std::string("old monitor") : "old monitor" + Build(build));
    winsim::AddSimMonitor({kOwnPort, u"Windows x64", u"zelmon64.dll", {kOwnPort}});
  }

  static void AddPrinter(const std::u16string& name, const std::u16string& ports) {
    winsim::SimPrinter printer = PrinterOn(name, u"Generic Text", ports);
    printer.comment = name + u" comment";
    printer.location = u"Room 2";
    printer.devMode = winsim::SimDevMode(16);
    printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
    printer.shareName = name + u"Share";
    printer.priority = 7;
    winsim::AddSimPrinter(printer);
  }

  static void AddGenericDriver() {
    winsim::SimDriver driver;
    driver.name = u"Generic Text";
    winsim::AddSimDriver(driver);
  }

  // The context as an install or uninstall has it; the log is compared from here on.
  void Start(bool checkVersion) {
    InitContext(context, UseX64Files);
    context.CheckMonitorVersion = checkVersion ? 1 : 0;
    EnumMonitorList(monitors, context);
    startLines = LogLines(context).size();
    winsim::ClearCalls();
  }

  // What a reinstall does with the monitor: remove it, then add it unless it was kept.
  void Reinstall() {
    Start(true);
    RemovePortMonitor(context, monitors);
    if (context.InstallMonitor) InstallPortMonitor(context);
  }

  Lines NewLines() const {
    Lines all = LogLines(context);
    return Lines(all.begin() + startLines, all.end());
  }

  static std::string PortOf(const std::u16string& printer) {
    auto found = winsim::FindSimPrinter(printer);
    return found ? winsim::Utf8(found->portName) : "(no printer)";
  }

  Lines Parked() const {
    Lines names;
    for (PRINTER_INFO_2W** p = context.ParkedPrinters; p != nullptr && *p != nullptr; p++)
      names.push_back(winsim::Utf8((*p)->pPrinterName));
    return names;
  }
};

// A printer on the product's port makes the spooler refuse (3008) until it is parked on
// "file:"; after the monitor is back it prints to the product's port again, all else unchanged.
TEST_F(PortMonitorTest, PrintersOnThePortAreParkedForTheRemovalAndMovedBack) {
  AddGenericDriver();
  RegisterOwnMonitor(2000);
  AddPrinter(u"Office", u"LPT1:,Orvandelle:,COM1:");
  AddPrinter(u"Plain", u"LPT1:");
  winsim::SimPrinter before = *winsim::FindSimPrinter(u"Office");
  Reinstall();
  Lines expected = kRegisteredOpening;
  for (const char* line :
       {"  Version (2000) is not supported, proceed with reinstall", "  Can't delete monitor from the first try",
        "  SetPrinter(Office) - ok", "  Monitor was removed :)", ">AddMonitor", "  Copy monitor file",
        "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [0])", "    Copy Succeeded :)", "  AddMonitor - OK :)",
        "  SetPrinter(Office) - ok"})
    expected.push_back(line);
  EXPECT_EQ(NewLines(), expected);

  auto set = winsim::CallsOf("SetPrinterW");
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(set[0].args[4], "LPT1:,file:,COM1:");
  EXPECT_EQ(set[1].args[4], "LPT1:,Orvandelle:,COM1:");
  auto opened = winsim::CallsOf("OpenPrinterW");
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].args, (std::vector<std::string>{"Office", "(null)", "0xf000c"}));
  EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 2u);
  EXPECT_EQ(Parked(), Lines{});

  winsim::SimPrinter after = *winsim::FindSimPrinter(u"Office");
  EXPECT_EQ(winsim::Utf8(after.portName), "LPT1:,Orvandelle:,COM1:");
  auto rest = [](const winsim::SimPrinter& p) {
    return std::tie(p.shareName, p.driverName, p.comment, p.location, p.devMode, p.attributes, p.priority, p.datatype);
  };
  EXPECT_TRUE(rest(after) == rest(before)) << "all but the port unchanged";
  EXPECT_EQ(PortOf(u"Plain"), "LPT1:");
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(PortMonitorTest, FiveRefusedRegistrationsAreErrorElevenAndNothingIsMovedBack) {
  AddGenericDriver();
  RegisterOwnMonitor(2000);
  AddPrinter(u"Office", u"LPT1:,Orvandelle:");
  Start(false);
  RemovePortMonitor(context, monitors);
  ASSERT_EQ(PortOf(u"Office"), "LPT1:,file:");
  size_t removalLines = LogLines(context).size();
  winsim::RemoveFile(kMonitorSource);
  InstallPortMonitor(context);
  Lines lines = LogLines(context);
  const char* refused = "  AddMonitor - failed. Trying to wait and install again";
  EXPECT_EQ(Lines(lines.begin() + removalLines, lines.end()),
            (Lines{">AddMonitor", "  Copy monitor file", "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [0])",
                   "    Copy Failed :(", "  >Restart Spooler", "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [1])",
                   "    Error(10): Cant't open source file: zelmon64.dll - (The system cannot find the file specified.)",
                   "    Copy Failed :(", refused, refused, refused, refused, refused,
                   "  Error(11): Can`t install a local port monitor'Orvandelle:' - (The specified module could not be "
                   "found.)"}));
  auto added = winsim::CallsOf("AddMonitorW");
  ASSERT_EQ(added.size(), 5u);
  EXPECT_EQ(added[0].args, (std::vector<std::string>{"(null)", "2", "Orvandelle:", "Windows x64", "zelmon64.dll"}));
  for (size_t i = 1; i < added.size(); i++) EXPECT_EQ(added[i].tick - added[i - 1].tick, 50u) << i;
  EXPECT_EQ(PortOf(u"Office"), "LPT1:,file:");
  EXPECT_EQ(Parked(), Lines{"Office"});
  EXPECT_EQ(context.ErrorCount, 2);
}

}  // namespace
