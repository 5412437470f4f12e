// The tray program's stop: its pauses, passes and deletion attempts, and the Run value's limit,
// which the rows meet only through their outcome.
#include "tray/tray_control.h"

#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kRunValue[] = u"OrvandelleTray";

class TrayControlTest : public SimTest {
 protected:
  InstallContext context{};

  void TearDown() override {
    ReleaseText(context.ModuleDir);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
  }

  // The tray as installed: its file and its Run value, and a program running as `setup` says.
  static int InstalledTray(const winsim::TraySpec& setup) {
    winsim::PutFile(kTrayPath, "MZ");
    winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, kTrayPath);
    return winsim::StartTray(setup);
  }
  static bool RunValueLeft() { return winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue).has_value(); }
  static std::vector<DWORD> Sleeps() {
    std::vector<DWORD> pauses;
    for (const auto& call : winsim::CallsOf("Sleep")) pauses.push_back(std::stoul(call.args[0]));
    return pauses;
  }
};

TEST_F(TrayControlTest, MutexWithoutWindowCostsTwentyPausesAndNoWait) {
  winsim::TraySpec setup;
  setup.window = false;
  setup.answer = winsim::TrayAnswer::NeverAnswers;
  InstalledTray(setup);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 20u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>(20, 250));
  EXPECT_EQ(winsim::CountCalls("WaitForSingleObject"), 0u);
  EXPECT_FALSE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValueLeft());
}

TEST_F(TrayControlTest, TrayThatNeverAnswersKeepsItsFileButLosesItsValue) {
  winsim::TraySpec setup;
  setup.answer = winsim::TrayAnswer::NeverAnswers;
  setup.programPath = kTrayPath;
  int tray = InstalledTray(setup);
  winsim::ClearCalls();
  StopAndRemoveTray();
  EXPECT_EQ(winsim::PostedMessages().size(), 20u);
  std::vector<DWORD> expected;
  for (DWORD pass = 0; pass <= 20; pass++) expected.push_back(pass * 5000);
  std::vector<DWORD> waits;
  for (const auto& call : winsim::CallsOf("WaitForSingleObject")) {
    EXPECT_EQ(call.args[1], "5000");
    waits.push_back(call.tick);
  }
  EXPECT_EQ(waits, expected) << "20 passes and one last wait";
  EXPECT_TRUE(winsim::ProcessRunning(tray));
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 10u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>(10, 100)) << "the running program's file is denied";
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValueLeft());
}

// The Run value is read into a 520-byte buffer: a longer one names nothing, one that fills it
// without a terminator is taken whole; a missing one costs a pause.
TEST_F(TrayControlTest, RunValueDecidesWhatIsDeleted) {
  const std::u16string full(MAX_PATH, u'y');
  const std::pair<std::string, std::string> cases[] = {
      {winsim::Utf16Bytes(u"C:\\" + std::u16string(260, u'x')) + std::string(2, '\0'), "(none)"},
      {winsim::Utf16Bytes(full), winsim::Utf8(full)},
  };
  for (const auto& c : cases) {
    winsim::ResetMachine();
    winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, REG_SZ, c.first);
    StopAndRemoveTray();
    auto deletes = winsim::CallsOf("DeleteFileW");
    EXPECT_EQ(deletes.empty() ? "(none)" : deletes[0].args[0], c.second);
    EXPECT_FALSE(RunValueLeft());
    if (deletes.empty()) {
      EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
    }
  }
}

// The tray program lies in the parent of the installer's folder, whichever separator that
// folder's path uses; a path longer than MAX_PATH is started cut to 259 characters.
TEST_F(TrayControlTest, TrayPathFollowsTheParentDirectory) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"C:/Product/drv/", u"C:/Product\\orvtray.exe"},
      {u"a\\b/c/", u"a\\orvtray.exe"},
      {u"D:\\" + std::u16string(300, u'd') + u"\\drv\\", u"D:\\" + std::u16string(300, u'd') + u"\\orvtray.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(winsim::Utf8(c.first));
    ReleaseText(context.ModuleDir);
    winsim::ResetMachine();
    Assign(context.ModuleDir, c.first.c_str());
    context.StartTray = 1;
    RegisterAndStartTray(context);
    auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data, winsim::Utf16Bytes(c.second) + std::string(2, '\0'));
    ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
    EXPECT_EQ(winsim::ProcessStarts().back().commandLine, u"\"" + c.second.substr(0, 259) + u"\"");
  }
}

}  // namespace
