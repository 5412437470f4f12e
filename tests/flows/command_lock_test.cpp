// Two runs of the installer on one machine: the commands that change the machine wait for the
// other run's command lock, run against what it left, give up after the bound without touching
// anything, and take an abandoned lock as free.
#include "app/command_lock.h"

#include <algorithm>
#include <set>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

const std::string kRefusedLine =
    "Error(19): Another installation of the product is still running; nothing was changed"
    " - (The wait operation timed out.)";

// The calls a command makes before it knows whether it may run: the DLL search limit of its
// start, its command line and parent window, and the lock itself.
const std::set<std::string> kLockCalls = {"LimitDllSearchToSystemDirectory", "GetCommandLineW", "CommandLineToArgvW",
                                          "IsWindow", "CreateMutexA", "OpenMutexA", "WaitForSingleObject"};

class CommandLockTest : public ProductMachineTest {
 protected:
  void TearDown() override {
    EXPECT_FALSE(winsim::MutexOwnedByInstaller(kCommandMutexName)) << "no command keeps the lock";
    ProductMachineTest::TearDown();
  }

  // Another run holds the lock, in the installer's session unless told otherwise.
  static winsim::MutexHolderSpec OtherRun(DWORD holdFor) {
    winsim::MutexHolderSpec other;
    other.name = kCommandMutexName;
    other.holdFor = holdFor;
    return other;
  }

  // The first call that is not about the command line or the lock, and when it was made.
  static std::string FirstWorkCall(DWORD* tick) {
    for (const auto& call : winsim::Calls())
      if (!kLockCalls.count(call.name)) {
        *tick = call.tick;
        return call.name;
      }
    return "(none)";
  }

  // The calls after the lock was given up.
  static std::vector<std::string> CallsAfterRelease() {
    std::vector<std::string> after;
    bool released = false;
    for (const auto& call : winsim::Calls()) {
      if (released) after.push_back(call.name);
      if (call.name == "ReleaseMutex") released = true;
    }
    return after;
  }

  static size_t CountOf(const std::initializer_list<const char*>& names) {
    size_t count = 0;
    for (const char* name : names) count += winsim::CountCalls(name);
    return count;
  }
};

TEST_F(CommandLockTest, AnInstallWaitsForTheOtherRunAndCarriesOverWhatItLeft) {
  ASSERT_EQ(RunInstaller(u"install"), 1);
  AddProductPrinter(u"A", "Orvandelles-A");
  AddProductPrinter(u"B", "Orvandelles-B");
  winsim::SetSimDefaultPrinter(u"B");
  winsim::OpenHelpWindow();
  winsim::ClearCalls();
  DWORD start = winsim::Now();
  // The other run is an install that, as it ends, has re-created one more printer of a user.
  winsim::MutexHolderSpec other = OtherRun(30000);
  other.beforeLettingGo = [] { AddProductPrinter(u"C", "Orvandelles-C"); };
  winsim::StartMutexHolder(other);

  EXPECT_EQ(RunInstaller(u"install"), 1);
  DWORD tick = 0;
  EXPECT_EQ(FirstWorkCall(&tick), "FindWindowW") << "the help windows are the first thing touched";
  EXPECT_GE(tick, start + 30000) << "nothing is touched while the other run holds the lock";
  auto waits = winsim::CallsOf("WaitForSingleObject");
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits[0].args[1], std::to_string(kCommandLockWait));
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"A", u"B", u"C"}))
      << "the snapshot is taken after the wait: the other run's printer is carried over, no Orvandelle added";
  for (const char16_t* name : {u"A", u"B", u"C"}) {
    auto printer = winsim::FindSimPrinter(name);
    ASSERT_TRUE(printer.has_value());
    EXPECT_EQ(printer->comment, std::u16string(u"comment of ") + name);
    EXPECT_EQ(printer->location, std::u16string(u"room of ") + name);
  }
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"B");
  EXPECT_EQ(CallsAfterRelease(), (std::vector<std::string>{"CloseHandle"}))
      << "the lock is held to the end of the command";
  EXPECT_EQ(winsim::CountCalls("ReleaseMutex"), 1u);
  EXPECT_TRUE(winsim::Dialogs().empty());
}

TEST_F(CommandLockTest, AfterTheBoundEveryChangingCommandGivesUpWithoutTouchingTheMachine) {
  ASSERT_EQ(RunInstaller(u"install"), 1);
  AddProductPrinter(u"A", "Orvandelles-A");
  winsim::SetSimDefaultPrinter(u"A");
  winsim::StartTray();
  std::u16string driver = std::u16string(kDriverDir) + u"3\\zeldrv64.dll";
  SetPendingRenames({u"\\??\\" + driver, u"\\??\\C:\\Windows\\old.dll"});
  winsim::OpenHelpWindow();
  int other = winsim::StartMutexHolder(OtherRun(INFINITE));
  winsim::ClearCalls();
  std::vector<winsim::SimPrinter> printers = winsim::SimPrinters();

  struct Case {
    const char16_t* word;
    int32_t exit;
  } cases[] = {{u"install", 100}, {u"uninstall", 100}, {u"removetray", 6}, {u"def.set", 4}, {u"onInit", 3}};
  for (const Case& c : cases) {
    DWORD before = winsim::Now();
    size_t dialogs = winsim::Dialogs().size();
    EXPECT_EQ(RunInstaller(c.word), c.exit) << winsim::Utf8(c.word);
    EXPECT_EQ(winsim::Now() - before, kCommandLockWait) << winsim::Utf8(c.word) << " waited the whole bound";
    bool logged = c.exit == 100;
    ASSERT_EQ(winsim::Dialogs().size(), dialogs + (logged ? 1 : 0)) << winsim::Utf8(c.word);
    if (logged) {
      EXPECT_EQ(winsim::Dialogs().back().title, u"Orvandelle build 2547- Install error log!");
      EXPECT_EQ(ShownLogLines(), (Lines{"Orvandelle 2547", kRefusedLine})) << winsim::Utf8(c.word);
    }
  }
  EXPECT_EQ(CountOf({"FindWindowW", "PostMessageW", "OpenSCManagerW", "EnumPrintersW", "OpenPrinterW", "RegOpenKeyExA",
                     "CreateFileW", "DeleteFileW", "MoveFileExW", "GetModuleFileNameW", "SpoolerSetDefaultPrinterW"}),
            0u)
      << "no command looked at the machine";
  EXPECT_EQ(winsim::SimPrinters().size(), printers.size());
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"A");
  EXPECT_EQ(winsim::WindowCount(), 2u) << "the help window and the tray program's window are still open";
  EXPECT_TRUE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray").has_value());
  EXPECT_EQ(PendingRenameStrings().size(), 2u);

  // The read-only check does not wait for the lock at all.
  DWORD before = winsim::Now();
  EXPECT_EQ(RunInstaller(u"onChkDrv"), 103);
  EXPECT_EQ(winsim::Now(), before);
  EXPECT_EQ(winsim::CountCalls("CreateMutexA"), 5u) << "one per changing command, none for onChkDrv";
  winsim::EndProcess(other);
}

TEST_F(CommandLockTest, ALockAbandonedByARunThatDiedCountsAsFree) {
  AddProductPrinter(u"A", "Orvandelles-A");
  winsim::MutexHolderSpec other = OtherRun(5000);
  other.dies = true;
  winsim::StartMutexHolder(other);
  winsim::SetShiftHeld(true);
  EXPECT_EQ(RunInstaller(u"install"), 1);
  Lines log = ShownLogLines();
  EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.find("Error(") != l.npos; }));
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"A"}));
  DWORD tick = 0;
  FirstWorkCall(&tick);
  EXPECT_GE(tick, 5000u);
  EXPECT_EQ(winsim::CountCalls("ReleaseMutex"), 1u) << "an abandoned lock taken over is owned and given back";
}

// An unattended deployment runs as SYSTEM in session 0; a person's elevated setup in session 2
// meets its lock all the same, and may only wait on it.
TEST_F(CommandLockTest, ARunAsSystemInAnotherSessionHoldsTheLockToo) {
  ASSERT_EQ(RunInstaller(u"install"), 1);
  winsim::SetInstallerSession(2);
  winsim::MutexHolderSpec other = OtherRun(20000);
  other.session = 0;
  other.othersMayOnlyWait = true;
  winsim::StartMutexHolder(other);
  winsim::ClearCalls();
  EXPECT_EQ(RunInstaller(u"uninstall"), 2);
  auto opens = winsim::CallsOf("OpenMutexA");
  ASSERT_EQ(opens.size(), 1u) << "CreateMutexA is refused full access to SYSTEM's mutex";
  EXPECT_EQ(opens[0].args[0], "0x100000");
  EXPECT_EQ(opens[0].args[2].rfind("Global\\", 0), 0u) << opens[0].args[2];
  DWORD tick = 0;
  FirstWorkCall(&tick);
  EXPECT_GE(tick, 20000u);
  EXPECT_TRUE(winsim::SimPrinters().empty()) << "the uninstall ran once the lock was free";
}

}  // namespace
