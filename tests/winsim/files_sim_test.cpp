// The simulated file system against what Windows does for the calls the installer makes.
#include <cstring>

#include "support/sim_test.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

const char16_t kFile[] = u"C:\\Windows\\system32\\zelmon64.dll";

class FilesSimTest : public SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(winsim::OpenFileHandles(), 0u);
    SimTest::TearDown();
  }

  // CreateFileW's handle (closed at once) or its error.
  static DWORD OpenError(const char16_t* path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE file = CreateFileW(path, access, share, nullptr, disposition, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
  }

  static std::vector<std::u16string> Pending() {
    auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
    EXPECT_TRUE(!value || value->type == REG_MULTI_SZ);
    return value ? winsim::SplitMultiString(value->data) : std::vector<std::u16string>();
  }
};

TEST_F(FilesSimTest, OpeningFollowsTheDispositionsAndPathRules) {
  winsim::PutFile(kFile, "data");
  EXPECT_EQ(OpenError(u"C:\\Windows\\system32\\missing.dll", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\Nowhere\\x.dll", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\Windows\\system32", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(kFile, GENERIC_WRITE, 0, CREATE_NEW), DWORD(ERROR_FILE_EXISTS));
  EXPECT_EQ(OpenError(u"C:\\Windows\\sys?em32\\a.dll", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(OpenError(u"", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
  std::u16string tooLong = u"C:\\Windows\\" + std::u16string(250, u'x');
  EXPECT_EQ(OpenError(tooLong.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_PATH_NOT_FOUND));

  // Case, "/", "." and ".." all name the same file; relative names start in the current directory.
  EXPECT_EQ(OpenError(u"c:/WINDOWS/./Temp/../System32//ZELMON64.DLL", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
  winsim::SetCurrentDirectoryPath(u"C:\\Windows");
  EXPECT_EQ(OpenError(u"system32\\zelmon64.dll", GENERIC_READ, 0, OPEN_EXISTING), 0u);
  EXPECT_EQ(OpenError(u"\\\\?\\C:\\Windows\\system32\\zelmon64.dll", GENERIC_READ, 0, OPEN_EXISTING), 0u);

  // CREATE_ALWAYS truncates an existing file and says so through the last error.
  HANDLE file = CreateFileW(kFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(winsim::FileContents(kFile), "");
  CloseHandle(file);
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(FilesSimTest, ShareModesAndHeldModulesDecideWhoMayOpenAndDelete) {
  winsim::PutFile(kFile, "MZ");
  HANDLE reader = CreateFileW(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenError(kFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(kFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), 0u);
  EXPECT_EQ(OpenError(kFile, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING), DWORD(ERROR_SHARING_VIOLATION))
      << "the new open must share the reading already going on";
  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);

  winsim::HoldFile(kFile, winsim::kSpoolerProcess);
  EXPECT_EQ(OpenError(kFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u) << "a loaded module can be read";
  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  winsim::ReleaseFiles(winsim::kSpoolerProcess);
  EXPECT_TRUE(DeleteFileW(kFile));

  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(u"C:\\Gone\\zelmon64.dll"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  winsim::PutFile(kFile, "MZ");
  winsim::SetReadOnly(kFile, true);
  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetFileAttributesW(kFile), DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Windows"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Windows\\none"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesSimTest, ReadWriteAndAFullDisk) {
  HANDLE file = CreateFileW(kFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD count = 99;
  char buffer[16];
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &count, nullptr)) << "not opened for reading";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  winsim::SetFreeDiskSpace(6);
  EXPECT_TRUE(WriteFile(file, "abcd", 4, &count, nullptr));
  EXPECT_FALSE(WriteFile(file, "efghij", 6, &count, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(count, 2u) << "what fits is stored";
  CloseHandle(file);
  EXPECT_EQ(winsim::FileContents(kFile), "abcdef");

  file = CreateFileW(kFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(ReadFile(file, buffer, 4, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "abcd");
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "ef");
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(count, 0u) << "end of file is a successful read of nothing";
  CloseHandle(file);

  winsim::SetCreateFileDuration(30);
  DWORD before = winsim::Now();
  EXPECT_EQ(OpenError(u"C:\\none", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(winsim::Now() - before, 30u);
}

TEST_F(FilesSimTest, DeletionAtRebootAppendsToThePendingList) {
  winsim::PutMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue,
                         {u"\\??\\C:\\a.tmp", u"!\\??\\C:\\b.tmp"});
  EXPECT_TRUE(MoveFileExW(u"C:/Gone/../Windows/zelmon64.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      << "the file need not exist";
  EXPECT_TRUE(MoveFileExW(u"C:\\x.dll", u"C:\\y.dll", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Pending(), (std::vector<std::u16string>{u"\\??\\C:\\a.tmp", u"!\\??\\C:\\b.tmp",
                                                    u"\\??\\C:\\Windows\\zelmon64.dll", u"", u"\\??\\C:\\x.dll",
                                                    u"!\\??\\C:\\y.dll"}));
  auto raw = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue)->data;
  EXPECT_EQ(raw.substr(raw.size() - 4), std::string(4, '\0')) << "the last string's zero and the list's";

  EXPECT_FALSE(MoveFileExW(u"", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  winsim::SetAdministrator(false);
  EXPECT_FALSE(MoveFileExW(kFile, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Pending().size(), 6u);
}

TEST_F(FilesSimTest, VersionResourceTravelsWithTheBytes) {
  winsim::PutFile(kFile, "MZ header" + winsim::VersionResource({1, 2, 3, 4}, {5, 6, 7, 8}) + "trailer");
  DWORD handle = 77;
  DWORD size = GetFileVersionInfoSizeW(kFile, &handle);
  EXPECT_EQ(handle, 0u);
  ASSERT_EQ(size, 92u * 2 + 4) << "twice the resource and 4 bytes, as Windows asks";
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(kFile, 0, size, block.data()));
  EXPECT_EQ(std::memcmp(block.data() + 92, "FE2X", 4), 0);
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(info->dwSignature, DWORD(VS_FFI_SIGNATURE));
  EXPECT_EQ(info->dwProductVersionMS, 0x00010002u);
  EXPECT_EQ(info->dwProductVersionLS, 0x00030004u);
  EXPECT_EQ(info->dwFileVersionLS, 0x00070008u);
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\ProductVersion", &value, &length));

  winsim::PutFile(u"C:\\plain.dll", "MZ");
  EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\plain.dll", &handle), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\missing.dll", &handle), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
