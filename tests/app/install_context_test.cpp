#include "app/install_context.h"

#include "support/sim_test.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"

namespace {

class InstallContextTest : public SimTest {
 protected:
  InstallContext context{};

  // Builds a context, hands it to `inspect`, and frees it.
  template <typename Inspect>
  void WithContext(unsigned flags, Inspect inspect) {
    InitContext(context, flags);
    inspect();
    FreeContext(context);
  }
  static std::string Text(const WideText& text) { return winsim::Utf8(Chars(text)); }
};

TEST_F(InstallContextTest, FlagsChooseTheFileFamilyAndTheTray) {
  for (unsigned flags : {UseX64Files, UseX64Files | NoTray}) {
    WithContext(flags, [&] {
      EXPECT_EQ(winsim::Utf8(context.Environment), "Windows x64");
      EXPECT_EQ(context.StartTray, flags == UseX64Files ? 1 : 0) << "flags " << flags;
    });
  }
  WithContext(0, [&] {
    EXPECT_EQ(winsim::Utf8(context.MonitorFile), "zelmon32.dll");
    EXPECT_EQ(winsim::CallsOf("GetPrinterDriverDirectoryW").back().args[1], "Windows NT x86");
  });
}

TEST_F(InstallContextTest, BuildLineComesFirstEvenWhenTheSpoolerCheckFails) {
  winsim::FailManagerOpen(ERROR_ACCESS_DENIED);
  WithContext(UseX64Files, [&] {
    EXPECT_EQ(LogLines(context), (Lines{"Orvandelle 2547", ">Check Spooler",
                                        "  Error(1): Can't open service manager. - (Access is denied.)",
                                        "PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\drivers\\x64",
                                        "PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\drivers\\x64\\"}));
    EXPECT_EQ(Text(context.DriverDir), "C:\\Windows\\system32\\spool\\drivers\\x64\\");
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.Depth, 0);
  });
}

TEST_F(InstallContextTest, ModuleDirIsCutRightAfterTheLastSeparator) {
  struct Case {
    std::u16string path;
    std::string dir;
  } cases[] = {
      {u"C:\\Setup\\inst.exe", "C:\\Setup\\"},      {u"C:/Setup/sub/inst.exe", "C:/Setup/sub/"},
      {u"C:\\Setup/inst.exe", "C:\\Setup/"},        {u"C:inst.exe", "C:"},
      {u"\\\\srv\\share\\x.exe", "\\\\srv\\share\\"}, {u"inst.exe", ""},
  };
  for (const Case& c : cases) {
    winsim::SetModulePath(c.path);
    WithContext(UseX64Files, [&] {
      EXPECT_EQ(Text(context.ModuleDir), c.dir) << winsim::Utf8(c.path);
      if (c.dir.empty()) {
        EXPECT_EQ(context.ModuleDir.block, nullptr) << "an empty text holds no block";
      }
    });
  }
  winsim::FailNext("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
  WithContext(UseX64Files, [&] { EXPECT_EQ(context.ModuleDir.block, nullptr); });
}

TEST_F(InstallContextTest, SystemDirEndsInExactlyOneBackslash) {
  for (std::u16string dir : {u"C:\\Windows\\system32", u"C:\\Windows\\system32\\"}) {
    winsim::SetSystemDirectory(dir);
    WithContext(UseX64Files, [&] { EXPECT_EQ(Text(context.SystemDir), "C:\\Windows\\system32\\"); });
  }
  winsim::FailNext("GetSystemDirectoryW", 1, ERROR_ACCESS_DENIED);
  WithContext(UseX64Files, [&] {
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(LogLines(context).back(), "Error(7): Can`t retrieve system directory. - (Access is denied.)");
    EXPECT_EQ(context.ErrorCount, 1);
  });
  // Longer than the buffer: the platform answers with the size it would need and copies nothing.
  winsim::SetSystemDirectory(u"C:\\" + std::u16string(300, u'w'));
  WithContext(UseX64Files, [&] {
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(LogLines(context).back(),
              "Error(7): Can`t retrieve system directory. - (The data area passed to a system call is too small.)");
  });
}

TEST_F(InstallContextTest, DriverDirectoryFailureOnEitherCallIsErrorSix) {
  for (int skip : {0, 1}) {
    winsim::FailNext("GetPrinterDriverDirectoryW", 1, ERROR_ACCESS_DENIED, skip);
    WithContext(UseX64Files, [&] {
      EXPECT_EQ(context.DriverDir.block, nullptr);
      EXPECT_EQ(LogLines(context).back(), "Error(6): Can`t retrieve printer driver directory. - (Access is denied.)");
      EXPECT_EQ(winsim::Utf8(context.HelpFile), "zelhelp.chm");
    });
    winsim::ClearFaults();
  }
}

TEST_F(InstallContextTest, DriverDirectoryIsAskedForItsSizeFirst) {
  winsim::SetDriverDirectory(u"D:\\Drivers\\");
  WithContext(UseX64Files, [&] {
    Lines lines = LogLines(context);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"PrinterDriverDirectory(1):D:\\Drivers\\", "PrinterDriverDirectory(2):D:\\Drivers\\"}));
    auto calls = winsim::CallsOf("GetPrinterDriverDirectoryW");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[3], "null");
    EXPECT_EQ(calls[1].args[4], "26") << "12 characters of 2 bytes, and room for one more";
  });
}

TEST_F(InstallContextTest, FreeingReleasesEveryListOnce) {
  for (bool emptiedFirst : {false, true}) {
    InitContext(context, UseX64Files);
    for (int i = 0; i < 2; i++) {
      auto* node = static_cast<SavedPrinter*>(AllocateZeroed(sizeof(SavedPrinter)));
      node->SettingsKey = static_cast<char*>(AllocateZeroed(8));
      node->Next = context.SavedPrinters;
      context.SavedPrinters = node;
    }
    context.ParkedPrinters = static_cast<PRINTER_INFO_2W**>(AllocateZeroed(2 * sizeof(PRINTER_INFO_2W*)));
    if (emptiedFirst) {
      FreeSavedPrinters(context.SavedPrinters);
      EXPECT_EQ(context.SavedPrinters, nullptr);
    }
    FreeContext(context);
    EXPECT_EQ(winsim::LiveBlocks(), 0u);
    EXPECT_EQ(winsim::BadReleases(), 0u);
    EXPECT_EQ(context.ParkedPrinters, nullptr);
    EXPECT_EQ(context.SavedPrinters, nullptr);
  }
}

}  // namespace
