#include "system/spooler_service.h"

bool CheckSpooler(InstallContext&) { return true; }
