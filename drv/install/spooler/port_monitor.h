// The product's port monitor: removed (its printers parked on "file:" if the spooler refuses)
// and installed again.
#pragma once

#include "platform.h"
#include "spooler/spooler_queries.h"

struct InstallContext;

void RemovePortMonitor(InstallContext& context, const MonitorList& monitors);
void InstallPortMonitor(InstallContext& context);
BOOL DeleteOwnMonitor(const WCHAR* environment);
