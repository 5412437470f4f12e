#include "support/product_machine.h"

#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_spooler.h"

const char16_t kModuleDir[] = u"C:\\Product\\drv\\";
const char16_t kSystemDir[] = u"C:\\Windows\\system32\\";
const char16_t kDriverDir[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const char16_t kTrayPath[] = u"C:\\Product\\orvtray.exe";

std::string ComponentContents(const std::u16string& name, WORD build) {
  return "MZ " + std::string(name.begin(), name.end()) + " " + winsim::VersionResource({1, 0, 0, build});
}

void PutInstallerFiles(WORD build) {
  winsim::PutFile(std::u16string(kModuleDir) + u"orvinst.exe", "MZ orvinst");
  for (const char16_t* name : {u"zelmon64.dll", u"zeldrv64.dll", u"zelui64.dll"})
    winsim::PutFile(std::u16string(kModuleDir) + name, ComponentContents(name, build));
  winsim::PutFile(std::u16string(kModuleDir) + u"zelhelp.chm", "ITSF help");
  winsim::PutFile(kTrayPath, "MZ orvtray");
}

void PrepareProductMachine(WORD build) {
  winsim::SetModulePath(std::u16string(kModuleDir) + u"orvinst.exe");
  winsim::AddLocalPortMonitor();
  PutInstallerFiles(build);
}
