#include "app/install_context.h"

#include "support/sim_test.h"

namespace {

class InstallContextTest : public SimTest {
 protected:
  InstallContext context{};
  template <typename Inspect>
  void WithContext(Inspect inspect) {
    InitContext(context, UseX64Files);
    inspect();
    FreeContext(context);
  }
  static std::string Text(const WideText& text) { return winsim::Utf8(Chars(text)); }
};

TEST_F(InstallContextTest, DirectoriesEndInOneSeparator) {
  const std::pair<std::u16string, std::string> modules[] = {
      {u"C:\\Setup\\inst.exe", "C:\\Setup\\"}, {u"C:/Setup/sub/inst.exe", "C:/Setup/sub/"},
      {u"C:\\Setup/inst.exe", "C:\\Setup/"},   {u"C:inst.exe", "C:"},
      {u"inst.exe", ""},
  };
  for (const auto& c : modules) {
    winsim::SetModulePath(c.first);
    WithContext([&] { EXPECT_EQ(Text(context.ModuleDir), c.second) << winsim::Utf8(c.first); });
  }
  for (std::u16string dir : {u"C:\\Windows\\system32", u"C:\\Windows\\system32\\"}) {
    winsim::SetSystemDirectory(dir);
    WithContext([&] { EXPECT_EQ(Text(context.SystemDir), "C:\\Windows\\system32\\"); });
  }
  // Longer than the buffer: the platform answers with the size it would need and copies nothing.
  winsim::SetSystemDirectory(u"C:\\" + std::u16string(300, u'w'));
  WithContext([&] {
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(LogLines(context).back(),
              "Error(7): Can`t retrieve system directory. - (The data area passed to a system call is too small.)");
    EXPECT_EQ(context.ErrorCount, 1);
  });
}

}  // namespace
