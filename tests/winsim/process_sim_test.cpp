// Mutexes, waits and processes as Windows has them, and the stand-in tray program.
#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"

namespace {

class ProcessSimTest : public SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(winsim::OpenProcessAreaHandles(), 0u) << "handles left open";
    SimTest::TearDown();
  }
};

TEST_F(ProcessSimTest, NamedMutexLivesWhileAnyHandleDoesAndCountsItsOwnership) {
  SetLastError(ERROR_ACCESS_DENIED);
  HANDLE first = CreateMutexA(nullptr, FALSE, "m");
  EXPECT_EQ(GetLastError(), 0u) << "a fresh creation clears the last error";
  HANDLE second = CreateMutexA(nullptr, TRUE, "m");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(winsim::MutexOwner("m"), 0) << "initial ownership is only for the creator";
  HANDLE other = CreateMutexA(nullptr, FALSE, "M");
  EXPECT_EQ(GetLastError(), 0u) << "names are case-sensitive";

  EXPECT_EQ(WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 5000), WAIT_OBJECT_0) << "the owner takes it again at once";
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_EQ(winsim::MutexOwner("m"), winsim::kInstallerProcess);
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_FALSE(ReleaseMutex(first));
  EXPECT_EQ(GetLastError(), 288u) << "ERROR_NOT_OWNER";
  EXPECT_EQ(winsim::Now(), 0u);

  CloseHandle(first);
  EXPECT_TRUE(winsim::MutexExists("m"));
  CloseHandle(second);
  EXPECT_FALSE(winsim::MutexExists("m"));
  CloseHandle(other);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(ProcessSimTest, TrayAnswersOnlyTheQuitMessageAndMayAbandonItsMutex) {
  winsim::TraySpec setup;
  setup.answer = winsim::TrayAnswer::QuitsAbandoning;
  setup.quitDelay = 3000;
  int tray = winsim::StartTray(setup);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, winsim::kTrayMutexName);
  HWND window = FindWindowW(winsim::kTrayWindowClass, nullptr);
  ASSERT_EQ(window, winsim::TrayWindow(tray));
  PostMessageW(window, WM_USER + 1, 0, 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), DWORD(WAIT_TIMEOUT));
  PostMessageW(window, winsim::kTrayQuitMessage, 0, 0);
  EXPECT_TRUE(winsim::ProcessRunning(tray)) << "a posted message is handled later";
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), DWORD(WAIT_ABANDONED));
  EXPECT_EQ(winsim::Now(), 4000u) << "at the time the tray ended";
  EXPECT_FALSE(winsim::WindowExists(window));
  EXPECT_EQ(winsim::MutexOwner(winsim::kTrayMutexName), winsim::kInstallerProcess) << "an abandoned wait acquires";
  CloseHandle(mutex);
  EXPECT_FALSE(winsim::MutexExists(winsim::kTrayMutexName)) << "the installer held the last handle";

  setup.window = false;
  tray = winsim::StartTray(setup);
  EXPECT_EQ(winsim::TrayWindow(tray), nullptr);
  EXPECT_FALSE(winsim::ProcessRunning(winsim::StartTray())) << "a second copy gives way to the first";
  winsim::EndProcess(tray);
  EXPECT_FALSE(winsim::MutexExists(winsim::kTrayMutexName));
}

TEST_F(ProcessSimTest, CreateProcessRecordsItsArgumentsAndCanStartTheTray) {
  winsim::TraySpec setup;
  setup.quitDelay = 50;
  winsim::LaunchTrayOnStart(setup);
  winsim::PutFile(u"C:\\Product\\orvtray.exe", "MZ");
  WCHAR commandLine[] = u"\"C:\\Product\\ORVTRAY.EXE\" /x";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                             u"C:\\", &startup, &info));
  const winsim::ProcessStart& start = winsim::ProcessStarts().at(0);
  EXPECT_EQ(start.commandLine, commandLine);
  EXPECT_EQ(start.currentDirectory, u"C:\\");
  EXPECT_EQ(start.startup.wShowWindow, SW_SHOW);
  EXPECT_EQ(DWORD(start.process), info.dwProcessId);
  EXPECT_TRUE(winsim::IsHeld(u"C:\\Product\\orvtray.exe")) << "a running program holds its file";

  PostMessageW(FindWindowW(winsim::kTrayWindowClass, nullptr), winsim::kTrayQuitMessage, 0, 0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::Now(), 50u);
  EXPECT_FALSE(winsim::IsHeld(u"C:\\Product\\orvtray.exe"));
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));

  winsim::FailNext("CreateProcessW", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(winsim::ProcessStarts().at(1).started);
}

}  // namespace
