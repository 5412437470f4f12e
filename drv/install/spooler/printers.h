// The product's printers: deleted with their settings key remembered, re-created afterwards.
#pragma once

#include "platform.h"

struct InstallContext;

void DeleteAllPrinters(InstallContext& context);
void SavePrinterSettingsKey(InstallContext& context, const PRINTER_INFO_2W& entry);
void DeleteOnePrinter(InstallContext& context, const WCHAR* printerName);
HANDLE AddOwnPrinter(InstallContext& context, const WCHAR* printerName);
void RestorePrinters(InstallContext& context);
bool WriteSubKey(HANDLE printer, const char* settingsKey);
void ReadSubKey(HANDLE printer, char* buffer);
bool ClearDeletedMark(const char* keyPath);
