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
      {u"orvinst.exe def.set2", 6},  {u"orvinst.exe \"def.set \"", 6},
      {u"orvinst.exe REMOVETRAY", 6}, {u"orvinst.exe Install", 1},
      {u"orvinst.exe In", 1},        {u"orvinst.exe serverINSTALL", 1},
      {u"orvinst.exe IN_NOTRAY", 1}, {u"orvinst.exe UN", 2},
      {u"orvinst.exe Uninstall", 2}, {u"orvinst.exe ONCHKDRV", 3},
      {u"orvinst.exe oninit", 102},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.first), c.second) << winsim::Utf8(c.first);
  winsim::FailNext("CommandLineToArgvW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(u"orvinst.exe install"), 6) << "an unsplittable line counts as no word";
}

// The second argument is read as strtol reads it, and only when there are exactly two.
TEST_F(CommandDispatchTest, ParentWindowOnlyFromExactlyTwoArguments) {
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"0", "null"}, {u"letters", "null"}, {u"-5", "0xfffffffffffffffb"}, {u"\"  +77abc\"", "0x4d"},
      {u"99999999999", "0x7fffffff"}, {u"-99999999999", "0xffffffff80000000"},
  };
  for (const auto& c : cases) {
    winsim::ClearCalls();
    EXPECT_EQ(Run(std::u16string(u"orvinst.exe nothing ") + c.first), 6);
    auto calls = winsim::CallsOf("IsWindow");
    ASSERT_EQ(calls.size(), 1u) << winsim::Utf8(c.first);
    EXPECT_EQ(calls[0].args[0], c.second) << winsim::Utf8(c.first);
  }
  HWND owner = winsim::CreateSimWindow({u"Setup", u"Outer setup", nullptr});
  std::u16string number = winsim::Utf16(std::to_string(reinterpret_cast<uintptr_t>(owner)));
  winsim::SetShiftHeld(true);
  Run(u"orvinst.exe install " + number);
  Run(u"orvinst.exe install " + number + u" extra");
  ASSERT_EQ(winsim::Dialogs().size(), 2u);
  EXPECT_EQ(winsim::Dialogs()[0].parent, owner);
  EXPECT_EQ(winsim::Dialogs()[1].parent, nullptr) << "a third argument voids the second";
  winsim::SetShiftHeld(false);
  Run(u"orvinst.exe install " + number);
  EXPECT_EQ(winsim::Dialogs().size(), 2u) << "no window without an error or Shift";
}

// The installer runs elevated from a folder that others may write to: the DLL search is
// limited to the system directory before any other platform call, whatever the command.
TEST_F(CommandDispatchTest, DllSearchIsLimitedBeforeAnythingElse) {
  for (const char16_t* line : {u"orvinst.exe", u"orvinst.exe install", u"orvinst.exe onChkDrv"}) {
    winsim::ClearCalls();
    Run(line);
    ASSERT_FALSE(winsim::Calls().empty());
    EXPECT_EQ(winsim::Calls()[0].name, "LimitDllSearchToSystemDirectory") << winsim::Utf8(line);
    EXPECT_EQ(winsim::CountCalls("LimitDllSearchToSystemDirectory"), 1u) << winsim::Utf8(line);
  }
}

// Every help window of the product is asked to close, 50 ms apart; one that never closes is
// given up on after 200 requests; other help windows stay.
TEST(CloseHelpWindowsTest, ClosesOnlyTheProductsWindowsAndGivesUpOnAStuckOne) {
  winsim::ResetMachine();
  winsim::OpenHelpWindow();
  winsim::OpenHelpWindow();
  HWND other = winsim::CreateSimWindow({u"HH Parent", u"Other Help", nullptr});
  CloseHelpWindows();
  EXPECT_EQ(winsim::WindowCount(), 1u);
  EXPECT_TRUE(winsim::WindowExists(other));
  EXPECT_EQ(winsim::Now(), 100u);
  winsim::OpenHelpWindow(false);
  winsim::ClearCalls();
  CloseHelpWindows();
  EXPECT_EQ(winsim::CountCalls("PostMessageW"), 200u);
  EXPECT_EQ(winsim::Now(), 100u + 200u * 50u);
}

}  // namespace
