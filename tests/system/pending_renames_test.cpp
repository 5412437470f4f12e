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
