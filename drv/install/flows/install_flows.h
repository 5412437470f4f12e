// The install and uninstall sequences.
#pragma once

#include "platform.h"

struct InstallContext;

void ReInstall(InstallContext& context);
bool UninstallCommand(HWND parent, int* scheduledCount);
