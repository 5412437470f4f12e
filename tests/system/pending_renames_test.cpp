#include "system/pending_renames.h"

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kMonitor[] = u"C:\\Windows\\system32\\zelmon64.dll";
const char16_t kOther[] = u"C:\\Temp\\other.tmp";

class PendingRenamesTest : public SimTest {
 protected:
  PendingRenameTable table = {nullptr, nullptr, 0};

  void TearDown() override {
    FreePendingRenames(table);
    EXPECT_EQ(winsim::OpenKeyHandles(), 0u) << "registry keys left open";
    SimTest::TearDown();
  }

  static void SetPendingBytes(const std::string& data) {
    winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, REG_MULTI_SZ, data);
  }
  static std::string PendingBytes() {
    return winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue)->data;
  }

  void Read() {
    FreePendingRenames(table);
    table = ReadPendingRenames();
  }

  // Entry i as UTF-8, "(null)" for an empty string.
  std::string Path(int i) const { return winsim::Utf8(table.paths[i]); }
  std::vector<int32_t> Flags() const { return std::vector<int32_t>(table.isFile, table.isFile + 2 * table.pairCount); }
};

TEST_F(PendingRenamesTest, MissingValueOrKeyGivesAnEmptyTable) {
  Read();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(table.paths, nullptr);
  ClearPendingDeletes(table);
  EXPECT_EQ(winsim::CountCalls("DeleteFileW"), 0u);
  auto open = winsim::CallsOf("RegOpenKeyExA");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].args,
            (std::vector<std::string>{"HKLM", "SYSTEM\\CurrentControlSet\\Control\\Session Manager", "0", "0x20019"}));

  SetPendingRenames({NtPath(kMonitor), u""});
  winsim::DenyKey(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey);
  Read();
  EXPECT_EQ(table.pairCount, 0);
}

TEST_F(PendingRenamesTest, PendingDeletionOfAnExistingFileIsCarriedOutNowAndLeavesTheList) {
  winsim::PutFile(kMonitor, "MZ");
  const std::u16string rename[] = {NtPath(kOther), u"!" + NtPath(u"C:\\Temp\\renamed.tmp")};
  const std::u16string gone[] = {NtPath(u"C:\\Gone\\x.dll"), u""};
  SetPendingRenames({rename[0], rename[1], NtPath(kMonitor), u"", gone[0], gone[1]});
  Read();
  ASSERT_EQ(table.pairCount, 3);
  EXPECT_EQ(Path(2), winsim::Utf8(NtPath(kMonitor))) << "kept with its prefix";
  EXPECT_EQ(table.paths[3], nullptr);
  EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(winsim::CallsOf("GetFileAttributesW")[2].args[0], winsim::Utf8(kMonitor));

  EXPECT_EQ(ClearPendingDeletes(table), ERROR_SUCCESS);
  EXPECT_FALSE(winsim::FileExists(kMonitor));
  EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
  // The rename and the deletion of a file that was not there are another program's business.
  EXPECT_EQ(PendingBytes(), winsim::Utf16Bytes(rename[0] + u'\0' + rename[1] + u'\0' + gone[0] + u'\0' + u'\0' + u'\0'));
  auto writes = winsim::CallsOf("RegSetValueExW");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].args[2], std::to_string(REG_MULTI_SZ));
  EXPECT_EQ(winsim::CallsOf("RegOpenKeyExA").back().args[3], winsim::Hex(KEY_READ | KEY_SET_VALUE));

  // Nothing carried out: the value is not written at all.
  winsim::ClearCalls();
  Read();
  EXPECT_EQ(ClearPendingDeletes(table), ERROR_SUCCESS);
  EXPECT_EQ(winsim::CountCalls("RegSetValueExW") + winsim::CountCalls("RegOpenKeyExA"), 1u) << "only the read";

  // The same file named twice: the second entry finds it gone, and leaves the list as well.
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({NtPath(kMonitor), u"", u"C:/Windows/system32/zelmon64.dll", u""});
  Read();
  EXPECT_EQ(ClearPendingDeletes(table), ERROR_SUCCESS);
  EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(PendingBytes(), std::string(2, '\0'));
}

// The rewrite takes out exactly the deletions of the named files and keeps every other byte.
TEST_F(PendingRenamesTest, DroppingDeletionsKeepsEveryOtherPairByteForByte) {
  const std::u16string monitor = NtPath(kMonitor);
  const std::u16string tray = u"C:\\Product\\orvtray.exe";
  std::u16string kept1 = NtPath(kOther) + u'\0' + u'\0';                                 // another file
  std::u16string kept2 = monitor + u'\0' + u"!" + NtPath(u"C:\\x.dll") + u'\0';         // a rename of it
  std::u16string kept3 = NtPath(u"C:\\Temp\\y.tmp") + u'\0' + monitor + u'\0';         // a rename onto it
  std::u16string tail = NtPath(u"C:\\odd") + u'\0' + u'\0';                             // unpaired, the end
  std::u16string value = kept1 + u"\\??\\C:\\WINDOWS\\SYSTEM32\\ZELMON64.DLL" + u'\0' + u'\0' + kept2 +
                         tray + u'\0' + u'\0' + kept3 + monitor + u'\0' + u'\0' + tail;
  SetPendingBytes(winsim::Utf16Bytes(value) + "x");  // an odd byte after the list stays too
  const WCHAR* files[] = {kMonitor, u"\\??\\c:\\product\\ORVTRAY.EXE", nullptr};
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS);
  EXPECT_EQ(PendingBytes(), winsim::Utf16Bytes(kept1 + kept2 + kept3 + tail) + "x");

  winsim::ClearCalls();
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS);
  EXPECT_EQ(winsim::CountCalls("RegSetValueExW"), 0u) << "none left: nothing written";
  winsim::RemoveValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
  EXPECT_EQ(DropPendingDeletes(files, 3), ERROR_SUCCESS) << "no list at all";
}

TEST_F(PendingRenamesTest, AListThatCannotBeRewrittenIsReportedAndLeftWhole) {
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({NtPath(kOther), u"", NtPath(kMonitor), u""});
  std::string before = PendingBytes();
  Read();
  winsim::FailNext("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ClearPendingDeletes(table), LONG(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(winsim::FileExists(kMonitor)) << "deleted all the same";
  EXPECT_EQ(Flags()[2], 0);
  EXPECT_EQ(PendingBytes(), before);

  // Without the right to write the key: an error only when a deletion of the files is listed.
  winsim::SetAdministrator(false);
  const WCHAR* listed[] = {kOther};
  const WCHAR* unlisted[] = {u"C:\\Product\\orvtray.exe"};
  EXPECT_EQ(DropPendingDeletes(listed, 1), LONG(ERROR_ACCESS_DENIED));
  EXPECT_EQ(DropPendingDeletes(unlisted, 1), ERROR_SUCCESS);
  EXPECT_EQ(PendingBytes(), before);
  winsim::SetAdministrator(true);

  for (int skip = 0; skip < 2; skip++) {
    winsim::FailAllocations(winsim::Allocator::Global, 1, skip);
    EXPECT_EQ(DropPendingDeletes(listed, 1), LONG(ERROR_NOT_ENOUGH_MEMORY)) << "allocation " << skip << " refused";
    EXPECT_EQ(PendingBytes(), before);
  }
  winsim::FailAllocations(winsim::Allocator::Global, 0);
  EXPECT_EQ(DropPendingDeletes(listed, 1), ERROR_SUCCESS);
  EXPECT_EQ(PendingBytes(), winsim::Utf16Bytes(NtPath(kMonitor) + u'\0' + u'\0' + u'\0'));
}

TEST_F(PendingRenamesTest, RenamesDirectoriesMissingAndHeldSourcesAreLeftAlone) {
  winsim::PutFile(kMonitor, "MZ");
  winsim::PutFile(kOther, "held");
  winsim::HoldFile(kOther, winsim::kSpoolerProcess);
  winsim::PutDirectory(u"C:\\Old");
  SetPendingRenames({NtPath(kMonitor), u"!" + NtPath(u"C:\\Windows\\system32\\zelmon64.old"),  // a rename
                     NtPath(u"C:\\Old"), u"",                                    // a directory
                     NtPath(u"C:\\Gone\\zeldrv64.dll"), u"",                     // no longer there
                     NtPath(kOther), u""});                                      // in use
  Read();
  ASSERT_EQ(table.pairCount, 4);
  EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 1, 0}));
  ClearPendingDeletes(table);
  auto deletes = winsim::CallsOf("DeleteFileW");
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0].args[0], winsim::Utf8(kOther));
  EXPECT_EQ(Flags()[6], 1) << "a failed deletion stays flagged";
  EXPECT_TRUE(winsim::FileExists(kMonitor));
  EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Old"));
}

TEST_F(PendingRenamesTest, OnlyTheExactNtPrefixIsSkipped) {
  EXPECT_EQ(winsim::Utf8(SkipNtPathPrefix(u"\\??\\C:\\a")), "C:\\a");
  EXPECT_EQ(winsim::Utf8(SkipNtPathPrefix(u"\\??X\\C:\\a")), "\\??X\\C:\\a");
  EXPECT_EQ(winsim::Utf8(SkipNtPathPrefix(u"\\??")), "\\??");

  // The Win32 form of a long path is no NT prefix: it is used whole, and Windows accepts it.
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({u"\\??X" + std::u16string(kMonitor), u"", u"\\\\?\\" + std::u16string(kMonitor), u""});
  Read();
  ASSERT_EQ(table.pairCount, 2);
  auto attributes = winsim::CallsOf("GetFileAttributesW");
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].args[0], "\\??XC:\\Windows\\system32\\zelmon64.dll");
  EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 1, 0}));
  ClearPendingDeletes(table);
  ASSERT_EQ(winsim::CountCalls("DeleteFileW"), 1u);
  EXPECT_EQ(winsim::CallsOf("DeleteFileW")[0].args[0], "\\\\?\\C:\\Windows\\system32\\zelmon64.dll");
  EXPECT_FALSE(winsim::FileExists(kMonitor));
}

TEST_F(PendingRenamesTest, OddStringCountDropsTheLastString) {
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({NtPath(kMonitor), u"", NtPath(kOther)});
  Read();
  ASSERT_EQ(table.pairCount, 1);
  EXPECT_EQ(winsim::CountCalls("GetFileAttributesW"), 1u) << "the unpaired string is not looked at";
}

TEST_F(PendingRenamesTest, ShortAndMalformedValuesAreNeverReadPastTheirBytes) {
  for (std::string data : {std::string(), std::string("\0", 1), std::string("\0\0", 2), std::string("a\0b", 3)}) {
    SetPendingBytes(data);
    Read();
    EXPECT_EQ(table.pairCount, 0) << data.size() << " bytes";
  }

  // No zero after the last string, and an odd byte count: the data's end ends the string.
  std::string unterminated = winsim::Utf16Bytes(NtPath(kMonitor) + u'\0' + NtPath(kOther));
  winsim::PutFile(kMonitor, "MZ");
  for (std::string data : {unterminated, unterminated + 'x'}) {
    SetPendingBytes(data);
    Read();
    ASSERT_EQ(table.pairCount, 1) << data.size() << " bytes";
    EXPECT_EQ(Path(1), winsim::Utf8(NtPath(kOther))) << "a rename, never a deletion";
  }
  ClearPendingDeletes(table);
  EXPECT_TRUE(winsim::FileExists(kMonitor));

  // A list without its closing zero loses the empty target and with it the pair.
  SetPendingBytes(winsim::Utf16Bytes(NtPath(kMonitor) + u'\0' + u'\0'));
  Read();
  EXPECT_EQ(table.pairCount, 0);
}

TEST_F(PendingRenamesTest, ValueGrowingAfterTheSizeQueryIsReadAtItsNewSize) {
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({NtPath(kOther), u""});
  winsim::AfterNextValueQuery([] { SetPendingRenames({NtPath(kOther), u"", NtPath(kMonitor), u""}); });
  Read();
  ASSERT_EQ(table.pairCount, 2);
  EXPECT_EQ(Path(2), winsim::Utf8(NtPath(kMonitor)));
  EXPECT_EQ(winsim::CountCalls("RegQueryValueExW"), 3u) << "size, a read that did not fit, the read";

  // Another program that keeps adding: after three reads the list counts as unreadable.
  static std::vector<std::u16string> growing;
  growing = {NtPath(kOther), u"", NtPath(kMonitor), u""};
  static std::function<void()> grow = [] {
    growing.push_back(NtPath(kMonitor));
    growing.push_back(u"");
    SetPendingRenames(growing);
    winsim::AfterNextValueQuery(grow);
  };
  winsim::ClearCalls();
  winsim::AfterNextValueQuery(grow);
  Read();
  winsim::AfterNextValueQuery(nullptr);
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(winsim::CountCalls("RegQueryValueExW"), 4u);
}

TEST_F(PendingRenamesTest, NoMemoryGivesAnEmptyTable) {
  winsim::PutFile(kMonitor, "MZ");
  SetPendingRenames({NtPath(kMonitor), u"", NtPath(kOther), NtPath(u"C:\\Temp\\renamed.tmp")});
  for (int skip = 0; skip < 6; skip++) {
    winsim::FailAllocations(winsim::Allocator::Global, 1, skip);
    Read();
    EXPECT_EQ(table.pairCount, 0) << "allocation " << skip << " refused";
  }
  winsim::FailAllocations(winsim::Allocator::Global, 0);
  Read();
  EXPECT_EQ(table.pairCount, 2);
}

TEST_F(PendingRenamesTest, BuildIsTheFourthPartOfTheProductVersion) {
  const char16_t kDriver[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\zeldrv64.dll";
  winsim::PutFile(kMonitor, "MZ" + std::string(300, '\x90') + winsim::VersionResource({1, 2, 3, 4}, {9, 9, 9, 9}));
  winsim::PutFile(kDriver, winsim::VersionResource({3, 0, 0, 65535}));
  winsim::PutFile(kOther, "MZ no resources");
  winsim::PutFile(u"C:\\Temp\\empty.dll", winsim::VersionResourceWithoutFixedInfo());
  EXPECT_EQ(GetFileBuild(kMonitor), 4) << "the file version is not used";
  EXPECT_EQ(GetFileBuild(kDriver), 65535);
  EXPECT_EQ(GetFileBuild(kOther), -1);
  EXPECT_EQ(GetFileBuild(u"C:\\Temp\\missing.dll"), -1);
  EXPECT_EQ(GetFileBuild(u"C:\\Temp\\empty.dll"), -1) << "no fixed file information to read";
  EXPECT_EQ(winsim::CallsOf("VerQueryValueW")[0].args[1], "\\");
}

}  // namespace
