#include "spooler/printers.h"

void DeleteAllPrinters(InstallContext&) {}
void SavePrinterSettingsKey(InstallContext&, const PRINTER_INFO_2W&) {}
void DeleteOnePrinter(InstallContext&, const WCHAR*) {}
HANDLE AddOwnPrinter(InstallContext&, const WCHAR*) { return nullptr; }
void RestorePrinters(InstallContext&) {}
bool WriteSubKey(HANDLE, const char*) { return false; }
void ReadSubKey(HANDLE, char* buffer) { buffer[0] = 0; }
bool ClearDeletedMark(const char*) { return false; }
