// A restart of the simulated machine: what a reboot does to the state the installer leaves.
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace winsim {
namespace {

// The file an entry names, as the session manager reads it: a leading "*" with its digits (the
// marker of Windows 10 and 11), then on a target "!" (replace an existing file) or "@", then
// "\??\". Empty for a form it does not carry out, a path that is not whole among them.
std::u16string EntryPath(std::u16string entry, bool isTarget, bool* replace) {
  bool marked = false;
  if (!entry.empty() && entry[0] == u'*') {
    size_t digits = entry.find_first_not_of(u"0123456789", 1);
    if (digits == 1 || digits == std::u16string::npos) return u"";
    entry.erase(0, digits);
    marked = true;
  }
  if (!entry.empty() && (entry[0] == u'!' || entry[0] == u'@')) {
    if (!isTarget) return u"";
    if (replace != nullptr) *replace = entry[0] == u'!';
    entry.erase(0, 1);
    marked = true;
  }
  if (entry.rfind(u"\\??\\", 0) == 0) entry.erase(0, 4);
  else if (marked) return u"";
  // It knows no current directory: only a whole path names a file.
  bool whole = entry.size() >= 3 && ((entry[0] >= u'A' && entry[0] <= u'Z') || (entry[0] >= u'a' && entry[0] <= u'z')) &&
               entry[1] == u':' && (entry[2] == u'\\' || entry[2] == u'/');
  return whole ? entry : u"";
}

// One pair of a list, as the session manager carries it out early in the start: a deletion
// removes a file; a rename moves one, onto an existing target only when the target is marked
// "!" (MOVEFILE_REPLACE_EXISTING). What cannot be done is skipped.
void CarryOut(const std::u16string& source, const std::u16string& target) {
  std::u16string from = EntryPath(source, false, nullptr);
  if (from.empty() || !FileExists(from)) return;
  if (target.empty()) {
    RemoveFile(from);
    return;
  }
  bool replace = false;
  std::u16string to = EntryPath(target, true, &replace);
  if (to.empty() || (FileExists(to) && !replace)) return;
  std::string contents = FileContents(from);
  RemoveFile(from);
  PutFile(to, contents);
}

// The first list, then the second; each is removed once carried out.
void CarryOutPendingRenames() {
  for (const char16_t* name : {kPendingRenamesValue, kPendingRenamesValue2}) {
    auto value = ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, name);
    if (!value) continue;
    if (value->type == REG_MULTI_SZ) {
      std::vector<std::u16string> strings = SplitMultiString(value->data);
      for (size_t i = 0; i + 1 < strings.size(); i += 2) CarryOut(strings[i], strings[i + 1]);
    }
    RemoveValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, name);
  }
}

}  // namespace

void RestartMachine() {
  EndAllProcesses();
  SetServiceState(u"spooler", SERVICE_STOPPED);
  ReleaseAllFiles();
  CarryOutPendingRenames();
  SetServiceState(u"spooler", SERVICE_RUNNING);
}

}  // namespace winsim
