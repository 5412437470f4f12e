#include "spooler/spooler_queries.h"

void FreePrinterSnapshot(PrinterSnapshot& snapshot) {
  snapshot.buffer = nullptr;
  snapshot.count = 0;
}
void MarkDefaultPrinter(InstallContext&) {}
