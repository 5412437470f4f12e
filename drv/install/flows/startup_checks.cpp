#include "flows/startup_checks.h"

#include "platform.h"
#include "spooler/spooler_queries.h"
#include "system/pending_renames.h"
#include "system/spooler_service.h"
#include "text/wide_text.h"

namespace {

const WCHAR kProductDriver[] = W("Orvandelle printer");
const int32_t kOldestAcceptedDriverBuild = 2451;
const DWORD kDefaultNameCapacity = 260;

// The part of a pending source after its marker, its NT prefix and its last "\", "/" or ":";
// null for a form that names no file the installer understands.
const WCHAR* FileNamePart(const WCHAR* source) {
  const WCHAR* name = PendingEntryPath(source, false);
  for (const WCHAR* p = name; p != nullptr && *p; p++)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  return name;
}

bool IsProductSpoolerFile(const WCHAR* source) {
  const WCHAR* name = FileNamePart(source);
  return name != nullptr && (TextEqualsIgnoringAsciiCase(name, W("zelmon64.dll")) ||
         TextEqualsIgnoringAsciiCase(name, W("zeldrv64.dll")) || TextEqualsIgnoringAsciiCase(name, W("zelui64.dll")));
}

// One pass: carry out what can be deleted now, then look for a product file still pending.
bool ProductFilePending() {
  PendingRenameTable table = ReadPendingRenames();
  // A deletion carried out here that cannot leave the list has no log to go to; the install
  // that follows meets it again and reports it when it keeps its files from the list.
  (void)ClearPendingDeletes(table);
  bool pending = false;
  for (int32_t k = 0; k < table.pairCount; k++)
    if (table.isFile[2 * k] == 1 && table.paths[2 * k] != nullptr && IsProductSpoolerFile(table.paths[2 * k]))
      pending = true;
  FreePendingRenames(table);
  return pending;
}

void RestartSpoolerSilently() {
  SpoolerRestart restart{};
  RestartSpooler(restart, nullptr);
  FinishSpoolerRestart(restart);
}

const PRINTER_INFO_2W* FirstProductPrinter(const PrinterSnapshot& snapshot) {
  auto* entries = reinterpret_cast<const PRINTER_INFO_2W*>(snapshot.buffer);
  for (DWORD i = 0; i < snapshot.count; i++)
    if (TextEquals(entries[i].pDriverName, kProductDriver)) return &entries[i];
  return nullptr;
}

}  // namespace

bool InitCheck() {
  for (int pass = 0; pass < 2; pass++) {
    if (!ProductFilePending()) return false;
    RestartSpoolerSilently();
  }
  return true;
}

bool DefaultPrinterIsOther() {
  WCHAR name[kDefaultNameCapacity] = {0};
  DWORD capacity = kDefaultNameCapacity;
  SpoolerGetDefaultPrinterW(name, &capacity);
  if (name[0] == 0) return true;
  HANDLE printer = nullptr;
  if (!OpenPrinterW(name, &printer, nullptr)) return true;
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  bool other = !(info.buffer != nullptr &&
                 TextEquals(reinterpret_cast<PRINTER_INFO_2W*>(info.buffer)->pDriverName, kProductDriver));
  ClosePrinterHandle(printer);
  if (info.buffer != nullptr) GlobalFree(info.buffer);
  return other;
}

bool DriverVersionCheck() {
  PrinterSnapshot snapshot = {nullptr, 0};
  SnapshotPrinters(snapshot);
  const PRINTER_INFO_2W* entry = FirstProductPrinter(snapshot);
  HANDLE printer = nullptr;
  if (entry == nullptr || !OpenPrinterW(entry->pPrinterName, &printer, nullptr)) {
    FreePrinterSnapshot(snapshot);
    return false;
  }
  BYTE* driver = GetDriverInfo2(printer);
  auto* info = reinterpret_cast<DRIVER_INFO_2W*>(driver);
  bool accepted = info != nullptr && info->pDriverPath != nullptr &&
                  GetFileBuild(info->pDriverPath) >= kOldestAcceptedDriverBuild;
  ClosePrinterHandle(printer);
  if (driver != nullptr) GlobalFree(driver);
  FreePrinterSnapshot(snapshot);
  return accepted;
}

void MakeOwnPrinterDefault() {
  PrinterSnapshot snapshot = {nullptr, 0};
  SnapshotPrinters(snapshot);
  const PRINTER_INFO_2W* entry = FirstProductPrinter(snapshot);
  if (entry != nullptr) SpoolerSetDefaultPrinterW(entry->pPrinterName);
  FreePrinterSnapshot(snapshot);
}
