#include "tray/tray_control.h"

void RegisterAndStartTray(InstallContext&) {}
void StopAndRemoveTray() {}
