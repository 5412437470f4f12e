// Stopping, starting and checking the "spooler" service.
#pragma once

#include "platform.h"

struct InstallContext;

bool CheckSpooler(InstallContext& context);
