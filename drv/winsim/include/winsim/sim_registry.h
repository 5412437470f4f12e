// The simulated registry: set-up and inspection for tests, and the door other areas use to
// write into it as the system does (MoveFileExW's pending renames).
//
// Two hives, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. Key paths are written below a root
// ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"), key and value names are compared
// without case, and value data is kept as the raw bytes that were stored, malformed or not.
// A fresh machine has the keys every Windows machine has that the installer uses:
// HKLM "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
// HKLM "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run" and HKCU "Software".
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "winsim/win32_types.h"

namespace winsim {

extern const char16_t kSessionManagerKey[];         // SYSTEM\CurrentControlSet\Control\Session Manager
extern const char16_t kPendingRenamesValue[];       // PendingFileRenameOperations
extern const char16_t kPendingRenamesValue2[];      // PendingFileRenameOperations2, carried out after it
extern const char16_t kRunKey[];                    // SOFTWARE\Microsoft\Windows\CurrentVersion\Run

// HKEY_CURRENT_USER is the installer's account's hive (SetInstallerAccount): "HKCU" for the
// administrator "admin", HKEY_USERS\.DEFAULT for SYSTEM, HKEY_USERS\<SID> for another user. The
// hive of a logged-on user is also HKEY_USERS\<SID> (for "admin" the same keys as "HKCU"), and
// RegEnumKeyExA on HKEY_USERS lists the hives loaded: ".DEFAULT", "S-1-5-18" and, for each user
// logged on, "<SID>" and "<SID>_Classes".
std::u16string SidOf(const std::u16string& account);   // "S-1-5-18" for SYSTEM
// The per-user setting that holds a user's default printer: value "Device" ("NAME,winspool,Ne00:")
// under "Software\Microsoft\Windows NT\CurrentVersion\Windows" of the user's hive. For "admin"
// it is the spooler's default printer (SetSimDefaultPrinter) read and written through the registry.
extern const char16_t kWindowsKey[];
std::u16string UserDefaultPrinter(const std::u16string& account);   // u"" for none
void SetUserDefaultPrinter(const std::u16string& account, const std::u16string& name);

struct RegistryValue {
  DWORD type;
  std::string data;  // the stored bytes
};

// Keys: creating one creates its missing parents; removing one removes everything below it.
void PutKey(HKEY root, const std::u16string& path);
bool KeyExists(HKEY root, const std::u16string& path);
void RemoveKey(HKEY root, const std::u16string& path);

// Values; putting one creates its key. An empty name is the key's default value.
void PutValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
              const std::string& data);
void PutString(HKEY root, const std::u16string& path, const std::u16string& name, const std::u16string& text);
// REG_MULTI_SZ as Windows writes it: each string ended by a zero character, then one more.
void PutMultiString(HKEY root, const std::u16string& path, const std::u16string& name,
                    const std::vector<std::u16string>& strings);
void PutDword(HKEY root, const std::u16string& path, const std::u16string& name, DWORD value);
std::optional<RegistryValue> ReadValue(HKEY root, const std::u16string& path, const std::u16string& name);
bool RemoveValue(HKEY root, const std::u16string& path, const std::u16string& name);

// Byte helpers for tests: UTF-16LE bytes of a text (no terminator added), and every string of
// a REG_MULTI_SZ block in order, empty ones included, without the list's closing empty string
// (an unterminated last string counts as a string).
std::string Utf16Bytes(const std::u16string& text);
std::vector<std::u16string> SplitMultiString(const std::string& data);

// --- Knobs -------------------------------------------------------------------------------
// Whether the process runs elevated (the default, as the installer's manifest requires). Without
// it, opening an HKEY_LOCAL_MACHINE key for writing fails with 5, and so does
// MoveFileExW(..., MOVEFILE_DELAY_UNTIL_REBOOT).
void SetAdministrator(bool elevated);
bool IsAdministrator();
// Opening this key (and writing below it as the system does) fails with `error`.
void DenyKey(HKEY root, const std::u16string& path, LONG error = ERROR_ACCESS_DENIED);
// Runs `action` once, right after the next RegQueryValueExW call has returned its answer: lets
// a test change a value between a size query and the read that follows it.
void AfterNextValueQuery(std::function<void()> action);

// Key handles opened with RegOpenKeyExA and not closed yet.
size_t OpenKeyHandles();

// --- For other areas ----------------------------------------------------------------------
// Appends one pending operation to HKLM ...\Session Manager `value` (the first list unless
// told) as the system does: the source entry, then the target entry or an empty string, each
// exactly as given (MoveFileExW writes a deletion's source as "*1\??\path", as Windows 10 and
// 11 do). Returns 0 or the Win32 error code.
LONG AppendPendingRename(const std::u16string& source, const std::u16string& target,
                         const char16_t* value = kPendingRenamesValue);

}  // namespace winsim
