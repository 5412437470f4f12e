// The install and uninstall sequences: the order of the steps, the spooler restarts between
// them, and what becomes of the files still to be deleted.
#pragma once

#include "platform.h"

struct InstallContext;

// `trayToKeep`: the tray program a reinstall is about to register again; it is asked to quit,
// but its file stays (null: the file the Run value names is deleted).
void UnInstall(InstallContext& context, const WCHAR* trayToKeep = nullptr);
void ReInstall(InstallContext& context);
void UnInstallAndCleanUp(InstallContext& context);
// The whole uninstall command on a context of its own: true when an error was logged; the
// number of files handed to deletion at the next restart goes to `scheduledCount`.
bool UninstallCommand(HWND parent, int* scheduledCount);
