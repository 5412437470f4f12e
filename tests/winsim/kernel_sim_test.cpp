// The parts of the simulated machine that stand in for Windows' own rules.
#include "support/sim_test.h"

namespace {

class KernelSimTest : public SimTest {
 protected:
  std::vector<std::string> Split(const std::u16string& line) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.push_back(winsim::Utf8(args[i]));
    LocalFree(args);
    return out;
  }
};

using Args = std::vector<std::string>;

TEST_F(KernelSimTest, CommandLineSplitsWithWindowsQuotingRules) {
  EXPECT_EQ(Split(u"prog a b"), (Args{"prog", "a", "b"}));
  EXPECT_EQ(Split(u"\"C:\\Program Files\\x.exe\" in"), (Args{"C:\\Program Files\\x.exe", "in"}));
  EXPECT_EQ(Split(u"C:\\a\\\"b c"), (Args{"C:\\a\\\"b", "c"})) << "no escapes in the program name";
  EXPECT_EQ(Split(u"p \"a b\" c"), (Args{"p", "a b", "c"}));
  EXPECT_EQ(Split(u"p a\\\\b"), (Args{"p", "a\\\\b"})) << "backslashes not before a quote are literal";
  EXPECT_EQ(Split(u"p a\\\"b"), (Args{"p", "a\"b"}));
  EXPECT_EQ(Split(u"p a\\\\\"b c\""), (Args{"p", "a\\b c"}));
  EXPECT_EQ(Split(u"p a\\\\\\\"b"), (Args{"p", "a\\\"b"}));
  EXPECT_EQ(Split(u"p \"a\"\"b\""), (Args{"p", "a\"b"})) << "a doubled quote inside quotes is literal";
  EXPECT_EQ(Split(u"p \"\" x"), (Args{"p", "", "x"}));
  EXPECT_EQ(Split(u"p\t a  \t"), (Args{"p", "a"}));
}

TEST_F(KernelSimTest, EmptyCommandLineGivesTheModulePath) {
  winsim::SetModulePath(u"C:\\Setup\\inst.exe");
  EXPECT_EQ(Split(u""), (Args{"C:\\Setup\\inst.exe"}));
}

TEST_F(KernelSimTest, ClockWrapsAndRunsEventsInOrder) {
  std::vector<int> order;
  winsim::SetTick(0xFFFFFFF0u);
  winsim::ScheduleAfter(30, [&] { order.push_back(2); });
  winsim::ScheduleAfter(10, [&] { order.push_back(1); });
  Sleep(20);
  EXPECT_EQ(GetTickCount(), 4u) << "the tick count wraps at 2^32";
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_FALSE(winsim::AdvanceUntil(5, [&] { return order.size() == 2; }));
  EXPECT_TRUE(winsim::AdvanceUntil(100, [&] { return order.size() == 2; }));
  EXPECT_EQ(GetTickCount(), 14u) << "a wait ends when its condition holds, not at its deadline";
}

TEST_F(KernelSimTest, FaultsApplyAfterSkipsAndRunOut) {
  winsim::FailNext("GetSystemDirectoryW", 2, ERROR_ACCESS_DENIED, 1);
  WCHAR buffer[MAX_PATH];
  EXPECT_NE(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_NE(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_EQ(winsim::CountCalls("GetSystemDirectoryW"), 4u);
}

TEST_F(KernelSimTest, WrongAllocatorReleaseIsCaught) {
  void* block = GlobalAlloc(GMEM_FIXED, 16);
  EXPECT_EQ(LocalFree(block), block) << "LocalFree refuses a global block";
  EXPECT_EQ(winsim::BadReleases(), 1u);
  GlobalFree(block);
  winsim::ResetMachine();  // the deliberate bad release is not this test's failure
}

}  // namespace
