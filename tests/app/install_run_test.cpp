// The install command from command line to exit code, as the outer setup program sees it.
#include <algorithm>

#include "app/command_dispatch.h"
#include "app/install_log.h"
#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_services.h"

namespace {

using Lines = std::vector<std::string>;

class InstallRunTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    PrepareProductMachine();
  }
  int32_t Install() {
    winsim::SetCommandLine(u"orvinst.exe install");
    return RunCommand(reinterpret_cast<HINSTANCE>(0x400000));
  }

  // The log as the window showed it, one entry per line.
  static Lines WindowLines() {
    std::string text = winsim::Utf8(winsim::DialogItemText(winsim::Dialogs().at(0), kLogTextId));
    Lines lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    return lines;
  }
  static Lines Head(const Lines& lines, size_t n) { return Lines(lines.begin(), lines.begin() + std::min(n, lines.size())); }
};

TEST_F(InstallRunTest, ShiftShowsTheLogOfACleanInstall) {
  winsim::SetShiftHeld(true);
  EXPECT_EQ(Install(), 1);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install log.");
  Lines lines = WindowLines();
  EXPECT_EQ(Head(lines, 5), (Lines{"Orvandelle 2547", ">Check Spooler",
                                   "PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\drivers\\x64",
                                   "PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\drivers\\x64\\", ">>0010"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), ">>0020"), 0) << "written only after the window closed";
  EXPECT_EQ(winsim::CountCalls("StartServiceW"), 0u) << "the spooler already ran";
  EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
}

TEST_F(InstallRunTest, SpoolerThatCannotStartEndsInTheErrorLog) {
  winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
  winsim::RefuseServiceStart(u"spooler", ERROR_SERVICE_DISABLED);
  EXPECT_EQ(Install(), 100);
  ASSERT_EQ(winsim::Dialogs().size(), 1u);
  EXPECT_EQ(winsim::Dialogs()[0].title, u"Orvandelle build 2547- Install error log!");
  // A stopped spooler also answers nothing else; only the lines of the check are pinned here.
  Lines lines = WindowLines();
  EXPECT_EQ(Head(lines, 3),
            (Lines{"Orvandelle 2547", ">Check Spooler",
                   "  Error(4): Can't start the spooler - (The service cannot be started, either because it is "
                   "disabled or because it has no enabled devices associated with it.)"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), ">>0010"), 1);
  EXPECT_EQ(winsim::CountCalls("GetAsyncKeyState"), 0u) << "an error shows the window without asking for Shift";
  EXPECT_GE(winsim::CallsOf("DialogBoxParamW")[0].tick, 10000u) << "the start was waited for";
}

}  // namespace
