#include "spooler/port_monitor.h"

void RemovePortMonitor(InstallContext&, const MonitorList&) {}
void InstallPortMonitor(InstallContext&) {}
BOOL DeleteOwnMonitor(const WCHAR*) { return FALSE; }
