// The registry: keys of HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with their values as raw
// bytes, key handles with the access they were opened with, and the pending rename list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "case_fold.h"
#include "winsim/machine.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_spooler.h"
#include "winsim/win32_api.h"

namespace winsim {

const char16_t kSessionManagerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kPendingRenamesValue[] = u"PendingFileRenameOperations";
const char16_t kPendingRenamesValue2[] = u"PendingFileRenameOperations2";
const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kWindowsKey[] = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

std::u16string SidOf(const std::u16string& account) {
  if (account == u"SYSTEM") return u"S-1-5-18";
  if (account == u"admin") return u"S-1-5-21-1000-1001";
  unsigned number = 1002;
  for (char16_t c : account) number = (number * 31 + c) % 8000 + 1002;
  return u"S-1-5-21-1000-" + Utf16(std::to_string(number));
}

namespace {

struct Value {
  std::u16string name;
  DWORD type;
  std::string data;
};

struct Key {
  std::u16string path;  // "HKLM\SOFTWARE\..." as first created
  std::vector<Value> values;
};

struct OpenKey {
  std::u16string key;  // folded full path
  REGSAM access;
};

struct RegistryState {
  std::map<std::u16string, Key> keys;  // by folded full path
  std::map<HKEY, OpenKey> handles;
  uintptr_t nextHandle = 0x5000;
  bool administrator = true;
  std::map<std::u16string, LONG> denied;  // folded full path -> error
  std::function<void()> afterQuery;
};

RegistryState& Registry() {
  static RegistryState state;
  return state;
}

const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The name a predefined root goes by in full paths; empty for any other handle.
std::u16string RootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return u"HKLM";
  if (root == HKEY_CURRENT_USER) {
    std::u16string account = InstallerAccount();
    if (account == u"admin") return u"HKCU";
    return u"HKU\\" + (account == u"SYSTEM" ? std::u16string(u".DEFAULT") : SidOf(account));
  }
  if (root == HKEY_CLASSES_ROOT) return u"HKCR";
  if (root == HKEY_USERS) return u"HKU";
  return u"";
}

// `base` and `path` joined, with empty components dropped.
std::u16string Join(const std::u16string& base, const std::u16string& path) {
  std::u16string full = base;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) full += u"\\" + path.substr(start, end - start);
    start = end + 1;
  }
  return full;
}

// The administrator's hive under HKEY_USERS is the one "HKCU" names.
std::u16string Canonical(const std::u16string& full) {
  std::u16string alias = FoldCase(u"HKU\\" + SidOf(u"admin"));
  std::u16string folded = FoldCase(full);
  if (folded.compare(0, alias.size(), alias) != 0) return full;
  if (folded.size() != alias.size() && folded[alias.size()] != u'\\') return full;
  return u"HKCU" + full.substr(alias.size());
}

std::u16string FullPath(HKEY root, const std::u16string& path) {
  std::u16string name = RootName(root);
  if (name.empty()) {
    std::fprintf(stderr, "winsim registry: not a root key\n");
    std::abort();
  }
  return Canonical(Join(name, path));
}

// The administrator's "Device" value is the spooler's default printer.
bool IsAdminDevice(const Key& key, const std::u16string& name) {
  return FoldCase(key.path) == FoldCase(Join(u"HKCU", kWindowsKey)) && FoldCase(name) == FoldCase(u"Device");
}

bool OnMachineHive(const std::u16string& folded) { return folded == u"HKLM" || folded.rfind(u"HKLM\\", 0) == 0; }

Key& MakeKey(const std::u16string& full) {
  size_t at = 0;
  while ((at = full.find(u'\\', at + 1)) != std::u16string::npos) {
    std::u16string parent = full.substr(0, at);
    Registry().keys.emplace(FoldCase(parent), Key{parent, {}});
  }
  return Registry().keys.emplace(FoldCase(full), Key{full, {}}).first->second;
}

Key* FindKey(const std::u16string& full) {
  auto found = Registry().keys.find(FoldCase(full));
  return found == Registry().keys.end() ? nullptr : &found->second;
}

Value* FindValue(Key& key, const std::u16string& name) {
  std::u16string folded = FoldCase(name);
  for (Value& value : key.values)
    if (FoldCase(value.name) == folded) return &value;
  return nullptr;
}

void SetValue(Key& key, const std::u16string& name, DWORD type, const std::string& data) {
  Value* value = FindValue(key, name);
  if (value) {
    value->type = type;
    value->data = data;
  } else {
    key.values.push_back(Value{name, type, data});
  }
}

void Reset() {
  Registry() = RegistryState();
  MakeKey(Join(u"HKLM", kSessionManagerKey));
  MakeKey(Join(u"HKLM", kRunKey));
  MakeKey(u"HKCU\\Software");
  MakeKey(Join(u"HKCU", kWindowsKey));
  MakeKey(Join(u"HKU\\.DEFAULT", kWindowsKey));
}

void EndInstaller() { Registry().handles.clear(); }

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterInstallerEnd(&EndInstaller);
    Reset();
  }
} registrar;

// The key an open handle or a predefined root stands for, and the access it carries.
struct Target {
  LONG error;
  Key* key;
  REGSAM access;
};

Target TargetOf(HKEY handle) {
  std::u16string root = RootName(handle);
  if (!root.empty()) {
    bool writable = Registry().administrator || !OnMachineHive(root);
    return Target{0, &MakeKey(root), writable ? REGSAM(KEY_ALL_ACCESS) : REGSAM(KEY_READ)};
  }
  auto found = Registry().handles.find(handle);
  if (found == Registry().handles.end()) return Target{ERROR_INVALID_HANDLE, nullptr, 0};
  auto key = Registry().keys.find(found->second.key);
  if (key == Registry().keys.end()) return Target{ERROR_KEY_DELETED, nullptr, 0};
  return Target{0, &key->second, found->second.access};
}

REGSAM ExpandGeneric(REGSAM access) {
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  return access;
}

std::u16string FromAnsi(LPCSTR text) {
  std::u16string wide;
  for (; text && *text; text++) wide += char16_t(static_cast<unsigned char>(*text));
  return wide;
}

std::string HandleName(HKEY key) {
  std::u16string root = RootName(key);
  return root.empty() ? Ptr(key) : Utf8(root);
}

}  // namespace

// --- Test-facing API -------------------------------------------------------------------------

void PutKey(HKEY root, const std::u16string& path) { MakeKey(FullPath(root, path)); }

bool KeyExists(HKEY root, const std::u16string& path) { return FindKey(FullPath(root, path)) != nullptr; }

void RemoveKey(HKEY root, const std::u16string& path) {
  std::u16string key = FoldCase(FullPath(root, path));
  auto& keys = Registry().keys;
  for (auto it = keys.begin(); it != keys.end();)
    it = it->first == key || it->first.rfind(key + u"\\", 0) == 0 ? keys.erase(it) : std::next(it);
}

void PutValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
              const std::string& data) {
  SetValue(MakeKey(FullPath(root, path)), name, type, data);
}

void PutString(HKEY root, const std::u16string& path, const std::u16string& name, const std::u16string& text) {
  PutValue(root, path, name, REG_SZ, Utf16Bytes(text + u'\0'));
}

void PutMultiString(HKEY root, const std::u16string& path, const std::u16string& name,
                    const std::vector<std::u16string>& strings) {
  std::u16string list;
  for (const auto& text : strings) list += text + u'\0';
  PutValue(root, path, name, REG_MULTI_SZ, Utf16Bytes(list + u'\0'));
}

void PutDword(HKEY root, const std::u16string& path, const std::u16string& name, DWORD value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; i++) data[i] = char((value >> (8 * i)) & 0xFF);
  PutValue(root, path, name, REG_DWORD, data);
}

std::optional<RegistryValue> ReadValue(HKEY root, const std::u16string& path, const std::u16string& name) {
  Key* key = FindKey(FullPath(root, path));
  Value* value = key ? FindValue(*key, name) : nullptr;
  if (!value) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

bool RemoveValue(HKEY root, const std::u16string& path, const std::u16string& name) {
  Key* key = FindKey(FullPath(root, path));
  Value* value = key ? FindValue(*key, name) : nullptr;
  if (!value) return false;
  key->values.erase(key->values.begin() + (value - key->values.data()));
  return true;
}

std::string Utf16Bytes(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  return bytes;
}

std::vector<std::u16string> SplitMultiString(const std::string& data) {
  std::vector<std::u16string> strings;
  std::u16string current;
  bool ended = true;  // whether the last string got its zero
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = char16_t(static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8));
    ended = c == 0;
    if (ended) {
      strings.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!ended) strings.push_back(current);
  else if (!strings.empty() && strings.back().empty()) strings.pop_back();  // the list's closing zero
  return strings;
}

void SetAdministrator(bool elevated) { Registry().administrator = elevated; }
bool IsAdministrator() { return Registry().administrator; }

void DenyKey(HKEY root, const std::u16string& path, LONG error) {
  Registry().denied[FoldCase(FullPath(root, path))] = error;
}

void AfterNextValueQuery(std::function<void()> action) { Registry().afterQuery = std::move(action); }

size_t OpenKeyHandles() { return Registry().handles.size(); }

// The system opens the key for all access, creating it when needed, reads the list, drops its
// closing empty string and writes it back with the new pair and a new closing empty string.
LONG AppendPendingRename(const std::u16string& source, const std::u16string& target, const char16_t* name) {
  std::u16string full = Join(u"HKLM", kSessionManagerKey);
  auto denied = Registry().denied.find(FoldCase(full));
  if (denied != Registry().denied.end()) return denied->second;
  if (!Registry().administrator) return ERROR_ACCESS_DENIED;
  Key& key = MakeKey(full);
  Value* value = FindValue(key, name);
  if (value && value->type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
  std::string data = value ? value->data : std::string();
  data.resize(data.size() & ~size_t(1));
  if (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) data.resize(data.size() - 2);
  data += Utf16Bytes(source + u'\0' + target + u'\0' + u'\0');
  SetValue(key, name, REG_MULTI_SZ, data);
  return ERROR_SUCCESS;
}

}  // namespace winsim

using winsim::Registry;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  if (winsim::EnterCall("RegOpenKeyExA", {winsim::HandleName(key), subKey ? subKey : "(null)",
                                          std::to_string(options), winsim::Hex(access)}))
    return LONG(GetLastError());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  winsim::Target base = winsim::TargetOf(key);
  if (base.error != 0) return base.error;
  std::u16string full = winsim::Canonical(winsim::Join(base.key->path, winsim::FromAnsi(subKey)));
  std::u16string folded = winsim::FoldCase(full);
  auto denied = Registry().denied.find(folded);
  if (denied != Registry().denied.end()) return denied->second;
  if (!winsim::FindKey(full)) return ERROR_FILE_NOT_FOUND;
  REGSAM granted = winsim::ExpandGeneric(access);
  if (!Registry().administrator && winsim::OnMachineHive(folded) && (granted & winsim::kWriteRights))
    return ERROR_ACCESS_DENIED;
  HKEY handle = reinterpret_cast<HKEY>(Registry().nextHandle += 4);
  Registry().handles[handle] = winsim::OpenKey{folded, granted};
  *result = handle;
  return ERROR_SUCCESS;
}

namespace {

LONG QueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  winsim::Target target = winsim::TargetOf(key);
  if (target.error != 0) return target.error;
  if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  winsim::Value* value = winsim::FindValue(*target.key, name ? name : u"");
  winsim::Value device;
  if (winsim::IsAdminDevice(*target.key, name ? name : u"")) {
    std::u16string printer = winsim::SimDefaultPrinter();
    device = {u"Device", REG_SZ, winsim::Utf16Bytes(printer + u",winspool,Ne00:" + u'\0')};
    value = printer.empty() ? nullptr : &device;
  }
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  DWORD bytes = DWORD(value->data.size());
  if (data == nullptr) {
    if (size) *size = bytes;
    return ERROR_SUCCESS;
  }
  DWORD room = *size;
  *size = bytes;
  if (room < bytes) return ERROR_MORE_DATA;
  std::copy(value->data.begin(), value->data.end(), data);
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (winsim::EnterCall("RegQueryValueExW", {winsim::HandleName(key), winsim::Utf8(name), winsim::Ptr(data),
                                             size ? std::to_string(*size) : "null"}))
    return LONG(GetLastError());
  LONG result = QueryValue(key, name, reserved, type, data, size);
  if (Registry().afterQuery) {
    std::function<void()> action = std::move(Registry().afterQuery);
    Registry().afterQuery = nullptr;
    action();
  }
  return result;
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (winsim::EnterCall("RegSetValueExW", {winsim::HandleName(key), winsim::Utf8(name), std::to_string(type),
                                           std::to_string(size)}))
    return LONG(GetLastError());
  winsim::Target target = winsim::TargetOf(key);
  if (target.error != 0) return target.error;
  if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size > 0) return ERROR_NOACCESS;
  std::string bytes = size > 0 ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  if (winsim::IsAdminDevice(*target.key, name ? name : u"")) {
    std::u16string text(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
    winsim::SetSimDefaultPrinter(text.substr(0, std::min(text.find(u','), text.find(u'\0'))));
    return ERROR_SUCCESS;
  }
  winsim::SetValue(*target.key, name ? name : u"", type, bytes);
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
  if (winsim::EnterCall("RegDeleteValueA", {winsim::HandleName(key), name ? name : "(null)"}))
    return LONG(GetLastError());
  winsim::Target target = winsim::TargetOf(key);
  if (target.error != 0) return target.error;
  if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  winsim::Value* value = winsim::FindValue(*target.key, winsim::FromAnsi(name));
  if (!value) return ERROR_FILE_NOT_FOUND;
  target.key->values.erase(target.key->values.begin() + (value - target.key->values.data()));
  return ERROR_SUCCESS;
}

// Creates the key and its missing parents, or opens it; on HKEY_LOCAL_MACHINE only elevated.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  if (winsim::EnterCall("RegCreateKeyExA", {winsim::HandleName(key), subKey ? subKey : "(null)",
                                            std::to_string(options), winsim::Hex(access)}))
    return LONG(GetLastError());
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  winsim::Target base = winsim::TargetOf(key);
  if (base.error != 0) return base.error;
  std::u16string full = winsim::Canonical(winsim::Join(base.key->path, winsim::FromAnsi(subKey)));
  std::u16string folded = winsim::FoldCase(full);
  for (const auto& denied : Registry().denied)
    if (folded == denied.first || folded.rfind(denied.first + u"\\", 0) == 0) return denied.second;
  bool existed = winsim::FindKey(full) != nullptr;
  if (!existed && !(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  REGSAM granted = winsim::ExpandGeneric(access);
  if (!Registry().administrator && winsim::OnMachineHive(folded) && (granted & winsim::kWriteRights))
    return ERROR_ACCESS_DENIED;
  winsim::MakeKey(full);
  HKEY handle = reinterpret_cast<HKEY>(Registry().nextHandle += 4);
  Registry().handles[handle] = winsim::OpenKey{folded, granted};
  *result = handle;
  if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

// Every write is kept at once, flushed or not, as a killed process's writes are on Windows; only
// a power cut loses what was not flushed, and the machine here has none.
LONG RegFlushKey(HKEY key) {
  if (winsim::EnterCall("RegFlushKey", {winsim::HandleName(key)})) return LONG(GetLastError());
  return winsim::TargetOf(key).error;
}

// Values in the order they were first written; `nameChars` counts the terminator going in and
// not coming out. A name that does not fit gives ERROR_MORE_DATA, as does data that does not.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataBytes) {
  if (winsim::EnterCall("RegEnumValueW", {winsim::HandleName(key), std::to_string(index), winsim::Ptr(data)}))
    return LONG(GetLastError());
  winsim::Target target = winsim::TargetOf(key);
  if (target.error != 0) return target.error;
  if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (name == nullptr || nameChars == nullptr || reserved != nullptr || (data != nullptr && dataBytes == nullptr))
    return ERROR_INVALID_PARAMETER;
  if (index >= target.key->values.size()) return ERROR_NO_MORE_ITEMS;
  const winsim::Value& value = target.key->values[index];
  if (*nameChars <= value.name.size()) return ERROR_MORE_DATA;
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = 0;
  *nameChars = DWORD(value.name.size());
  if (type) *type = value.type;
  if (dataBytes == nullptr) return ERROR_SUCCESS;
  DWORD room = *dataBytes;
  *dataBytes = DWORD(value.data.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < value.data.size()) return ERROR_MORE_DATA;
  std::copy(value.data.begin(), value.data.end(), data);
  return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
  if (winsim::EnterCall("RegDeleteValueW", {winsim::HandleName(key), winsim::Utf8(name)})) return LONG(GetLastError());
  winsim::Target target = winsim::TargetOf(key);
  if (target.error != 0) return target.error;
  if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  winsim::Value* value = winsim::FindValue(*target.key, name ? name : u"");
  if (!value) return ERROR_FILE_NOT_FOUND;
  target.key->values.erase(target.key->values.begin() + (value - target.key->values.data()));
  return ERROR_SUCCESS;
}

// Deletes a key with its values; one with subkeys stays (ERROR_ACCESS_DENIED, as Windows answers).
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (winsim::EnterCall("RegDeleteKeyA", {winsim::HandleName(key), subKey ? subKey : "(null)"}))
    return LONG(GetLastError());
  winsim::Target base = winsim::TargetOf(key);
  if (base.error != 0) return base.error;
  if (subKey == nullptr || *subKey == 0) return ERROR_INVALID_PARAMETER;
  std::u16string full = winsim::Join(base.key->path, winsim::FromAnsi(subKey));
  std::u16string folded = winsim::FoldCase(full);
  auto denied = Registry().denied.find(folded);
  if (denied != Registry().denied.end()) return denied->second;
  if (!winsim::FindKey(full)) return ERROR_FILE_NOT_FOUND;
  if (!Registry().administrator && winsim::OnMachineHive(folded)) return ERROR_ACCESS_DENIED;
  auto& keys = Registry().keys;
  for (const auto& entry : keys)
    if (entry.first.rfind(folded + u"\\", 0) == 0) return ERROR_ACCESS_DENIED;
  keys.erase(folded);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (winsim::EnterCall("RegCloseKey", {winsim::HandleName(key)})) return LONG(GetLastError());
  if (!winsim::RootName(key).empty()) return ERROR_SUCCESS;
  return Registry().handles.erase(key) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Only the loaded hives under HKEY_USERS are listed; names are ASCII.
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPSTR, LPDWORD,
                   PFILETIME) {
  if (winsim::EnterCall("RegEnumKeyExA", {winsim::HandleName(key), std::to_string(index)})) return LONG(GetLastError());
  if (name == nullptr || nameChars == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (key != HKEY_USERS) return ERROR_INVALID_HANDLE;
  std::vector<std::u16string> hives = {u".DEFAULT", u"S-1-5-18"};
  for (const std::u16string& user : winsim::LoggedOnUsers()) {
    hives.push_back(winsim::SidOf(user));
    hives.push_back(winsim::SidOf(user) + u"_Classes");
  }
  if (index >= hives.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& hive = hives[index];
  if (*nameChars <= hive.size()) return ERROR_MORE_DATA;
  for (size_t i = 0; i < hive.size(); i++) name[i] = static_cast<char>(hive[i]);
  name[hive.size()] = 0;
  *nameChars = static_cast<DWORD>(hive.size());
  return ERROR_SUCCESS;
}

namespace winsim {

std::u16string UserDefaultPrinter(const std::u16string& account) {
  if (account == u"admin") return SimDefaultPrinter();
  std::u16string hive = account == u"SYSTEM" ? u".DEFAULT" : SidOf(account);
  auto value = ReadValue(HKEY_USERS, hive + u"\\" + kWindowsKey, u"Device");
  if (!value || value->data.size() < 2) return u"";
  std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2);
  return text.substr(0, std::min(text.find(u','), text.find(u'\0')));
}

void SetUserDefaultPrinter(const std::u16string& account, const std::u16string& name) {
  if (account == u"admin") return SetSimDefaultPrinter(name);
  std::u16string hive = account == u"SYSTEM" ? u".DEFAULT" : SidOf(account);
  if (name.empty()) RemoveValue(HKEY_USERS, hive + u"\\" + kWindowsKey, u"Device");
  else PutString(HKEY_USERS, hive + u"\\" + kWindowsKey, u"Device", name + u",winspool,Ne00:");
}

}  // namespace winsim
