// The tray program: registered and started after an install, asked to quit and removed before.
// Both operations are silent: nothing is logged and no error is counted.
#pragma once

struct InstallContext;

// Enters the tray program beside the installer's parent directory in the machine's Run key and
// starts it; nothing when the context turns the tray off or on Windows before NT 6.
void RegisterAndStartTray(InstallContext& context);
// Asks a running tray program to quit and waits for it, deletes the file the Run value names,
// and removes the value.
void StopAndRemoveTray();
