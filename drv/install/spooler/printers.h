// The product's printers: deleted with their settings key remembered, re-created afterwards.
#pragma once

#include "platform.h"

struct InstallContext;

// Reads the record of printers an earlier install was carrying over (each is carried over by
// this one, its recorded settings winning), looks at every product printer, and writes down and
// flushes those to delete and re-create. False, with the reason logged as an error, when the
// record cannot be read or written: the install must then change nothing.
bool RecordPrintersToCarry(InstallContext& context);
// Removes the record after an uninstall has deleted the printers on purpose.
void ForgetCarriedPrinters(InstallContext& context);
// Deletes every printer on the product driver that may go, remembering those that carry a
// settings key; printers not looked at yet (an uninstall's) are looked at first.
void DeleteAllPrinters(InstallContext& context);
// Remembers `entry` (a snapshot entry, referenced, not copied) with its settings key when one
// can be read, and as one to delete. False when the printer could not be looked at, or not be
// remembered: deleting it then would lose it with its settings.
bool SavePrinterSettingsKey(InstallContext& context, PRINTER_INFO_2W& entry);
void DeleteOnePrinter(InstallContext& context, const WCHAR* printerName);
// A printer on the product's driver and port; the caller closes the handle. Null on failure.
HANDLE AddOwnPrinter(InstallContext& context, const WCHAR* printerName);
// Re-creates the remembered printers, newest first, or one printer "Orvandelle"; each leaves
// the record once re-created, and the record goes when nothing waits in it.
void RestorePrinters(InstallContext& context);
// Writes the settings key as plain printer data and under "DsUser"; true when the latter took.
bool WriteSubKey(HANDLE printer, const char* settingsKey);
// Reads the settings key into `buffer` (at least 64 bytes): terminated text, empty when the
// printer has none that fits.
void ReadSubKey(HANDLE printer, char* buffer);
// Deletes the value "deleted" under the product's per-user key + "\" + `keyPath`.
bool ClearDeletedMark(const char* keyPath);

// The most a settings key takes in printer data, terminator included.
const DWORD kSettingsKeyBytes = 64;
