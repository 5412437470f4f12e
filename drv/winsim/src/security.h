// Object security as the named-object calls need it: the accounts simulated processes run
// under, the SIDs their tokens hold, owners and allowing DACLs, and the security descriptors
// that ConvertStringSecurityDescriptorToSecurityDescriptorA and GetSecurityInfo hand out.
#pragma once

#include <string>
#include <vector>

#include "winsim/sim_process.h"
#include "winsim/win32_types.h"

namespace winsim {

struct Ace {
  std::string sid;   // "S-1-5-32-544"
  DWORD access;      // specific rights, generic ones mapped as for a mutex
};
struct ObjectSecurity {
  std::string owner;
  std::vector<Ace> dacl;   // allowing entries only
};

// Accounts are named as SetInstallerAccount names them: u"SYSTEM", u"admin" (the elevated
// administrator) or a standard user's name.
// What a new object of `account` gets when its creator passes no security: an elevated
// administrator's own and SYSTEM's may use it fully; SYSTEM's lets the Administrators only
// read it and wait on it; a standard user's is the user's and SYSTEM's.
ObjectSecurity DefaultSecurity(const std::u16string& account);
// Whether `account` may name `sid` as the owner of what it creates (its user or, for the
// elevated administrator and SYSTEM, the Administrators group).
bool MayOwn(const std::u16string& account, const std::string& sid);
// The rights `account` holds on an object of that security; its owner may always read it.
DWORD GrantedAccess(const ObjectSecurity& security, const std::u16string& account);
// What a descriptor from ConvertStringSecurityDescriptorToSecurityDescriptorA holds; false for
// any other pointer. An absent owner or DACL stays empty.
bool ReadDescriptor(const void* descriptor, ObjectSecurity& security, bool& hasOwner, bool& hasDacl);
// A LocalAlloc'd descriptor holding `security`, as GetSecurityInfo returns it; `owner` then
// points at its owner SID.
void* WriteDescriptor(const ObjectSecurity& security, PSID* owner);

}  // namespace winsim
