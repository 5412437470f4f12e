// The program's top level: command word in, exit code out.
#pragma once

#include "platform.h"

// The module handle of the installer's own executable, stored first thing by RunCommand.
extern HINSTANCE ModuleHandle;

int32_t RunCommand(HINSTANCE module);
void CloseHelpWindows();
