// Owners, DACLs and security descriptors of named objects, and the SDDL the installer writes.
#include "security.h"

#include <cstring>

#include "winsim/machine.h"
#include "winsim/sim_registry.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

const char kSystem[] = "S-1-5-18";
const char kAdministrators[] = "S-1-5-32-544";
const char kUsers[] = "S-1-5-32-545";
const char kEveryone[] = "S-1-1-0";
const char kAdministratorUser[] = "S-1-5-21-1004336348-1177238915-682003330-500";
const char kMachineDomain[] = "S-1-5-21-1004336348-1177238915-682003330-";
const char kDescriptorMark[] = "winsim-sd";

const DWORD kMutexAll = MUTEX_ALL_ACCESS;
const DWORD kReadAndWait = READ_CONTROL | SYNCHRONIZE | MUTANT_QUERY_STATE;

bool IsStandardUser(const std::u16string& account) { return account != u"SYSTEM" && account != u"admin"; }

// A standard user's SID: the machine's domain and a relative id of its own, 1001 and up.
std::string UserSid(const std::u16string& account) {
  unsigned id = 0;
  for (char16_t c : account) id = (id * 31 + c) % 100000;
  return kMachineDomain + std::to_string(1001 + id);
}

std::vector<std::string> TokenSids(const std::u16string& account) {
  if (account == u"SYSTEM") return {kSystem, kAdministrators, kEveryone};
  if (IsStandardUser(account)) return {UserSid(account), kUsers, kEveryone};
  return {kAdministratorUser, kAdministrators, kUsers, kEveryone};
}

std::string SidOf(const std::string& text) {
  if (text == "SY") return kSystem;
  if (text == "BA") return kAdministrators;
  if (text == "BU") return kUsers;
  if (text == "WD") return kEveryone;
  return text.rfind("S-1-", 0) == 0 ? text : "";
}

// Generic rights as a mutex maps them; a hexadecimal mask as it stands.
bool RightsOf(const std::string& text, DWORD& access) {
  if (text == "GA") access = kMutexAll;
  else if (text == "GR") access = READ_CONTROL | MUTANT_QUERY_STATE;
  else if (text == "GX") access = READ_CONTROL | SYNCHRONIZE;
  else if (text.rfind("0x", 0) == 0 && text.size() > 2) access = static_cast<DWORD>(std::stoul(text, nullptr, 16));
  else return false;
  return true;
}

// "(A;;RIGHTS;;;SID)": an allowing entry without flags; nothing else is read.
bool ReadAce(const std::string& text, Ace& ace) {
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    size_t end = text.find(';', start);
    fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (fields.size() != 6 || fields[0] != "A" || !fields[1].empty()) return false;
  ace.sid = SidOf(fields[5]);
  return !ace.sid.empty() && RightsOf(fields[2], ace.access);
}

// The subset of SDDL the installer uses: "O:SID" and "D:" with flags and allowing entries.
bool ParseSddl(const std::string& text, ObjectSecurity& security, bool& hasOwner, bool& hasDacl) {
  size_t dacl = text.find("D:");
  std::string owner = text.substr(0, dacl);
  hasOwner = !owner.empty();
  if (hasOwner && (owner.rfind("O:", 0) != 0 || (security.owner = SidOf(owner.substr(2))).empty())) return false;
  hasDacl = dacl != std::string::npos;
  if (!hasDacl) return hasOwner;
  size_t at = text.find('(', dacl);
  for (size_t i = dacl + 2; i < std::min(at, text.size()); i++)
    if (text[i] != 'P' && text[i] != 'A' && text[i] != 'I') return false;
  while (at != std::string::npos) {
    size_t close = text.find(')', at);
    Ace ace;
    if (close == std::string::npos || !ReadAce(text.substr(at + 1, close - at - 1), ace)) return false;
    security.dacl.push_back(ace);
    at = close + 1 == text.size() ? std::string::npos : close + 1;
    if (at != std::string::npos && text[at] != '(') return false;
  }
  return true;
}

// The block: the mark, the owner's SID, then each entry's SID and mask, each ended by a zero;
// an empty string ends the list.
void* Serialize(const ObjectSecurity& security, bool hasOwner, bool hasDacl, PSID* owner) {
  std::string block = std::string(kDescriptorMark) + '\0' + (hasOwner ? "1" : "0") + (hasDacl ? "1" : "0") + '\0';
  size_t ownerAt = block.size();
  block += security.owner + '\0';
  for (const Ace& ace : security.dacl) block += ace.sid + '\0' + std::to_string(ace.access) + '\0';
  block += '\0';
  char* memory = static_cast<char*>(LocalAlloc(LMEM_FIXED, block.size()));
  if (memory == nullptr) return nullptr;
  std::memcpy(memory, block.data(), block.size());
  if (owner != nullptr) *owner = security.owner.empty() ? nullptr : memory + ownerAt;
  return memory;
}

}  // namespace

ObjectSecurity DefaultSecurity(const std::u16string& account) {
  if (account == u"SYSTEM") return {kSystem, {{kSystem, kMutexAll}, {kAdministrators, kReadAndWait}}};
  if (IsStandardUser(account)) return {UserSid(account), {{UserSid(account), kMutexAll}, {kSystem, kMutexAll}}};
  return {kAdministrators, {{kAdministrators, kMutexAll}, {kSystem, kMutexAll}}};
}

bool MayOwn(const std::u16string& account, const std::string& sid) {
  std::vector<std::string> sids = TokenSids(account);
  return sid == sids[0] || (!IsStandardUser(account) && sid == kAdministrators);
}

DWORD GrantedAccess(const ObjectSecurity& security, const std::u16string& account) {
  std::vector<std::string> sids = TokenSids(account);
  DWORD granted = 0;
  for (const std::string& sid : sids) {
    if (sid == security.owner) granted |= READ_CONTROL;
    for (const Ace& ace : security.dacl)
      if (ace.sid == sid) granted |= ace.access;
  }
  return granted;
}

bool ReadDescriptor(const void* descriptor, ObjectSecurity& security, bool& hasOwner, bool& hasDacl) {
  const char* at = static_cast<const char*>(descriptor);
  if (BlockSize(descriptor) < sizeof(kDescriptorMark) || std::strcmp(at, kDescriptorMark) != 0) return false;
  at += sizeof(kDescriptorMark);
  hasOwner = at[0] == '1';
  hasDacl = at[1] == '1';
  at += 3;
  security.owner = at;
  security.dacl.clear();
  for (at += security.owner.size() + 1; *at != 0;) {
    Ace ace{at, 0};
    at += ace.sid.size() + 1;
    ace.access = static_cast<DWORD>(std::stoul(at));
    at += std::strlen(at) + 1;
    security.dacl.push_back(ace);
  }
  return true;
}

void* WriteDescriptor(const ObjectSecurity& security, PSID* owner) { return Serialize(security, true, true, owner); }

}  // namespace winsim

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
                                                         PULONG size) {
  if (winsim::EnterCall("ConvertStringSecurityDescriptorToSecurityDescriptorA",
                        {text ? text : "(null)", std::to_string(revision)}))
    return FALSE;
  winsim::ObjectSecurity security;
  bool hasOwner = false, hasDacl = false;
  if (text == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1 ||
      !winsim::ParseSddl(text, security, hasOwner, hasDacl)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *descriptor = winsim::Serialize(security, hasOwner, hasDacl, nullptr);
  if (*descriptor == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (size != nullptr) *size = 0;
  return TRUE;
}

BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  if (winsim::EnterCall("IsWellKnownSid", {winsim::Ptr(sid), std::to_string(type)})) return FALSE;
  if (sid == nullptr) return FALSE;
  std::string text = static_cast<const char*>(sid);
  switch (type) {
    case WinLocalSystemSid:
      return text == winsim::kSystem;
    case WinBuiltinAdministratorsSid:
      return text == winsim::kAdministrators;
    case WinWorldSid:
      return text == winsim::kEveryone;
  }
  return FALSE;
}
