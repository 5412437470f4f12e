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
const int kOtherProcess = 9;

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

TEST_F(PortMonitorTest, TheVersionGateKeepsBuildsAbove2450UpToTheInstallersOwn) {
  struct Case {
    int build;
    std::string verdict;
    bool kept;
  } cases[] = {
      {2450, "  Version (2450) is not supported, proceed with reinstall", false},
      {2451, "  Version (2451) is compatible, proceed without uninstall", true},
      {2547, "  Version (2547) is compatible, proceed without uninstall", true},
      {2548, "  Version (2548) is not supported, proceed with reinstall", false},
      {-1, "  Version is unknown, proceed with reinstall", false},
  };
  for (const Case& c : cases) {
    RegisterOwnMonitor(c.build);
    Reinstall();
    Lines expected = kRegisteredOpening;
    expected.push_back(c.verdict);
    if (c.kept) {
      expected.push_back("  InstallMonitor == 0, CopyMonitor == 1");
      EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 0u) << c.build;
      EXPECT_EQ(winsim::FileContents(kMonitorDll), "old monitor" + Build(c.build)) << c.build;
    } else {
      for (const char* line : {"  Monitor was removed :)", ">AddMonitor", "  Copy monitor file",
                               "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [0])", "    Copy Succeeded :)",
                               "  AddMonitor - OK :)"})
        expected.push_back(line);
      EXPECT_EQ(winsim::FileContents(kMonitorDll), "new monitor" + Build(2547)) << c.build;
    }
    EXPECT_EQ(NewLines(), expected) << c.build;
    ASSERT_EQ(winsim::SimMonitors().size(), 2u) << c.build;
    EXPECT_EQ(context.ErrorCount, 0) << c.build;
    EXPECT_EQ(context.Depth, 0) << c.build;
    FreeMonitorList(monitors);
    FreeContext(context);
    winsim::ResetMachine();
    SetUp();
  }
}

TEST_F(PortMonitorTest, ACompatibleDllOnDiskIsRegisteredWithoutCopying) {
  winsim::PutFile(kMonitorDll, "on disk" + Build(2547));
  Reinstall();
  EXPECT_EQ(NewLines(), (Lines{">DeleteMonitor", "  ------- 1 existing monitors ----------", "  1. Local Port",
                               "  ---------------------------------------", "  No Orvandelle port monitor was found.",
                               "  Computing monitor filename",
                               "  Auto calculated monitor file name: C:\\Windows\\system32\\zelmon64.dll",
                               "  Version (2547) is compatible, proceed without uninstall",
                               "  InstallMonitor == 1, CopyMonitor == 0", ">AddMonitor", "  Skip copy monitor file",
                               "  AddMonitor - OK :)"}));
  EXPECT_EQ(winsim::FileContents(kMonitorDll), "on disk" + Build(2547));
  EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 0u);
  ASSERT_EQ(winsim::SimMonitors().size(), 2u);
  EXPECT_EQ(winsim::Utf8(winsim::SimMonitors()[1].dllName), "zelmon64.dll");
}

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

TEST_F(PortMonitorTest, ParkingAnEmptySnapshotMakesNoBlock) {
  RegisterOwnMonitor(2000);
  Start(false);
  winsim::FailNext("DeleteMonitorW", 1, ERROR_PRINT_MONITOR_IN_USE);
  RemovePortMonitor(context, monitors);
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"  Can't delete monitor from the first try", "  Monitor was removed :)"}));
  EXPECT_EQ(context.ParkedPrinters, nullptr);
  EXPECT_EQ(winsim::CountCalls("OpenPrinterW"), 0u);
  EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 2u);
  EXPECT_FALSE(winsim::FileExists(kMonitorDll));
}

// A printer on a second port of the monitor is no printer of the product's port: the monitor
// stays in use however often the spooler restarts.
TEST_F(PortMonitorTest, ThreeRefusalsAreErrorTwelveAndTheParkedPrintersStayOnFile) {
  AddGenericDriver();
  winsim::PutFile(kMonitorDll, "old monitor");
  winsim::AddSimMonitor({kOwnPort, u"Windows x64", u"zelmon64.dll", {kOwnPort, u"OrvNet:"}});
  AddPrinter(u"Office", u"Orvandelle:");
  AddPrinter(u"Remote", u"OrvNet:");
  Start(false);
  RemovePortMonitor(context, monitors);
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 5, lines.end()),
            (Lines{"  There is no check for monitor version", "  Can't delete monitor from the first try",
                   "  SetPrinter(Office) - ok", "  >Restart Spooler",
                   "  Error(12): Can`t remove the port monitor 'Orvandelle:' - (The specified print monitor is "
                   "currently in use.)"}));
  EXPECT_EQ(winsim::CountCalls("DeleteMonitorW"), 3u);
  EXPECT_EQ(PortOf(u"Office"), "file:");
  EXPECT_EQ(Parked(), Lines{"Office"});
  EXPECT_TRUE(winsim::FileExists(kMonitorDll));
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(context.ErrorCount, 1);
}

TEST_F(PortMonitorTest, WithoutMemoryToNoteThemNoPrinterIsParked) {
  AddGenericDriver();
  RegisterOwnMonitor();
  AddPrinter(u"Office", u"Orvandelle:");
  Start(false);
  winsim::FailAllocations(winsim::Allocator::Global, 1);
  RemovePortMonitor(context, monitors);
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 4, lines.end() - 1),
            (Lines{"  Can't delete monitor from the first try", "  Not enough memory to park the printers",
                   "  >Restart Spooler"}));
  EXPECT_EQ(winsim::CountCalls("SetPrinterW"), 0u);
  EXPECT_EQ(PortOf(u"Office"), "Orvandelle:");
  EXPECT_EQ(context.ParkedPrinters, nullptr);
}

TEST_F(PortMonitorTest, AMonitorDllStillLoadedElsewhereWaitsOnTheDeferredList) {
  RegisterOwnMonitor(2000);
  winsim::HoldFile(kMonitorDll, kOtherProcess);
  Start(false);
  RemovePortMonitor(context, monitors);
  EXPECT_EQ(NewLines().back(), "  Monitor was removed :)");
  EXPECT_EQ(DeferredPaths(context), Lines{"C:\\Windows\\system32\\zelmon64.dll"});
  EXPECT_TRUE(winsim::SimMonitors().size() == 1u);
  EXPECT_EQ(context.ErrorCount, 0);
}

// Neither the list entry nor the context names a file: the system directory itself is never
// deleted nor handed to the deferred deletions.
TEST_F(PortMonitorTest, WithoutAMonitorFileNameNoFileIsTouched) {
  winsim::AddSimMonitor({kOwnPort, u"Windows x64", u"", {kOwnPort}});
  Start(true);
  RemovePortMonitor(context, monitors);
  Lines lines = NewLines();
  EXPECT_EQ(Lines(lines.end() - 5, lines.end()),
            (Lines{"  Trying to get monitor filename from MONITOR_INFO_2", "  Auto calculated monitor file name: ",
                   "  Version is unknown, proceed with reinstall", "  The monitor file is unknown, no file is deleted",
                   "  Monitor was removed :)"}));
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(context.DeferredDeletes, nullptr);
  EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Windows\\system32"));
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

// The spooler still has an old DLL loaded: the quiet copy gives up, the one with the spooler
// stopped goes through.
TEST_F(PortMonitorTest, AHeldMonitorDllIsCopiedAgainWithTheSpoolerStopped) {
  winsim::PutFile(kMonitorDll, "old monitor");
  winsim::HoldFile(kMonitorDll, winsim::kSpoolerProcess);
  Start(false);
  InstallPortMonitor(context);
  EXPECT_EQ(NewLines(), (Lines{">AddMonitor", "  Copy monitor file",
                               "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [0])", "    Copy Failed :(",
                               "  >Restart Spooler", "  >CopyFile zelmon64.dll to C:\\Windows\\system32\\ [1])",
                               "    Copy Succeeded :)", "  AddMonitor - OK :)"}));
  EXPECT_EQ(winsim::FileContents(kMonitorDll), "new monitor" + Build(2547));
  EXPECT_TRUE(winsim::SpoolerRunning());
  EXPECT_TRUE(winsim::IsHeld(kMonitorDll)) << "loaded by the spooler again";
  EXPECT_EQ(context.ErrorCount, 0);
}

}  // namespace
