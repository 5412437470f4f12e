#include "app/install_log.h"

#include "support/sim_test.h"

namespace {

class InstallLogTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    context = EmptyContext();
  }
  void TearDown() override {
    FreeEmptyContext(context);
    SimTest::TearDown();
  }
  InstallContext context;
};

TEST_F(InstallLogTest, IndentsTwoSpacesPerLevelUpToTen) {
  const int depths[] = {0, -1, 1, 3, 10, 12};
  for (int depth : depths) {
    context.Depth = depth;
    LogLine(context, u"d%d", depth);
  }
  EXPECT_EQ(LogLines(context), (Lines{"d0", "d-1", "  d1", "      d3",
                                                         "                    d10", "                    d12"}));
}

TEST_F(InstallLogTest, FormatsTextSignedAndHexValuesAndTakesTextAsData) {
  LogLine(context, u"%s|%d|%d|%x|%x|%%|%q", u"name", -2147483647 - 1, 42, 5u, 0xFFFFFFFFu);
  LogLine(context, u"printer %s", u"%s%n%x");
  EXPECT_EQ(LogLines(context), (Lines{"name|-2147483648|42|5|ffffffff|%|%q", "printer %s%n%x"}));
}

TEST_F(InstallLogTest, FormattedLineIsCutAtItsBuffer) {
  std::u16string longText(1500, u'a');
  LogLine(context, u"%s", longText.c_str());
  EXPECT_EQ(LogLines(context)[0], std::string(1023, 'a'));
  SetLastError(ERROR_ACCESS_DENIED);
  LogError(context, 7, u"%s", longText.c_str());
  std::string line = LogLines(context)[1];
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_EQ(line.substr(0, 10), "Error(7): ");
}

// The system's text follows the error's own, without its line breaks; an unknown code says so,
// and an error after a success has no suffix but counts.
TEST_F(InstallLogTest, ErrorLinesCarryTheSystemText) {
  SetLastError(ERROR_ACCESS_DENIED);
  ReportError(context, 7);
  SetLastError(12345);
  ReportError(context, 3);
  SetLastError(0);
  ReportError(context, 16, u"Office");
  EXPECT_EQ(LogLines(context), (Lines{"Error(7): Can`t retrieve system directory. - (Access is denied.)",
                                      "Error(3): Can't stop the spooler - ( No Description )",
                                      "Error(16): Can`t open printer 'Office'"}));
  EXPECT_EQ(context.ErrorCount, 3);
  EXPECT_EQ(winsim::CallsOf("FormatMessageW")[0].args, (std::vector<std::string>{"0x1300", "5", "1033"}));
  EXPECT_EQ(ErrorFormat(0), nullptr);
  EXPECT_EQ(ErrorFormat(20), nullptr);
}

class LogWindowTest : public InstallLogTest {
 protected:
  // Shift held, so that the window shows whatever the error count.
  const winsim::DialogRun& Show() {
    winsim::SetShiftHeld(true);
    ShowLogWindowWhenNeeded(context, nullptr);
    return winsim::Dialogs().back();
  }
};

TEST_F(LogWindowTest, CloseEndsWithOneEscWithZeroOthersIgnored) {
  winsim::SetDialogScript({IDOK});
  EXPECT_EQ(Show().result, 1);
  winsim::SetDialogScript({IDCANCEL});
  EXPECT_EQ(Show().result, 0);
  // Only the low word is the command; 1001 is the text box's notification, not a command.
  winsim::SetDialogScript({1001, 0x00050001, IDCANCEL});
  const winsim::DialogRun& run = Show();
  EXPECT_EQ(run.result, 1) << "high word ignored: 0x00050001 is command 1";
  for (INT_PTR answer : run.procResults) EXPECT_EQ(answer, 0) << "every message is answered with 0";
  EXPECT_EQ(run.procResults.size(), 3u) << "WM_INITDIALOG, 1001, then Close; Esc never sent";
}

// A run nobody can see: no window, whatever was counted; the whole log as one event, in pieces
// the event log takes; interactive runs write none.
TEST_F(LogWindowTest, UnseenStationWritesTheLogAsOneEventInsteadOfAWindow) {
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_EQ(winsim::CountCalls("RegisterEventSourceW"), 0u) << "interactive: no event";

  winsim::ClearCalls();
  winsim::SetWindowStationVisible(false);
  std::u16string line(1000, u'x');
  for (int i = 0; i < 40; i++) LogLine(context, u"%s", line.c_str());  // 40 080 characters
  context.ErrorCount = 1;
  winsim::SetShiftHeld(true);
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_TRUE(winsim::Dialogs().empty());
  ASSERT_EQ(winsim::LoggedEvents().size(), 1u);
  const winsim::LoggedEvent& event = winsim::LoggedEvents()[0];
  EXPECT_EQ(event.source, u"Orvandelle Install");
  EXPECT_EQ(event.type, WORD(EVENTLOG_ERROR_TYPE));
  EXPECT_EQ(event.eventId, 1u);
  ASSERT_EQ(event.strings.size(), 2u);
  EXPECT_EQ(event.strings[0].size(), 31839u);
  EXPECT_EQ(event.strings[0] + event.strings[1], Chars(context.LogText));

  context.ErrorCount = 0;
  ShowLogWindowWhenNeeded(context, nullptr);
  ASSERT_EQ(winsim::LoggedEvents().size(), 2u);
  EXPECT_EQ(winsim::LoggedEvents()[1].type, WORD(EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(winsim::CountCalls("GetAsyncKeyState"), 0u) << "no key to look at where nobody types";
  EXPECT_EQ(winsim::OpenEventSources(), 0u);

  // A station that cannot be asked counts as unseen; a refused event costs nothing else.
  winsim::SetWindowStationVisible(true);
  winsim::FailNext("GetUserObjectInformationW", 1, ERROR_ACCESS_DENIED);
  winsim::FailNext("ReportEventW", 1, ERROR_INVALID_PARAMETER);
  context.ErrorCount = 1;
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_TRUE(winsim::Dialogs().empty());
  EXPECT_EQ(winsim::CountCalls("ReportEventW"), 3u);
  EXPECT_EQ(winsim::OpenEventSources(), 0u);
  winsim::FailNext("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED);
  winsim::SetWindowStationVisible(false);
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_EQ(winsim::CountCalls("ReportEventW"), 3u);
}

}  // namespace
