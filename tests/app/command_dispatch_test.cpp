#include "app/command_dispatch.h"

#include "support/product_machine.h"
#include "support/sim_test.h"

namespace {

class CommandDispatchTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    PrepareProductMachine();
  }
  int32_t Run(const std::u16string& commandLine) {
    winsim::SetCommandLine(commandLine);
    return RunCommand(reinterpret_cast<HINSTANCE>(0x400000));
  }
};

// Words match ignoring ASCII case, but for "def.set"; on a machine without the product there
// is no driver to check, nothing pending and no default printer.
TEST_F(CommandDispatchTest, EachWordItsExitCode) {
  const std::pair<const char16_t*, int32_t> cases[] = {
      {u"orvinst.exe", 6},           {u"\"C:\\Program Files\\Product\\drv\\orvinst.exe\"   ", 6},
      {u"orvinst.exe instal", 6},    {u"orvinst.exe \"\"", 6},
      {u"orvinst.exe def.set", 4},   {u"orvinst.exe DEF.SET", 6},
      {u"orvinst.exe Def.Set", 6},   {u"orvinst.exe def.set2", 6},
      {u"orvinst.exe \"def.set \"", 6}, {u"orvinst.exe REMOVETRAY", 6},
      {u"orvinst.exe INSTALL", 1},   {u"orvinst.exe Install", 1},
      {u"orvinst.exe In", 1},        {u"orvinst.exe serverINSTALL", 1},
      {u"orvinst.exe IN_NOTRAY", 1}, {u"orvinst.exe UN", 2},
      {u"orvinst.exe Uninstall", 2}, {u"orvinst.exe ONCHKDRV", 3},
      {u"orvinst.exe oninit", 102},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.first), c.second) << winsim::Utf8(c.first);
  EXPECT_EQ(ModuleHandle, reinterpret_cast<HINSTANCE>(0x400000));
}

TEST_F(CommandDispatchTest, NoWordClosesNoHelpWindowAndShowsNothing) {
  EXPECT_EQ(Run(u"orvinst.exe frobnicate"), 6);
  winsim::FailNext("CommandLineToArgvW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(u"orvinst.exe install"), 6) << "an unsplittable line counts as no word";
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 0u);
  EXPECT_TRUE(winsim::Dialogs().empty());
}

TEST_F(CommandDispatchTest, InstallAndUninstallCloseHelpWindowsFirst) {
  HWND help = winsim::OpenHelpWindow();
  EXPECT_EQ(Run(u"orvinst.exe install"), 1);
  EXPECT_FALSE(winsim::WindowExists(help));
  ASSERT_EQ(winsim::PostedMessages().size(), 1u);
  EXPECT_EQ(winsim::PostedMessages()[0].message, WM_SYSCOMMAND);
  EXPECT_EQ(winsim::PostedMessages()[0].wParam, WPARAM(SC_CLOSE));
  help = winsim::OpenHelpWindow();
  EXPECT_EQ(Run(u"orvinst.exe un"), 2);
  EXPECT_FALSE(winsim::WindowExists(help));
}

TEST_F(CommandDispatchTest, ParentWindowOwnsTheLogWindowOnlyFromExactlyTwoArguments) {
  HWND owner = winsim::CreateSimWindow({u"Setup", u"Outer setup", nullptr});
  std::u16string number = winsim::Utf16(std::to_string(reinterpret_cast<uintptr_t>(owner)));
  winsim::SetShiftHeld(true);
  Run(u"orvinst.exe install " + number);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].parent, owner);
  Run(u"orvinst.exe install " + number + u" extra");
  EXPECT_EQ(winsim::Dialogs()[1].parent, nullptr) << "a third argument voids the second";
}

TEST_F(CommandDispatchTest, ParentWindowNumberFollowsStringToLongRules) {
  struct Case {
    const char16_t* argument;
    const char* tested;
  } cases[] = {
      {u"0", "null"},
      {u"letters", "null"},
      {u"-5", "0xfffffffffffffffb"},
      {u"\"  +77abc\"", "0x4d"},
      {u"99999999999", "0x7fffffff"},
      {u"-99999999999", "0xffffffff80000000"},
  };
  for (const Case& c : cases) {
    winsim::ClearCalls();
    EXPECT_EQ(Run(std::u16string(u"orvinst.exe nothing ") + c.argument), 6);
    auto calls = winsim::CallsOf("IsWindow");
    ASSERT_EQ(calls.size(), 1u) << winsim::Utf8(c.argument);
    EXPECT_EQ(calls[0].args[0], c.tested) << winsim::Utf8(c.argument);
  }
  winsim::ClearCalls();
  Run(u"orvinst.exe nothing 5 6");
  EXPECT_EQ(winsim::CountCalls("IsWindow"), 0u);
}

TEST_F(CommandDispatchTest, LogWindowOnlyForErrorsOrShift) {
  EXPECT_EQ(Run(u"orvinst.exe install"), 1);
  EXPECT_TRUE(winsim::Dialogs().empty());
  winsim::SetShiftHeld(true);
  EXPECT_EQ(Run(u"orvinst.exe install"), 1);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install log.");
  winsim::SetShiftHeld(false);
  winsim::FailNext("GetPrinterDriverDirectoryW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run(u"orvinst.exe install"), 100);
  ASSERT_EQ(winsim::Dialogs().size(), 2u);
  EXPECT_EQ(winsim::Dialogs()[1].title, u"Orvandelle build 2547- Install error log!");
  EXPECT_EQ(winsim::CountCalls("GetAsyncKeyState"), 2u) << "Shift is not asked when an error was counted";
}

class CloseHelpWindowsTest : public SimTest {};

TEST_F(CloseHelpWindowsTest, NoWindowMeansOneSearchAndNoPause) {
  CloseHelpWindows();
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 1u);
  EXPECT_EQ(winsim::CountCalls("Sleep"), 0u);
}

TEST_F(CloseHelpWindowsTest, ClosesEveryHelpWindowFiftyMillisecondsApart) {
  winsim::OpenHelpWindow();
  winsim::OpenHelpWindow();
  HWND other = winsim::CreateSimWindow({u"HH Parent", u"Other Help", nullptr});
  CloseHelpWindows();
  EXPECT_EQ(winsim::WindowCount(), 1u);
  EXPECT_TRUE(winsim::WindowExists(other));
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 3u);
  EXPECT_EQ(winsim::Now(), 100u);
}

TEST_F(CloseHelpWindowsTest, AWindowThatNeverClosesIsGivenUpOn) {
  winsim::OpenHelpWindow(false);
  CloseHelpWindows();
  EXPECT_EQ(winsim::CountCalls("PostMessageW"), 200u);
  EXPECT_EQ(winsim::Now(), 200u * 50u);
}

}  // namespace

namespace {

// The installer runs elevated from a folder that others may write to: the DLL search is
// limited to the system directory before any other platform call, whatever the command.
TEST_F(CommandDispatchTest, DllSearchIsLimitedBeforeAnythingElse) {
  for (const char16_t* line : {u"orvinst.exe", u"orvinst.exe install", u"orvinst.exe onChkDrv",
                               u"orvinst.exe un", u"orvinst.exe removetray"}) {
    winsim::ClearCalls();
    Run(line);
    ASSERT_FALSE(winsim::Calls().empty());
    EXPECT_EQ(winsim::Calls()[0].name, "LimitDllSearchToSystemDirectory") << winsim::Utf8(line);
    EXPECT_EQ(winsim::CountCalls("LimitDllSearchToSystemDirectory"), 1u) << winsim::Utf8(line);
  }
}

}  // namespace
