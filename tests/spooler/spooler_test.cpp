// The spooler: its queries and the snapshot's default mark, the port monitor's escalating
// removal with printers parked on "file:" and moved back, the driver's staged files, and the
// product's printers carried across a reinstall.
#include <tuple>

#include "spooler/port_monitor.h"
#include "spooler/printer_driver.h"
#include "spooler/printers.h"
#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

using winsim::Allocator;

const char16_t kMonitorDll[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kOwnPort[] = u"Orvandelle:";
const char16_t kMarksKey[] = u"Software\\Corvane\\Orvandelle\\Orvandelles\\";

std::string Build(int build) { return winsim::VersionResource({1, 0, 0, WORD(build)}); }

void AddDriver(const std::u16string& name) {
  winsim::SimDriver driver;
  driver.name = name;
  winsim::AddSimDriver(driver);
}

void AddMonitor(const std::u16string& name) { winsim::AddSimMonitor({name, u"Windows x64", u"m.dll", {}}); }

std::string PortOf(const std::u16string& printer) {
  auto found = winsim::FindSimPrinter(printer);
  return found ? winsim::Utf8(found->portName) : "(no printer)";
}

class SpoolerTest : public SimTest {
 protected:
  InstallContext context{};
  MonitorList monitors{};
  size_t startLines = 0;

  void TearDown() override {
    FreeMonitorList(monitors);
    FreeContext(context);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
  }

  // The context as an install or uninstall has it (with the monitor list when `check` is 0 or
  // 1, the monitor version check); the log and the call record are compared from here on.
  void Start(int check = -1) {
    InitContext(context, UseX64Files);
    if (check >= 0) {
      context.CheckMonitorVersion = BYTE(check);
      EnumMonitorList(monitors, context);
    }
    startLines = LogLines(context).size();
    winsim::ClearCalls();
  }
  Lines NewLines() const {
    Lines all = LogLines(context);
    return Lines(all.begin() + startLines, all.end());
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

TEST_F(SpoolerTest, DefaultPrinterIsMarkedOnlyWhenItsNameMatchesExactly) {
  auto add = [](const std::u16string& name) {
    winsim::SimPrinter printer = PrinterOn(name, kProductDriver, kOwnPort);
    printer.devMode.assign(220, 0x11);
    winsim::AddSimPrinter(printer);
  };
  add(u"Alpha");
  add(u"Beta");
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

class PortMonitorTest : public SpoolerTest {
 protected:
  // The monitor as an earlier install left it: its DLL of build 2000 in the system directory,
  // loaded by the spooler; a printer "Office" on its port among others, one "Plain" beside it.
  void SetUp() override {
    SpoolerTest::SetUp();
    winsim::AddLocalPortMonitor();
    winsim::PutFile(u"C:\\Product\\drv\\zelmon64.dll", "new monitor" + Build(2547));
    winsim::PutFile(kMonitorDll, "old monitor" + Build(2000));
    winsim::AddSimMonitor({kOwnPort, u"Windows x64", u"zelmon64.dll", {kOwnPort}});
    AddDriver(u"Generic Text");
    for (const char16_t* name : {u"Office", u"Plain"}) {
      winsim::SimPrinter printer = PrinterOn(name, u"Generic Text", name[0] == u'O' ? u"LPT1:,Orvandelle:,COM1:" : u"LPT1:");
      printer.comment = name + std::u16string(u" comment");
      printer.location = u"Room 2";
      printer.devMode = winsim::SimDevMode(16);
      printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
      printer.shareName = name + std::u16string(u"Share");
      printer.priority = 7;
      winsim::AddSimPrinter(printer);
    }
  }

  Lines Parked() const {
    Lines names;
    for (PRINTER_INFO_2W** p = context.ParkedPrinters; p != nullptr && *p != nullptr; p++)
      names.push_back(winsim::Utf8((*p)->pPrinterName));
    return names;
  }
};

// The lines every removal of the registered monitor (next to "Local Port") begins with.
const Lines kRegisteredOpening = {
    ">DeleteMonitor", "  ------- 2 existing monitors ----------", "  1. Local Port", "  2. Orvandelle:",
    "  ---------------------------------------", "  Port monitor is found. Index=2",
    "  Trying to get monitor filename from MONITOR_INFO_2",
    "  Auto calculated monitor file name: C:\\Windows\\system32\\zelmon64.dll",
};

// A printer on the product's port makes the spooler refuse (3008) until it is parked on
// "file:"; after the monitor is back it prints to the product's port again, all else unchanged.
TEST_F(PortMonitorTest, PrintersOnThePortAreParkedForTheRemovalAndMovedBack) {
  winsim::SimPrinter before = *winsim::FindSimPrinter(u"Office");
  Start(1);
  RemovePortMonitor(context, monitors);
  if (context.InstallMonitor) InstallPortMonitor(context);
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
  Start(0);
  RemovePortMonitor(context, monitors);
  ASSERT_EQ(PortOf(u"Office"), "LPT1:,file:,COM1:");
  startLines = LogLines(context).size();
  winsim::RemoveFile(u"C:\\Product\\drv\\zelmon64.dll");
  InstallPortMonitor(context);
  const char* refused = "  AddMonitor - failed. Trying to wait and install again";
  EXPECT_EQ(NewLines(),
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
  EXPECT_EQ(PortOf(u"Office"), "LPT1:,file:,COM1:");
  EXPECT_EQ(Parked(), Lines{"Office"});
  EXPECT_EQ(context.ErrorCount, 2);
}

TEST_F(SpoolerTest, DriverInstallHandsTheStagedFilesToTheSpoolerAndDeletesThem) {
  const std::string versionDir = winsim::Utf8(kDriverDir) + "3\\";
  for (const char16_t* name : {u"zeldrv64.dll", u"zelui64.dll", u"zelhelp.chm"})
    winsim::PutFile(kModuleDir + std::u16string(name), winsim::Utf8(name) + " contents");
  Start();
  InstallPrinterDriver(context);
  std::vector<std::string> deleted;
  for (const char* name : {"zeldrv64.dll", "zelui64.dll", "zelhelp.chm"}) {
    deleted.push_back(winsim::Utf8(kDriverDir) + name);
    EXPECT_FALSE(winsim::FileExists(kDriverDir + winsim::Utf16(name))) << name;
  }
  EXPECT_EQ(context.ErrorCount, 0);
  auto added = winsim::CallsOf("AddPrinterDriverExW");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].args, (std::vector<std::string>{"(null)", "6", "Orvandelle printer", "Windows x64", "0x4"}));
  std::vector<winsim::SimDriver> installed = winsim::SimDrivers();
  ASSERT_EQ(installed.size(), 1u);
  const winsim::SimDriver& driver = installed[0];
  EXPECT_EQ(driver.version, 3u);
  EXPECT_EQ(winsim::Utf8(driver.driverPath), versionDir + "zeldrv64.dll");
  EXPECT_EQ(driver.dataFile, driver.driverPath);
  EXPECT_EQ(winsim::Utf8(driver.configFile), versionDir + "zelui64.dll");
  EXPECT_EQ(winsim::Utf8(driver.helpFile), versionDir + "zelhelp.chm");
  EXPECT_TRUE(driver.dependentFiles.empty() && driver.monitorName.empty() && !driver.oemUrl.empty());
  EXPECT_EQ(winsim::Utf8(driver.mfgName + u"/" + driver.provider), "Corvane/Corvane");
  EXPECT_EQ(winsim::FileContents(driver.configFile), "zelui64.dll contents");
  std::vector<std::string> deletes;
  for (const auto& call : winsim::CallsOf("DeleteFileW")) deletes.push_back(call.args[0]);
  EXPECT_EQ(deletes, deleted);
  EXPECT_EQ(context.DeferredDeletes, nullptr);
}

// The product's printers deleted, each opened for DELETE and administration and its jobs
// purged first, then re-created newest first; a printer's "deleted" mark is all that goes of
// its registry key. (What each printer keeps is the scenario table's.)
TEST_F(SpoolerTest, PrintersAreDeletedWithTheirJobsAndComeBackNewestFirst) {
  winsim::AddLocalPortMonitor();
  winsim::AddSimMonitor({kOwnPort, u"Windows x64", u"zelmon64.dll", {kOwnPort}});
  AddDriver(kProductDriver);
  for (const char* key : {"A", "B", "C"}) {
    AddProductPrinter(winsim::Utf16(key), key);
    winsim::PutString(HKEY_CURRENT_USER, kMarksKey + winsim::Utf16(key), u"deleted", u"1");
  }
  MarkDefaultPrinter(context);
  DeleteAllPrinters(context);
  EXPECT_TRUE(winsim::SimPrinters().empty());
  RestorePrinters(context);

  Lines steps;
  for (const auto& call : winsim::Calls()) {
    if (call.name == "OpenPrinterW" && call.args[2] != "(no defaults)") steps.push_back("open " + call.args[2]);
    if (call.name == "SetPrinterW" && call.args[1] == "0") steps.push_back("purge " + call.args[2]);
    if (call.name == "DeletePrinter") steps.push_back("delete");
    if (call.name == "AddPrinterW") steps.push_back("add " + call.args[2]);
  }
  Lines one = {"open 0x10004", "purge 3", "delete"};
  EXPECT_EQ(steps, (Lines{one[0], one[1], one[2], one[0], one[1], one[2], one[0], one[1], one[2], "add C", "add B",
                          "add A"}));
  auto opens = winsim::CallsOf("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_EQ(opens[0].args, (Lines{"HKCU", "Software\\Corvane\\Orvandelle\\Orvandelles\\C", "0", "0xf003f"}));
  for (const char16_t* name : {u"A", u"B", u"C"}) {
    auto printer = winsim::FindSimPrinter(name);
    ASSERT_TRUE(printer.has_value());
    EXPECT_EQ(printer->printProcessor + u" " + printer->datatype, u"WinPrint RAW");
    EXPECT_FALSE(winsim::ReadValue(HKEY_CURRENT_USER, kMarksKey + std::u16string(name), u"deleted").has_value());
    EXPECT_TRUE(winsim::ReadValue(HKEY_CURRENT_USER, kMarksKey + std::u16string(name), u"Paper").has_value());
  }
  EXPECT_EQ(context.ErrorCount, 0);
}

}  // namespace
