// The tray program's Run value and path: the value's limit and the folder's separators, which
// the rows meet only through their outcome.
#include "tray/tray_control.h"

#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kRunValue[] = u"OrvandelleTray";

class TrayControlTest : public SimTest {
 protected:
  InstallContext context{};

  void TearDown() override {
    ReleaseText(context.ModuleDir);
    ExpectNoHandlesOpen();
    SimTest::TearDown();
  }

  static bool RunValueLeft() { return winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue).has_value(); }
  static std::vector<DWORD> Sleeps() {
    std::vector<DWORD> pauses;
    for (const auto& call : winsim::CallsOf("Sleep")) pauses.push_back(std::stoul(call.args[0]));
    return pauses;
  }
};

// The Run value is read into a 520-byte buffer: a longer one names nothing, one that fills it
// without a terminator is taken whole; a missing one costs a pause.
TEST_F(TrayControlTest, RunValueDecidesWhatIsDeleted) {
  const std::u16string full(MAX_PATH, u'y');
  const std::pair<std::string, std::string> cases[] = {
      {winsim::Utf16Bytes(u"C:\\" + std::u16string(260, u'x')) + std::string(2, '\0'), "(none)"},
      {winsim::Utf16Bytes(full), winsim::Utf8(full)},
  };
  for (const auto& c : cases) {
    winsim::ResetMachine();
    winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue, REG_SZ, c.first);
    StopAndRemoveTray();
    auto deletes = winsim::CallsOf("DeleteFileW");
    EXPECT_EQ(deletes.empty() ? "(none)" : deletes[0].args[0], c.second);
    EXPECT_FALSE(RunValueLeft());
    if (deletes.empty()) {
      EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
    }
  }
}

// The tray program lies in the parent of the installer's folder, whichever separator that
// folder's path uses; a path longer than MAX_PATH is started cut to 259 characters.
TEST_F(TrayControlTest, TrayPathFollowsTheParentDirectory) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"C:/Product/drv/", u"C:/Product\\orvtray.exe"},
      {u"a\\b/c/", u"a\\orvtray.exe"},
      {u"D:\\" + std::u16string(300, u'd') + u"\\drv\\", u"D:\\" + std::u16string(300, u'd') + u"\\orvtray.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(winsim::Utf8(c.first));
    ReleaseText(context.ModuleDir);
    winsim::ResetMachine();
    Assign(context.ModuleDir, c.first.c_str());
    context.StartTray = 1;
    RegisterAndStartTray(context);
    auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, kRunValue);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data, winsim::Utf16Bytes(c.second) + std::string(2, '\0'));
    ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
    EXPECT_EQ(winsim::ProcessStarts().back().commandLine, u"\"" + c.second.substr(0, 259) + u"\"");
  }
}

}  // namespace
