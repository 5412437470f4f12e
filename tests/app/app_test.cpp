// The command line, the context's directories and the log: its lines, its window and its event.
#include "app/command_dispatch.h"
#include "app/install_log.h"
#include "support/product_machine.h"
#include "winsim/sim_process.h"

namespace {

using CommandDispatchTest = ProductMachineTest;

class InstallLogTest : public SimTest {
 protected:
  InstallContext context{};
  void TearDown() override {
    FreeContext(context);
    SimTest::TearDown();
  }
};

// Two spaces a level up to ten; values formatted, texts taken as data, a line cut at its buffer.
TEST_F(InstallLogTest, LinesAreIndentedFormattedAndCut) {
  for (int depth : {0, -1, 1, 3, 10, 12}) {
    context.Depth = depth;
    LogLine(context, u"d%d", depth);
  }
  context.Depth = 0;
  LogLine(context, u"%s|%d|%d|%x|%x|%%|%q", u"name", -2147483647 - 1, 42, 5u, 0xFFFFFFFFu);
  LogLine(context, u"printer %s", u"%s%n%x");
  std::u16string longText(1500, u'a');
  LogLine(context, u"%s", longText.c_str());
  SetLastError(ERROR_ACCESS_DENIED);
  LogError(context, 7, u"%s", longText.c_str());
  Lines lines = LogLines(context);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 8),
            (Lines{"d0", "d-1", "  d1", "      d3", std::string(20, ' ') + "d10", std::string(20, ' ') + "d12",
                   "name|-2147483648|42|5|ffffffff|%|%q", "printer %s%n%x"}));
  EXPECT_EQ(lines[8], std::string(1023, 'a'));
  EXPECT_EQ(lines[9].size(), 1023u);
  EXPECT_EQ(lines[9].substr(0, 10), "Error(7): ");
}

// The system's text follows the error's own, without its line breaks; an unknown code says so,
// and an error after a success has no suffix but counts. The texts an outer setup's support
// staff search for, word for word, and the table's last code.
TEST_F(InstallLogTest, ErrorLinesCarryTheirTextAndTheSystemText) {
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
  const std::pair<int32_t, const char*> texts[] = {
      {0, "(none)"},
      {2, "Can't open the spooler"},
      {11, "Can`t install a local port monitor'Orvandelle:'"},
      {18, "Can`t rewrite PendingFileRenameOperations"},
      {19, "Another installation of the product is still running; nothing was changed"},
      {25, "Can`t take the lock that keeps installations apart; nothing was changed"},
      {26, "(none)"}};
  for (const auto& c : texts)
    EXPECT_EQ(ErrorFormat(c.first) ? winsim::Utf8(ErrorFormat(c.first)) : "(none)", c.second) << c.first;
}

// The log text of events written since `first`, the "Install log k of n" lines left out.
std::u16string EventText(size_t first, std::vector<std::string>* headers) {
  std::u16string text;
  for (size_t i = first; i < winsim::LoggedEvents().size(); i++) {
    std::u16string part = winsim::LoggedEvents()[i].strings.at(0);
    EXPECT_LE(part.size(), 31839u) << "event " << i;
    if (part.compare(0, 12, u"Install log ") == 0) {
      size_t end = part.find(u"\r\n") + 2;
      headers->push_back(winsim::Utf8(part.substr(0, end - 2)));
      part.erase(0, end);
    }
    text += part;
  }
  return text;
}

// A run nobody can see: no window, whatever was counted; the whole log in events the event log
// takes, numbered parts cut at line breaks; a refused event is tried again in smaller parts, down
// to 512 characters, and what could not be written is said in an event of its own.
TEST_F(InstallLogTest, UnseenStationWritesTheLogAsEventsInsteadOfAWindow) {
  winsim::SetWindowStationVisible(false);
  std::u16string line(1000, u'x');
  for (int i = 0; i < 40; i++) LogLine(context, u"%s", line.c_str());  // 40 080 characters
  context.ErrorCount = 1;
  winsim::SetShiftHeld(true);
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_TRUE(winsim::Dialogs().empty());
  ASSERT_EQ(winsim::LoggedEvents().size(), 2u);
  const winsim::LoggedEvent& event = winsim::LoggedEvents()[0];
  EXPECT_EQ(winsim::Utf8(event.source) + " " + std::to_string(event.eventId), "Orvandelle Install 1");
  EXPECT_EQ(event.strings.size(), 1u);
  EXPECT_EQ(event.strings[0].size(), 20u + 31 * 1002) << "31 whole lines and the numbering line";
  std::vector<std::string> headers;
  EXPECT_EQ(EventText(0, &headers), Chars(context.LogText));
  EXPECT_EQ(headers, (std::vector<std::string>{"Install log 1 of 2", "Install log 2 of 2"}));

  winsim::FailNext("ReportEventW", 1, ERROR_INVALID_PARAMETER);
  ShowLogWindowWhenNeeded(context, nullptr);
  headers.clear();
  EXPECT_EQ(EventText(2, &headers), Chars(context.LogText));
  EXPECT_EQ(headers, (std::vector<std::string>{"Install log 1 of 3", "Install log 2 of 3", "Install log 3 of 3"}));

  winsim::ClearCalls();
  winsim::FailNext("ReportEventW", 7, ERROR_INVALID_PARAMETER);
  ShowLogWindowWhenNeeded(context, nullptr);
  EXPECT_EQ(winsim::CountCalls("ReportEventW"), 8u) << "seven sizes, then the event saying what is missing";
  ASSERT_EQ(winsim::LoggedEvents().size(), 6u);
  EXPECT_EQ(winsim::Utf8(winsim::LoggedEvents()[5].strings[0]),
            "The install log could not be written whole: its last 40080 characters are missing (error 87)");
  EXPECT_EQ(winsim::OpenEventSources(), 0u);
}

}  // namespace
