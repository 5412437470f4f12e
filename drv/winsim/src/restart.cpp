// A restart of the simulated machine: what a reboot does to the state the installer leaves.
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

namespace winsim {
namespace {

std::u16string Win32Path(const std::u16string& ntPath) {
  return ntPath.rfind(u"\\??\\", 0) == 0 ? ntPath.substr(4) : ntPath;
}

// One pair of the list, as the session manager carries it out early in the start: a deletion
// removes a file; a rename moves one, onto an existing target only when the target is marked
// "!" (MOVEFILE_REPLACE_EXISTING). What cannot be done is skipped.
void CarryOut(const std::u16string& source, const std::u16string& target) {
  std::u16string from = Win32Path(source);
  if (!FileExists(from)) return;
  if (target.empty()) {
    RemoveFile(from);
    return;
  }
  bool replace = target[0] == u'!';
  std::u16string to = Win32Path(replace ? target.substr(1) : target);
  if (FileExists(to) && !replace) return;
  std::string contents = FileContents(from);
  RemoveFile(from);
  PutFile(to, contents);
}

void CarryOutPendingRenames() {
  auto value = ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue);
  if (!value) return;
  if (value->type == REG_MULTI_SZ) {
    std::vector<std::u16string> strings = SplitMultiString(value->data);
    for (size_t i = 0; i + 1 < strings.size(); i += 2) CarryOut(strings[i], strings[i + 1]);
  }
  RemoveValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue);
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
