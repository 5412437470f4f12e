// The tray program: registered and started after an install, asked to quit and removed before.
#pragma once

struct InstallContext;

void RegisterAndStartTray(InstallContext& context);
void StopAndRemoveTray();
