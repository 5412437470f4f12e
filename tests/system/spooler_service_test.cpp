#include "system/spooler_service.h"

#include "support/sim_test.h"
#include "winsim/sim_services.h"

namespace {

class SpoolerServiceTest : public SimTest {
 protected:
  InstallContext context = EmptyContext();
  SpoolerRestart restart{};

  void TearDown() override {
    FreeEmptyContext(context);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u) << "a manager or service handle was left open";
    SimTest::TearDown();
  }

  // The status reads since the call record was cleared, after `skip` earlier ones: `reads` of
  // them, 200 ms apart from `start`, with one 200 ms sleep between each two.
  static void ExpectPolls(size_t reads, DWORD start, size_t skip = 0) {
    auto calls = winsim::CallsOf("QueryServiceStatus");
    ASSERT_EQ(calls.size(), skip + reads);
    for (size_t i = 0; i < reads; i++) EXPECT_EQ(calls[skip + i].tick, start + 200 * i) << "read " << i;
    auto sleeps = winsim::CallsOf("Sleep");
    ASSERT_EQ(sleeps.size(), reads - 1);
    for (const auto& sleep : sleeps) EXPECT_EQ(sleep.args[0], "200");
  }

  static std::string AccessOf(const char* call, size_t index = 0) {
    auto calls = winsim::CallsOf(call);
    return index < calls.size() ? calls[index].args.back() : std::string("(not called)");
  }
};

TEST_F(SpoolerServiceTest, StoppedSpoolerIsNotReportedAndStartedAgain) {
  winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  RestartSpooler(restart, &context);
  EXPECT_EQ(LogLines(context), (Lines{">Restart Spooler"}));
  EXPECT_EQ(context.ErrorCount, 0);
  EXPECT_EQ(AccessOf("OpenSCManagerW"), "0xf0001");
  EXPECT_EQ(AccessOf("OpenServiceW"), "0x34");
  EXPECT_EQ(winsim::CallsOf("OpenServiceW")[0].args[1], "spooler");
  EXPECT_TRUE(restart.stopRequested);
  ExpectPolls(1, 0);

  winsim::ClearCalls();
  FinishSpoolerRestart(restart);
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u);
  ExpectPolls(4, 0);  // the default start takes 600 ms
  EXPECT_EQ(LogLines(context), (Lines{">Restart Spooler"}));
  EXPECT_EQ(winsim::CountCalls("CloseServiceHandle"), 2u);
}

TEST_F(SpoolerServiceTest, RefusedStopGivesTwoErrorsTenSecondsApart) {
  winsim::RefuseServiceStop(u"spooler", ERROR_INVALID_SERVICE_CONTROL);
  RestartSpooler(restart, &context);
  Lines lines = LogLines(context);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Error(5): ControlService failed with code 1052 (0x41c) - (The requested control is not "
                      "valid for this service.)");
  EXPECT_EQ(lines[2].rfind("Error(3): Can't stop the spooler", 0), 0u) << lines[2];
  EXPECT_EQ(context.ErrorCount, 2);
  ExpectPolls(51, 0);
  EXPECT_EQ(winsim::Now(), 10000u);

  winsim::ClearCalls();
  FinishSpoolerRestart(restart);
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 1u) << "started even though it never stopped";
  ExpectPolls(1, 10000);
  EXPECT_EQ(LogLines(context).size(), 3u);
  EXPECT_EQ(context.ErrorCount, 2);
}

TEST_F(SpoolerServiceTest, CheckFailuresAreLoggedInsideTheStep) {
  winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  winsim::RefuseServiceStart(u"spooler", ERROR_SERVICE_DISABLED);
  EXPECT_FALSE(CheckSpooler(context));
  winsim::FailServiceOpen(u"spooler", ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(CheckSpooler(context));
  winsim::SetElevated(false);  // a standard user may not connect with STANDARD_RIGHTS_REQUIRED
  EXPECT_FALSE(CheckSpooler(context));
  EXPECT_EQ(LogLines(context),
            (Lines{">Check Spooler",
                   "  Error(4): Can't start the spooler - (The service cannot be started, either because it is "
                   "disabled or because it has no enabled devices associated with it.)",
                   ">Check Spooler",
                   "  Error(2): Can't open the spooler - (The specified service does not exist as an installed "
                   "service.)",
                   ">Check Spooler", "  Error(1): Can't open service manager. - (Access is denied.)"}));
  EXPECT_EQ(context.ErrorCount, 3);
  EXPECT_EQ(context.Depth, 0);
}

}  // namespace
