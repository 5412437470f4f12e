// The tray program: registered and started after an install, asked to quit and removed before.
// Both operations are silent: nothing is logged and no error is counted.
#pragma once

#include "platform.h"
#include "text/wide_text.h"

struct InstallContext;

// Enters the tray program beside the installer's parent directory in the machine's Run key and
// starts it; nothing when the context turns the tray off or on Windows before NT 6.
void RegisterAndStartTray(InstallContext& context);
// Asks a running tray program to quit and waits for it, deletes the file the Run value names,
// and removes the value.
void StopAndRemoveTray();
// The same, except that the file the Run value names is not deleted when it is `keepFile` (the
// same full path, ASCII case ignored): a repair is about to register and start that very file.
// A null `keepFile` keeps nothing.
void StopTrayKeepingFile(const WCHAR* keepFile);
// The full path of the tray program that RegisterAndStartTray will register, or empty text when
// it will register none (tray turned off, or Windows before NT 6). The caller releases it.
WideText TrayPathToRegister(const InstallContext& context);
