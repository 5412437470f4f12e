#include "tray/tray_control.h"

#include <cstring>

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

TEST_F(TrayControlTest, TrayNotRunningStillLosesItsFileAndValue) {
  winsim::PutFile(kTrayPath, "MZ");
  PutRunValue(kTrayPath);
  SetLastError(ERROR_ALREADY_EXISTS);  // left by an earlier call: a fresh mutex clears it
  StopAndRemoveTray();
  ASSERT_EQ(winsim::CountCalls("CreateMutexA"), 1u);
  EXPECT_EQ(winsim::CallsOf("CreateMutexA")[0].args,
            (std::vector<std::string>{"null", "0", "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"}));
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 0u);
  EXPECT_FALSE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValue());
  EXPECT_FALSE(winsim::MutexExists(winsim::kTrayMutexName)) << "the installer keeps no hold on it";
  EXPECT_TRUE(Sleeps().empty());
}

TEST_F(TrayControlTest, AnsweringTrayQuitsBeforeItsFileIsDeleted) {
  winsim::TraySpec setup;
  setup.quitDelay = 1200;
  int tray = InstalledTray(setup);
  StopAndRemoveTray();
  ASSERT_EQ(winsim::PostedMessages().size(), 1u);
  const winsim::PostedMessage& quit = winsim::PostedMessages()[0];
  EXPECT_TRUE(quit.message == 1026 && quit.wParam == 0 && quit.lParam == 0);
  EXPECT_EQ(WaitTicks(), Ticks{0});
  EXPECT_EQ(winsim::Now(), 1200u) << "the wait ends when the tray lets go of its mutex";
  EXPECT_FALSE(winsim::ProcessRunning(tray));
  EXPECT_FALSE(winsim::FileExists(kTrayPath)) << "no longer held once the tray has ended";
  EXPECT_FALSE(RunValue());
  EXPECT_TRUE(Sleeps().empty());
}

TEST_F(TrayControlTest, SlowOrAbandoningTrayTakesASecondPassWithoutPause) {
  winsim::TraySpec slow;
  slow.quitDelay = 7000;
  InstalledTray(slow);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::PostedMessages().size(), 2u) << "the window is still there after the first wait";
  EXPECT_EQ(WaitTicks(), (Ticks{0, 5000}));
  EXPECT_EQ(winsim::Now(), 7000u);
  EXPECT_FALSE(winsim::FileExists(kTrayPath));

  Fresh();
  winsim::TraySpec abandoning;
  abandoning.answer = winsim::TrayAnswer::QuitsAbandoning;
  abandoning.quitDelay = 300;
  InstalledTray(abandoning);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 2u);
  EXPECT_EQ(winsim::PostedMessages().size(), 1u);
  EXPECT_EQ(WaitTicks(), (Ticks{0, 300})) << "the second wait succeeds at once";
  EXPECT_TRUE(Sleeps().empty());
  EXPECT_FALSE(winsim::FileExists(kTrayPath));
}

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

TEST_F(TrayControlTest, RunValueDecidesWhatIsDeleted) {
  PutRunValue(u"");
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u) << "an empty value names nothing";
  EXPECT_TRUE(Sleeps().empty());
  EXPECT_FALSE(RunValue());

  Fresh();
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000}) << "a missing value costs a pause";
  EXPECT_EQ(winsim::CountCalls("RegDeleteValueA"), 1u);

  Fresh();
  PutRunValue(u"C:\\" + std::u16string(260, u'x'));
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u) << "longer than the 520-byte buffer";
  EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
  EXPECT_FALSE(RunValue());

  Fresh();
  std::u16string full(MAX_PATH, u'y');
  winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, REG_SZ, winsim::Utf16Bytes(full));
  StopAndRemoveTray();
  ASSERT_NE(winsim::CountCalls("DeleteFileW"), 0u) << "a value filling the buffer without terminator";
  EXPECT_EQ(winsim::CallsOf("DeleteFileW")[0].args[0], winsim::Utf8(full));

  Fresh();
  PutRunValue(kTrayPath);
  winsim::FailNext("DeleteFileW", -1, ERROR_SHARING_VIOLATION);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 10u);
  EXPECT_EQ(Sleeps(), std::vector<DWORD>(10, 10)) << "other failures pause 10 ms";
  EXPECT_FALSE(RunValue());
}

TEST_F(TrayControlTest, FailuresAtTheKeyOrTheMutexSkipTheirSteps) {
  winsim::TraySpec setup;
  setup.quitDelay = 10;
  InstalledTray(setup);
  winsim::DenyKey(HKEY_LOCAL_MACHINE, winsim::kRunKey);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::Now(), 10u) << "the tray is still asked to quit";
  EXPECT_EQ(winsim::CountCalls("RegQueryValueExW"), 0u);
  EXPECT_EQ(winsim::CountCalls("RegDeleteValueA"), 0u);
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_TRUE(RunValue());

  Fresh();
  int tray = InstalledTray(setup);
  winsim::FailNext("CreateMutexA", 1, ERROR_ACCESS_DENIED);
  StopAndRemoveTray();
  EXPECT_EQ(winsim::CountCalls("FindWindowW"), 0u);
  EXPECT_EQ(winsim::CountCalls("CloseHandle"), 0u);
  EXPECT_TRUE(winsim::ProcessRunning(tray));
  EXPECT_EQ(winsim::CountCalls("RegQueryValueExW"), 0u);
  EXPECT_TRUE(winsim::FileExists(kTrayPath));
  EXPECT_FALSE(RunValue()) << "the value goes even so";
}

TEST_F(TrayControlTest, RegistersAndStartsTheTrayBesideTheInstallersDirectory) {
  const char16_t path[] = u"C:\\Program Files\\Product\\orvtray.exe";
  winsim::PutFile(path, "MZ");
  winsim::LaunchTrayOnStart(winsim::TraySpec());
  Register(u"C:\\Program Files\\Product\\drv\\");
  ASSERT_TRUE(RunValue());
  EXPECT_EQ(RunValue()->type, DWORD(REG_SZ));
  EXPECT_EQ(RunValue()->data, winsim::Utf16Bytes(path) + std::string(2, '\0')) << "terminator stored";
  ASSERT_EQ(winsim::CountCalls("RegOpenKeyExA"), 1u);
  EXPECT_EQ(winsim::CallsOf("RegOpenKeyExA")[0].args[3], winsim::Hex(KEY_ALL_ACCESS));

  ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
  const winsim::ProcessStart& start = winsim::ProcessStarts()[0];
  EXPECT_EQ(start.application, u"(null)");
  EXPECT_EQ(start.commandLine, u"\"" + std::u16string(path) + u"\"");
  EXPECT_FALSE(start.processAttributes || start.threadAttributes || start.environment || start.inheritHandles);
  EXPECT_EQ(start.flags, DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(start.currentDirectory, u"(null)");
  STARTUPINFOW expected = {};
  expected.cb = 104;
  expected.dwFlags = STARTF_USESHOWWINDOW;
  expected.wShowWindow = SW_SHOW;
  EXPECT_EQ(std::memcmp(&start.startup, &expected, sizeof(expected)), 0) << "zeroed but for size, flags, show";
  EXPECT_EQ(winsim::CountCalls("CloseHandle"), 2u) << "process and thread handles closed at once";
  EXPECT_TRUE(winsim::ProcessRunning(start.process));
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

TEST_F(TrayControlTest, NothingHappensWithoutTheFlagOrBeforeVersion6) {
  Register(u"C:\\Product\\drv\\", 0);
  EXPECT_EQ(winsim::CountCalls("GetVersionExA"), 0u);
  winsim::SetWindowsVersion(5, 1, 2600);
  Register(u"C:\\Product\\drv\\");
  EXPECT_EQ(winsim::CountCalls("GetVersionExA"), 1u);
  EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 0u);
  EXPECT_EQ(winsim::CountCalls("CreateProcessW"), 0u);
  EXPECT_FALSE(RunValue());

  winsim::SetWindowsVersion(6, 0, 6000);
  winsim::DenyKey(HKEY_LOCAL_MACHINE, winsim::kRunKey);
  winsim::FailNext("CreateProcessW", 1, ERROR_FILE_NOT_FOUND);
  Register(u"C:\\Product\\drv\\");
  EXPECT_FALSE(RunValue());
  EXPECT_EQ(winsim::CountCalls("CreateProcessW"), 1u) << "started even without the Run key";
  EXPECT_EQ(winsim::CountCalls("CloseHandle"), 0u);
}

}  // namespace
