// The product's printer driver: staged, added with its files, and deleted.
#pragma once

#include "platform.h"
#include "spooler/spooler_queries.h"

struct InstallContext;

void InstallPrinterDriver(InstallContext& context);
void RemovePrinterDriver(InstallContext& context, const DriverList& drivers);
