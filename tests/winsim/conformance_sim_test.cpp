// The conformance checks that win64.conformance plays under Wine, here against winsim; and that
// they fail on a machine that answers otherwise.
#include "conformance/checks.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

using conformance::Refusal;

bool SetRefusal(Refusal refusal, bool on) {
  if (refusal == Refusal::IgnoresStop) winsim::RefuseServiceStop(u"spooler", on ? ERROR_INVALID_SERVICE_CONTROL : 0);
  if (refusal == Refusal::Disabled) winsim::RefuseServiceStart(u"spooler", on ? ERROR_SERVICE_DISABLED : 0);
  return true;
}

const conformance::Side kSim = {false, [](const char16_t*, const char16_t* path) { return winsim::PutFile(path, "MZ"), true; },
                                SetRefusal};

using ConformanceTest = SimTest;

// The whole table, as under Wine; the spooler is left running and no handle open.
TEST_F(ConformanceTest, WinsimAnswersAsWindows) {
  winsim::AddLocalPortMonitor();  // which Windows and Wine bring, and winsim starts without
  conformance::Failures all = conformance::Run(kSim);
  EXPECT_EQ(all.lines, std::vector<std::string>{});
  EXPECT_EQ(all.wineNotes, std::vector<std::string>{});
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING));
  EXPECT_EQ(winsim::OpenPrinterHandles() + winsim::OpenFileHandles() + winsim::OpenServiceHandles(), 0u);
}

// A check that cannot fail is worthless: on a machine that refuses nothing, or deletes a driver
// in use as Wine does, the checks fail, each with what it answered.
TEST_F(ConformanceTest, ChecksFailOnAMachineThatAnswersOtherwise) {
  conformance::Side bad = kSim;
  bad.refuse = [](Refusal, bool) { return true; };
  std::vector<std::string> lines;
  winsim::AddLocalPortMonitor();
  winsim::SetWineDriverDeletion(true);
  for (const std::string& line : conformance::Run(bad).lines) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{
      "service: starting a disabled one: got 0, expected 1058",
      "service: started ignoring STOP: got 1056, expected 0",
      "service: a stop it does not accept: got 0, expected 1052",
      "service: still running after the refused stop: reached",
      "monitor and driver changes: DeletePrinterDriverExW: with files, in use: got 87, expected 3001",
      "monitor and driver changes: DeletePrinterDriverExW: without files, in use: got 0, expected 3001"}));
}

}  // namespace
