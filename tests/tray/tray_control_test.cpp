#include "tray/tray_control.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kTrayPath[] = u"C:\\Product\\orvtray.exe";
const char16_t kRunValue[] = u"OrvandelleTray";

class TrayControlTest : public SimTest {
 protected:
  void TearDown() override {
    ReleaseText(context.ModuleDir);
    EXPECT_EQ(winsim::OpenProcessAreaHandles(), 0u) << "mutex or process handles left open";
    EXPECT_EQ(winsim::OpenKeyHandles(), 0u) << "registry keys left open";
    SimTest::TearDown();
  }

  // A fresh machine for the next case; the context's text belongs to the old one.
  void Fresh() {
    ReleaseText(context.ModuleDir);
    winsim::ResetMachine();
  }

  void Register(const char16_t* moduleDir, BYTE startTray = 1) {
    Assign(context.ModuleDir, moduleDir);
    context.StartTray = startTray;
    RegisterAndStartTray(context);
  }

  // The tray as installed: its file, its Run value, and the program running.
  int InstalledTray(const winsim::TraySpec& setup) {
    winsim::PutFile(kTrayPath, "MZ");
    PutRunValue(kTrayPath);
    winsim::TraySpec running = setup;
    running.programPath = kTrayPath;
    return winsim::StartTray(running);
  }

  void PutRunValue(const std::u16string& path) { winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, path); }
  std::optional<winsim::RegistryValue> RunValue() { return winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue); }

  std::vector<DWORD> Sleeps() {
    std::vector<DWORD> pauses;
    for (const auto& call : winsim::CallsOf("Sleep")) pauses.push_back(std::stoul(call.args[0]));
    return pauses;
  }
  std::vector<DWORD> WaitTicks() {
    std::vector<DWORD> ticks;
    for (const auto& call : winsim::CallsOf("WaitForSingleObject")) {
      EXPECT_EQ(call.args[1], "5000");
      ticks.push_back(call.tick);
    }
    return ticks;
  }
  std::u16string StartedCommandLine() {
    return winsim::ProcessStarts().empty() ? u"" : winsim::ProcessStarts().back().commandLine;
  }

  InstallContext context{};
};

using Ticks = std::vector<DWORD>;

TEST_F(TrayControlTest, MutexWithoutWindowCostsTwentyPausesAndNoWait) {
  winsim::TraySpec setup;
  setup.window = false;
  setup.answer = winsim::TrayAnswer::NeverAnswers;
  winsim::PutFile(kTrayPath, "MZ");
  PutRunValue(kTrayPath);
  winsim::StartTray(setup);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 20u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>(20, 250));
  EXPECT_EQ(winsim::CountCalls("WaitForSingleObject"), 0u);
  EXPECT_FALSE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValue());
}

TEST_F(TrayControlTest, TrayThatNeverAnswersKeepsItsFileButLosesItsValue) {
  winsim::TraySpec setup;
  setup.answer = winsim::TrayAnswer::NeverAnswers;
  int tray = InstalledTray(setup);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::PostedMessages().size(), 20u);
  Ticks expected;
  for (DWORD pass = 0; pass <= 20; pass++) expected.push_back(pass * 5000);
  EXPECT_EQ(WaitTicks(), expected) << "20 passes and one last wait";
  EXPECT_TRUE(winsim::ProcessRunning(tray));
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 10u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>(10, 100)) << "the running program's file is denied";
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValue());
}

// The Run value is read into a 520-byte buffer: a longer one names nothing, one that fills it
// without a terminator is taken whole; a missing one costs a pause.
TEST_F(TrayControlTest, RunValueDecidesWhatIsDeleted) {
  PutRunValue(u"C:\\" + std::u16string(260, u'x'));
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
  EXPECT_FALSE(RunValue());

  Fresh();
  std::u16string full(MAX_PATH, u'y');
  winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, REG_SZ, winsim::Utf16Bytes(full));
  StopAndRemoveTray();
  ASSERT_NE(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(winsim::CallsOf("DeleteFileW")[0].args[0], winsim::Utf8(full));
}

TEST_F(TrayControlTest, TrayPathFollowsTheParentDirectory) {
  struct Case {
    const char16_t* moduleDir;
    std::u16string path;
  };
  const std::u16string deep = u"D:\\" + std::u16string(300, u'd') + u"\\drv\\";
  const std::u16string deepPath = u"D:\\" + std::u16string(300, u'd') + u"\\orvtray.exe";
  const Case cases[] = {
      {u"C:\\", u"orvtray.exe"},
      {u"C:/Product/drv/", u"C:/Product\\orvtray.exe"},
      {u"C:\\Product\\drv", u"C:\\Product\\orvtray.exe"},
      {u"a\\b/c/", u"a\\orvtray.exe"},
      {deep.c_str(), deepPath},
  };
  for (const Case& c : cases) {
    Fresh();
    Register(c.moduleDir);
    ASSERT_TRUE(RunValue()) << winsim::Utf8(c.moduleDir);
    EXPECT_EQ(RunValue()->data, winsim::Utf16Bytes(c.path) + std::string(2, '\0')) << winsim::Utf8(c.moduleDir);
    EXPECT_EQ(StartedCommandLine(), u"\"" + c.path.substr(0, 259) + u"\"") << winsim::Utf8(c.moduleDir);
  }
}

}  // namespace
