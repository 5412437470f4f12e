// The parts of the simulated machine that stand in for Windows' own rules: the kernel's, the
// session manager's at a restart, and the service control manager's.
#include <vector>

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

// What only the host's rows meet (sessions, accounts, a service's pending states and its
// dependents), which Wine cannot show; a restart, command-line splitting and the settled
// answers are held to Windows by the rows and conformance checks both machines play.
using KernelSimTest = SimTest;

// The leak check every test ends with must be able to fail.
TEST_F(KernelSimTest, WrongAllocatorReleaseIsCaught) {
  void* block = GlobalAlloc(GMEM_FIXED, 16);
  EXPECT_EQ(LocalFree(block), block) << "LocalFree refuses a global block";
  EXPECT_EQ(winsim::BadReleases(), 1u);
  GlobalFree(block);
  winsim::ResetMachine();  // the deliberate bad release is not this test's failure
}

// Windows' kernel object namespaces: "Global\" is machine-wide, a bare or "Local\" name is the
// caller's session's, and session 0 (services) has the machine-wide one as its own.
TEST_F(KernelSimTest, MutexNamesLandInTheCallersSessionUnlessGlobal) {
  winsim::SetInstallerSession(2);
  winsim::MutexHolderSpec holder;
  holder.name = "Name";
  holder.session = 0;
  holder.account = u"SYSTEM";
  int service = winsim::StartMutexHolder(holder);
  holder.name = "Local\\Name";
  holder.session = 3;
  holder.account = u"admin";
  int user = winsim::StartMutexHolder(holder);
  EXPECT_FALSE(winsim::MutexExists("Name")) << "neither session 0's nor session 3's bare name is session 2's";
  EXPECT_TRUE(winsim::MutexExists("Global\\Name"));
  HANDLE mine = CreateMutexA(nullptr, FALSE, "Local\\Name");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(GetLastError(), 0u) << "a new mutex of session 2";
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Global\\Name"), nullptr) << "the service's mutex refuses full access";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Global\\Name"), nullptr);
  HANDLE waitOnly = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\Name");
  ASSERT_NE(waitOnly, nullptr);
  EXPECT_EQ(WaitForSingleObject(waitOnly, 100), DWORD(WAIT_TIMEOUT));
  winsim::EndProcess(service);
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), DWORD(WAIT_ABANDONED));
  EXPECT_TRUE(ReleaseMutex(waitOnly));
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Other"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  CloseHandle(waitOnly);
  CloseHandle(mine);
  winsim::EndProcess(user);
  EXPECT_EQ(winsim::OpenProcessAreaHandles(), 0u);
}

// The rights the session rows lean on: only LocalSystem asks for a user's token or moves one to
// another session; a user's token is never elevated, so a program that requires elevation
// refuses it (740); a session's windows are on that session's desktop alone.
TEST_F(KernelSimTest, OnlySystemReachesOtherSessionsAndUsersTokensAreNotElevated) {
  winsim::PutFile(u"C:\\Product\\drv\\orvinst.exe", "MZ");
  winsim::SetModulePath(u"C:\\Product\\drv\\orvinst.exe");
  int tray = winsim::StartTray({winsim::TrayAnswer::NeverAnswers, 0, true, u""});
  HANDLE token = nullptr;
  EXPECT_FALSE(WTSQueryUserToken(1, &token)) << "an administrator lacks SE_TCB_NAME";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
  HANDLE own = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own));
  DWORD session = 2;
  EXPECT_FALSE(SetTokenInformation(own, TokenSessionId, &session, sizeof(session)));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
  CloseHandle(own);

  winsim::SetInstallerSession(0);
  winsim::SetInstallerAccount(u"SYSTEM");
  EXPECT_EQ(FindWindowW(winsim::kTrayWindowClass, nullptr), nullptr) << "session 1's desktop is not session 0's";
  EXPECT_FALSE(WTSQueryUserToken(2, &token)) << "nobody is logged on in session 2";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
  ASSERT_TRUE(WTSQueryUserToken(1, &token));
  WCHAR commandLine[] = u"orvinst.exe quittray";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  EXPECT_FALSE(CreateProcessAsUserW(token, u"C:\\Product\\drv\\orvinst.exe", commandLine, nullptr, nullptr, FALSE, 0,
                                    nullptr, nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), 740u) << "the user's token is the filtered one";
  CloseHandle(token);
  winsim::EndProcess(tray);
}

// The pending states' answers, and the dependents' (slow_spooler_stop_ends_with_the_spooler_running,
// spooler_dependents_stopped_and_started_with_it).
TEST_F(KernelSimTest, ServiceStopAndStartTakeTimeAndRefuseWhatWindowsRefuses) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, u"Spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
  ASSERT_NE(service, nullptr) << "names are compared without case";
  auto outcome = [](BOOL result) { return result ? "ok" : std::to_string(GetLastError()); };
  SERVICE_STATUS status{};
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "ok");
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1061");
  EXPECT_EQ(outcome(StartServiceW(service, 0, nullptr)), "1056") << "still stopping";
  winsim::Advance(winsim::kDefaultStopDelay);
  EXPECT_EQ(winsim::ServiceState(u"SPOOLER"), DWORD(SERVICE_STOPPED));
  EXPECT_EQ(outcome(StartServiceW(service, 0, nullptr)), "ok");
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1052") << "still starting";
  winsim::Advance(winsim::kDefaultStartDelay - 1);
  EXPECT_EQ(outcome(QueryServiceStatus(service, &status)), "ok");
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_START_PENDING));
  winsim::Advance(1);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));

  // A running service that needs the spooler: its stop is refused until that one has stopped;
  // the list names the last started first, and asks for room for both names of each.
  winsim::AddDependentService(u"Fax", u"spooler", SERVICE_RUNNING);
  winsim::AddDependentService(u"LPDSVC", u"spooler", SERVICE_RUNNING);
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1051");
  DWORD needed = 0, count = 9;
  EXPECT_EQ(outcome(EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count)), "5");
  SC_HANDLE lister = OpenServiceW(manager, u"spooler", SERVICE_ENUMERATE_DEPENDENTS);
  EXPECT_EQ(outcome(EnumDependentServicesW(lister, SERVICE_ACTIVE, nullptr, 0, &needed, &count)), "234");
  EXPECT_EQ(needed, 2 * sizeof(ENUM_SERVICE_STATUSW) + 2 * sizeof(WCHAR) * (4 + 7));
  std::vector<ENUM_SERVICE_STATUSW> listed(needed / sizeof(ENUM_SERVICE_STATUSW) + 1);
  EXPECT_EQ(outcome(EnumDependentServicesW(lister, SERVICE_ACTIVE, listed.data(), needed, &needed, &count)), "ok");
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(winsim::Utf8(listed[0].lpServiceName) + " " + winsim::Utf8(listed[1].lpServiceName), "LPDSVC Fax");
  SC_HANDLE fax = OpenServiceW(manager, u"Fax", SERVICE_START | SERVICE_STOP);
  for (SC_HANDLE dependent : {fax, OpenServiceW(manager, u"LPDSVC", SERVICE_STOP)}) {
    EXPECT_EQ(outcome(ControlService(dependent, SERVICE_CONTROL_STOP, &status)), "ok");
    if (dependent != fax) CloseServiceHandle(dependent);
  }
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1051") << "dependents still stopping";
  winsim::Advance(winsim::kDefaultStopDelay);
  EXPECT_EQ(outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "ok");
  winsim::Advance(winsim::kDefaultStopDelay);
  // Starting a dependent starts the stopped spooler first.
  EXPECT_EQ(outcome(StartServiceW(fax, 0, nullptr)), "ok");
  winsim::Advance(2 * winsim::kDefaultStartDelay);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_EQ(winsim::ServiceState(u"fax"), DWORD(SERVICE_RUNNING));
  for (SC_HANDLE handle : {fax, lister, service, manager}) CloseServiceHandle(handle);
  EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
}

}  // namespace
