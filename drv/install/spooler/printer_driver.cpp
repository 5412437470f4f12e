#include "spooler/printer_driver.h"

void InstallPrinterDriver(InstallContext&) {}
void RemovePrinterDriver(InstallContext&, const DriverList&) {}
