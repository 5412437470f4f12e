// The simulated service control manager's Windows rules that the installer relies on.
#include "support/sim_test.h"
#include "winsim/sim_services.h"

namespace {

class ServicesSimTest : public SimTest {
 protected:
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;

  void SetUp() override {
    SimTest::SetUp();
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    service = OpenServiceW(manager, u"Spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
  }
  void TearDown() override {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
    SimTest::TearDown();
  }
  // The call's result and last error, as "ok" or the error code.
  static std::string Outcome(BOOL result) { return result ? "ok" : std::to_string(GetLastError()); }
};

// The settled states' answers are the conformance checks'; these are the pending ones'.
TEST_F(ServicesSimTest, StopAndStartTakeTimeAndRefuseWhatWindowsRefuses) {
  ASSERT_NE(service, nullptr) << "names are compared without case";
  SERVICE_STATUS status{};
  EXPECT_EQ(Outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "ok");
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
  EXPECT_EQ(Outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1061");
  EXPECT_EQ(Outcome(StartServiceW(service, 0, nullptr)), "1056") << "still stopping";
  winsim::Advance(winsim::kDefaultStopDelay);
  EXPECT_EQ(winsim::ServiceState(u"SPOOLER"), DWORD(SERVICE_STOPPED));
  EXPECT_EQ(Outcome(StartServiceW(service, 0, nullptr)), "ok");
  EXPECT_EQ(Outcome(ControlService(service, SERVICE_CONTROL_STOP, &status)), "1052") << "still starting";
  winsim::Advance(winsim::kDefaultStartDelay - 1);
  EXPECT_EQ(Outcome(QueryServiceStatus(service, &status)), "ok");
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_START_PENDING));
  winsim::Advance(1);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
}

}  // namespace
