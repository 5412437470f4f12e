// The record one install or uninstall command works on from start to end.
#pragma once

#include <cstdint>

#include "platform.h"
#include "spooler/spooler_queries.h"
#include "system/deferred_delete.h"
#include "text/wide_text.h"

// A product printer the install deals with. Entry is what its re-creation sets: a snapshot
// entry, or the block RecordCopy owns when it was read from the record of printers being
// carried over. Found is the printer on the machine to delete (a snapshot entry) or null. A node
// without a settings key is not re-created: deleted when Found, else left as it is.
struct SavedPrinter {
  char* SettingsKey;
  PRINTER_INFO_2W* Entry;
  SavedPrinter* Next;
  PRINTER_INFO_2W* Found;
  BYTE* RecordCopy;
  BYTE InRecord;
};

// A logged-on user whose default printer is one of the product's, read before the printers are
// deleted (runs in session 0 only); Entry points into the context's snapshot.
struct UserDefault {
  char Sid[kUserSidChars];
  PRINTER_INFO_2W* Entry;
  UserDefault* Next;
};

struct InstallContext {
  WideText ModuleDir;
  WideText SystemDir;
  WideText LogText;
  WideText DriverDir;
  const WCHAR* Environment;
  const WCHAR* MonitorFile;
  const WCHAR* DriverFile;
  const WCHAR* HelpFile;
  const WCHAR* UiFile;
  BYTE CheckMonitorVersion;
  BYTE InstallMonitor;
  BYTE StartTray;
  BYTE CopyMonitor;
  int32_t ErrorCount;
  int32_t Depth;
  DeferredDeleteList DeferredDeletes;
  SavedPrinter* SavedPrinters;
  PrinterSnapshot Printers;
  PRINTER_INFO_2W** ParkedPrinters;
  UserDefault* UserDefaults;
};

// Flags of InitContext.
const unsigned UseX64Files = 2;
const unsigned NoTray = 4;

// The installer's build, written into the first log line and the log window's title.
const int kInstallerBuild = 2547;

InstallContext& InitContext(InstallContext& context, unsigned flags);
void FreeContext(InstallContext& context);
void SelectPlatformFiles(InstallContext& context, bool is64);
void FreeSavedPrinters(SavedPrinter*& head);
