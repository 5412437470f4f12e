// The simulated registry against what Windows does for the calls the installer makes.
#include "support/sim_test.h"
#include "winsim/sim_registry.h"

namespace {

const char kRun[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class RegistrySimTest : public SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(winsim::OpenKeyHandles(), 0u);
    SimTest::TearDown();
  }
};

TEST_F(RegistrySimTest, QueriesReportSizesAndRespectTheAccessOfTheHandle) {
  winsim::PutString(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray", u"C:\\Product\\orvtray.exe");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\MICROSOFT\\windows\\CurrentVersion\\run", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"orvandelletray", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 46u) << "22 characters and the terminator";
  BYTE small[10];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"OrvandelleTray", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 46u);
  EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(key, u"Other", 0, REG_SZ, small, 2), ERROR_ACCESS_DENIED) << "opened for reading only";
  EXPECT_EQ(RegDeleteValueA(key, "OrvandelleTray"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"OrvandelleTray", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  const char odd[] = "\x41\x00\x42";  // three bytes: malformed text is stored as given
  EXPECT_EQ(RegSetValueExW(key, u"Odd", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(odd), 3), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "orvandelletray"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "OrvandelleTray"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_EQ(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"odd")->data, std::string(odd, 3));
  EXPECT_FALSE(winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kRunKey, u"OrvandelleTray"));

  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Orvandelle", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegistrySimTest, MachineKeysNeedElevationToWriteAndDeniedKeysDoNotOpen) {
  winsim::SetAdministrator(false);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  winsim::PutKey(HKEY_CURRENT_USER, u"Software\\Corvane\\Orvandelle");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Orvandelle", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegCloseKey(key);

  winsim::DenyKey(HKEY_CURRENT_USER, u"Software\\Corvane");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(winsim::CallsOf("RegOpenKeyExA").back().args,
            (std::vector<std::string>{"HKCU", "Software\\Corvane", "0", "0x20019"}));
}

TEST_F(RegistrySimTest, ValueCanChangeBetweenTheSizeQueryAndTheRead) {
  winsim::PutMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, {u"a", u""});
  DWORD size = 0;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  winsim::AfterNextValueQuery([] {
    winsim::PutMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue,
                           {u"a", u"", u"bb", u""});
  });
  EXPECT_EQ(RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  std::vector<BYTE> data(size);
  EXPECT_EQ(RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, nullptr, data.data(), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 16u);
  RegCloseKey(key);
}

}  // namespace
