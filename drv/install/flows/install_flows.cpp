#include "flows/install_flows.h"

void ReInstall(InstallContext&) {}
bool UninstallCommand(HWND, int* scheduledCount) {
  *scheduledCount = 0;
  return false;
}
