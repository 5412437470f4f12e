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
  HANDLE OpenTrayMutex() { return CreateMutexA(nullptr, FALSE, winsim::kTrayMutexName); }
};

TEST_F(ProcessSimTest, NamedMutexLivesWhileAnyHandleDoes) {
  SetLastError(ERROR_ACCESS_DENIED);
  HANDLE first = CreateMutexA(nullptr, FALSE, "m");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u) << "a fresh creation clears the last error";
  HANDLE second = CreateMutexA(nullptr, TRUE, "m");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_NE(second, first);
  EXPECT_EQ(winsim::MutexOwner("m"), 0) << "initial ownership is only for the creator";
  HANDLE other = CreateMutexA(nullptr, FALSE, "M");
  EXPECT_EQ(GetLastError(), 0u) << "names are case-sensitive";
  CloseHandle(first);
  EXPECT_TRUE(winsim::MutexExists("m"));
  CloseHandle(second);
  EXPECT_FALSE(winsim::MutexExists("m"));
  CloseHandle(other);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(ProcessSimTest, OwnerWaitsAgainAtOnceAndMustReleaseEachTime) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "m");
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::Now(), 0u);
  EXPECT_EQ(winsim::MutexOwner("m"), winsim::kInstallerProcess);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(winsim::MutexOwner("m"), winsim::kInstallerProcess);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), 288u) << "ERROR_NOT_OWNER";
  CloseHandle(mutex);
}

TEST_F(ProcessSimTest, TrayQuittingLaterSatisfiesTheWaitAtThatTime) {
  winsim::TraySpec spec;
  spec.quitDelay = 3000;
  int tray = winsim::StartTray(spec);
  HANDLE mutex = OpenTrayMutex();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(mutex, 100), DWORD(WAIT_TIMEOUT));
  EXPECT_EQ(winsim::Now(), 100u);
  HWND window = FindWindowW(winsim::kTrayWindowClass, nullptr);
  ASSERT_EQ(window, winsim::TrayWindow(tray));
  PostMessageW(window, WM_USER + 1, 0, 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), DWORD(WAIT_TIMEOUT)) << "only message 1026 asks it to quit";
  PostMessageW(window, winsim::kTrayQuitMessage, 0, 0);
  EXPECT_TRUE(winsim::ProcessRunning(tray)) << "a posted message is handled later";
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::Now(), 4100u);
  EXPECT_FALSE(winsim::ProcessRunning(tray));
  EXPECT_FALSE(winsim::WindowExists(window));
  CloseHandle(mutex);
  EXPECT_FALSE(winsim::MutexExists(winsim::kTrayMutexName)) << "the installer held the last handle";
}

TEST_F(ProcessSimTest, TrayEndingWithItsMutexLeavesItAbandonedOnce) {
  winsim::TraySpec spec;
  spec.answer = winsim::TrayAnswer::QuitsAbandoning;
  int tray = winsim::StartTray(spec);
  HANDLE mutex = OpenTrayMutex();
  PostMessageW(winsim::TrayWindow(tray), winsim::kTrayQuitMessage, 0, 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), DWORD(WAIT_ABANDONED));
  EXPECT_EQ(winsim::MutexOwner(winsim::kTrayMutexName), winsim::kInstallerProcess) << "an abandoned wait acquires";
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::Now(), 0u);
  CloseHandle(mutex);

  spec.answer = winsim::TrayAnswer::NeverAnswers;
  spec.window = false;
  tray = winsim::StartTray(spec);
  EXPECT_EQ(winsim::TrayWindow(tray), nullptr);
  EXPECT_FALSE(winsim::ProcessRunning(winsim::StartTray())) << "a second copy gives way to the first";
  mutex = OpenTrayMutex();
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), DWORD(WAIT_TIMEOUT));
  winsim::EndProcess(tray);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), DWORD(WAIT_ABANDONED));
  CloseHandle(mutex);
}

TEST_F(ProcessSimTest, CreateProcessRecordsItsArgumentsAndCanStartTheTray) {
  winsim::TraySpec spec;
  spec.quitDelay = 50;
  winsim::LaunchTrayOnStart(spec);
  winsim::PutFile(u"C:\\Product\\orvtray.exe", "MZ");
  WCHAR commandLine[] = u"\"C:\\Product\\ORVTRAY.EXE\" /x";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                             u"C:\\", &startup, &info));
  ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
  const winsim::ProcessStart& start = winsim::ProcessStarts()[0];
  EXPECT_EQ(start.commandLine, commandLine);
  EXPECT_EQ(start.flags, DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(start.currentDirectory, u"C:\\");
  EXPECT_EQ(start.startup.wShowWindow, SW_SHOW);
  EXPECT_EQ(DWORD(start.process), info.dwProcessId);
  EXPECT_TRUE(winsim::IsHeld(u"C:\\Product\\orvtray.exe")) << "a running program holds its file";

  HWND window = FindWindowW(winsim::kTrayWindowClass, nullptr);
  PostMessageW(window, winsim::kTrayQuitMessage, 0, 0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::Now(), 50u);
  EXPECT_FALSE(winsim::IsHeld(u"C:\\Product\\orvtray.exe"));
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));

  winsim::FailNext("CreateProcessW", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(winsim::ProcessStarts()[1].started);
}

}  // namespace
