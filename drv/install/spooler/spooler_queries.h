// The spooler's monitors, drivers and printers, each asked for in two calls (size, then data).
#pragma once

#include "platform.h"

struct InstallContext;

// Each list is one owned block laid out as the spooler returns it (entries, then their
// strings), or no block and a count of 0.
struct MonitorList {
  BYTE* buffer;
  DWORD level;
  DWORD count;
};

struct DriverList {
  BYTE* buffer;
  DWORD level;
  DWORD count;
};

struct PrinterSnapshot {
  BYTE* buffer;  // PRINTER_INFO_2W entries
  DWORD count;
};

void FreePrinterSnapshot(PrinterSnapshot& snapshot);
void MarkDefaultPrinter(InstallContext& context);
