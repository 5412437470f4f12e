#include "spooler/printers.h"

#include "app/install_context.h"
#include "app/install_log.h"
#include "spooler/spooler_queries.h"
#include "text/wide_text.h"

namespace {

const char kSubKeyValue[] = "SubKey";
const char kDsUserKey[] = "DsUser";
const char kProductKey[] = "Software\\Corvane\\Orvandelle";
const char kPrinterKeysPrefix[] = "Orvandelles\\";
const char kDeletedValue[] = "deleted";
const DWORD kKeyPathBytes = 260;

const WCHAR kFallbackPrinterName[] = W("Orvandelle");
// What a user's "Device" value holds after the printer's name.
const WCHAR kDevicePort[] = W(",winspool,Ne00:");
const WCHAR kEmptyComment[] = W("");
const WCHAR kOwnPrintProcessor[] = W("WinPrint");
// WinPrint's own default. Windows fills it in for a null data type; Wine refuses a null one
// (1801) and leaves a printer behind that can be neither opened nor deleted.
const WCHAR kOwnDatatype[] = W("RAW");

const ACCESS_MASK kDeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER;

const WCHAR* NameOrStar(const WCHAR* name) { return name != nullptr ? name : W("*"); }

DWORD AnsiLength(const char* text) { return static_cast<DWORD>(lstrlenA(text)); }

void ClearBytes(char* buffer, DWORD bytes) {
  for (DWORD i = 0; i < bytes; i++) buffer[i] = 0;
}

void CopyBytes(char* to, const char* from, DWORD bytes) {
  for (DWORD i = 0; i < bytes; i++) to[i] = from[i];
}

// A read is usable when it succeeded as REG_SZ and the text ends inside the limit: a value
// stored without its terminator that fills all 64 bytes is a key too long to carry over, and
// must not be read past the buffer.
bool IsKeyText(DWORD result, DWORD type, const char* buffer) {
  if (result != ERROR_SUCCESS || type != REG_SZ) return false;
  for (DWORD i = 0; i < kSettingsKeyBytes; i++)
    if (buffer[i] == 0) return true;
  return false;
}

bool ReadPlainSubKey(HANDLE printer, char* buffer) {
  ClearBytes(buffer, kSettingsKeyBytes);
  DWORD type = 0;
  DWORD needed = 0;
  DWORD result = GetPrinterDataA(printer, const_cast<char*>(kSubKeyValue), &type, reinterpret_cast<BYTE*>(buffer),
                                 kSettingsKeyBytes, &needed);
  return IsKeyText(result, type, buffer);
}

bool ReadDsUserSubKey(HANDLE printer, char* buffer) {
  ClearBytes(buffer, kSettingsKeyBytes);
  DWORD type = 0;
  DWORD needed = 0;
  DWORD result = GetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, &type, reinterpret_cast<BYTE*>(buffer),
                                   kSettingsKeyBytes, &needed);
  return IsKeyText(result, type, buffer);
}

// A node at the head of the list, owning a copy of the key; false when memory ran out.
bool Remember(InstallContext& context, PRINTER_INFO_2W& entry, const char* settingsKey) {
  auto* node = static_cast<SavedPrinter*>(AllocateZeroed(sizeof(SavedPrinter)));
  if (node == nullptr) return false;
  DWORD bytes = AnsiLength(settingsKey) + 1;
  node->SettingsKey = static_cast<char*>(AllocateZeroed(bytes));
  if (node->SettingsKey == nullptr) {
    GlobalFree(node);
    return false;
  }
  CopyBytes(node->SettingsKey, settingsKey, bytes);
  node->Entry = &entry;
  node->Next = context.SavedPrinters;
  context.SavedPrinters = node;
  return true;
}

// Tells the log whether the product's port monitor is registered; the printer is added either
// way, so this only helps whoever reads the log after a failed add.
void LogOwnMonitorCheck(InstallContext& context) {
  LogLine(context, W("Let's check our port monitors"));
  MonitorList monitors;
  EnumMonitorList(monitors, context);
  if (FindOwnMonitor(monitors) >= 0) {
    LogLine(context, W("Port monitor is found"));
  } else {
    LogLine(context, W("No Orvandelle port monitor was found."));
    if (monitors.count != 0)
      LogMonitorList(context, monitors);
    else
      LogLine(context, W("BTW, there is no port monitors on this system."));
  }
  FreeMonitorList(monitors);
}

// The settings key of the re-created printer as the spooler now holds it names the registry
// key whose "deleted" mark goes.
void ClearMarkOfKeyReadBack(HANDLE printer) {
  char keyPath[kKeyPathBytes];
  ClearBytes(keyPath, kKeyPathBytes);
  DWORD prefix = AnsiLength(kPrinterKeysPrefix);
  CopyBytes(keyPath, kPrinterKeysPrefix, prefix);
  ReadSubKey(printer, keyPath + prefix);
  if (keyPath[prefix] != 0) ClearDeletedMark(keyPath);
}

// Comment, location and default status of the deleted printer, put on its namesake.
void RestoreDescription(HANDLE printer, const PRINTER_INFO_2W& entry) {
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  if (info.buffer == nullptr) return;
  auto* record = reinterpret_cast<PRINTER_INFO_2W*>(info.buffer);
  record->pComment = entry.pComment;
  record->pLocation = entry.pLocation;
  SetPrinterW(printer, 2, info.buffer, 0);
  if (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT) SpoolerSetDefaultPrinterW(record->pPrinterName);
  GlobalFree(info.buffer);
}

// Each logged-on user whose default the deleted printer was gets its namesake back as default,
// in that user's own setting: SetDefaultPrinter would set the calling account's (SYSTEM's).
void RestoreUserDefaults(const InstallContext& context, const PRINTER_INFO_2W& entry) {
  for (const UserDefault* user = context.UserDefaults; user != nullptr; user = user->Next) {
    if (user->Entry != &entry) continue;
    char path[kUserKeyPathChars];
    JoinAnsi(path, sizeof(path), user->Sid, kUserWindowsKey);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) continue;
    WideText device = {nullptr};
    Assign(device, entry.pPrinterName);
    Append(device, kDevicePort);
    DWORD bytes = static_cast<DWORD>((Length(device) + 1) * sizeof(WCHAR));
    RegSetValueExW(key, W("Device"), 0, REG_SZ, reinterpret_cast<const BYTE*>(Chars(device)), bytes);
    ReleaseText(device);
    RegCloseKey(key);
  }
}

// True when the printer was re-created, whatever became of its settings.
bool RestoreOnePrinter(InstallContext& context, const SavedPrinter& saved) {
  HANDLE printer = AddOwnPrinter(context, saved.Entry->pPrinterName);
  if (printer == nullptr) return false;
  if (WriteSubKey(printer, saved.SettingsKey)) ClearMarkOfKeyReadBack(printer);
  RestoreDescription(printer, *saved.Entry);
  RestoreUserDefaults(context, *saved.Entry);
  ClosePrinter(printer);
  return true;
}

}  // namespace

void DeleteAllPrinters(InstallContext& context) {
  LogLine(context, W(">DeleteAllPrinters"));
  context.Depth++;
  for (DWORD i = 0; i < context.Printers.count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    if (!TextEquals(entry->pDriverName, kOwnDriverName) || IsPrinterConnection(*entry)) continue;
    // A printer that cannot be carried over stays as it is, with its settings.
    if (!SavePrinterSettingsKey(context, *entry)) continue;
    DeleteOnePrinter(context, entry->pPrinterName);
  }
  context.Depth--;
}

bool SavePrinterSettingsKey(InstallContext& context, PRINTER_INFO_2W& entry) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(entry.pPrinterName, &printer, nullptr)) {
    ReportError(context, 16, NameOrStar(entry.pPrinterName));
    return false;
  }
  char settingsKey[kSettingsKeyBytes];
  ReadSubKey(printer, settingsKey);
  bool kept = settingsKey[0] == 0 || Remember(context, entry, settingsKey);
  if (!kept) LogLine(context, W("Not enough memory to carry printer %s over, it stays"), NameOrStar(entry.pPrinterName));
  ClosePrinter(printer);
  return kept;
}

void DeleteOnePrinter(InstallContext& context, const WCHAR* printerName) {
  LogLine(context, W(">DeletePrinter(%s)"), NameOrStar(printerName));
  context.Depth++;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, kDeleteAccess};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(printerName), &printer, &defaults)) {
    ReportError(context, 16, NameOrStar(printerName));
  } else {
    SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
    if (DeletePrinter(printer))
      LogLine(context, W("OK"));
    else
      ReportError(context, 17, NameOrStar(printerName));
    ClosePrinter(printer);
  }
  context.Depth--;
}

HANDLE AddOwnPrinter(InstallContext& context, const WCHAR* printerName) {
  LogLine(context, W(">AddPrinter(%s)"), NameOrStar(printerName));
  context.Depth++;
  LogOwnMonitorCheck(context);
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<WCHAR*>(printerName);
  info.pPortName = const_cast<WCHAR*>(kOwnMonitorName);
  info.pDriverName = const_cast<WCHAR*>(kOwnDriverName);
  info.pComment = const_cast<WCHAR*>(kEmptyComment);
  info.pPrintProcessor = const_cast<WCHAR*>(kOwnPrintProcessor);
  info.pDatatype = const_cast<WCHAR*>(kOwnDatatype);
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer != nullptr)
    LogLine(context, W("OK :)"));
  else
    ReportError(context, 15, NameOrStar(printerName));
  context.Depth--;
  return printer;
}

void RestorePrinters(InstallContext& context) {
  int32_t restored = 0;
  for (SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next)
    if (RestoreOnePrinter(context, *saved)) restored++;
  if (restored != 0) return;
  HANDLE printer = AddOwnPrinter(context, kFallbackPrinterName);
  if (printer != nullptr) ClosePrinter(printer);
}

bool WriteSubKey(HANDLE printer, const char* settingsKey) {
  auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(settingsKey));
  DWORD bytes = AnsiLength(settingsKey) + 1;
  SetPrinterDataA(printer, const_cast<char*>(kSubKeyValue), REG_SZ, data, bytes);
  return SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes) == ERROR_SUCCESS;
}

void ReadSubKey(HANDLE printer, char* buffer) {
  if (ReadPlainSubKey(printer, buffer)) return;
  if (ReadDsUserSubKey(printer, buffer)) return;
  buffer[0] = 0;
}

namespace {

// The "deleted" mark of `keyPath` below the product's key of `hive`'s `root` ("" for the hive
// itself).
bool ClearMarkIn(HKEY hive, const char* root, const char* keyPath) {
  DWORD rootBytes = AnsiLength(root);
  DWORD productBytes = AnsiLength(kProductKey);
  DWORD pathBytes = AnsiLength(keyPath);
  auto* path = static_cast<char*>(AllocateZeroed(rootBytes + productBytes + 1 + pathBytes + 1));
  if (path == nullptr) return false;
  CopyBytes(path, root, rootBytes);
  CopyBytes(path + rootBytes, kProductKey, productBytes);
  path[rootBytes + productBytes] = '\\';
  CopyBytes(path + rootBytes + productBytes + 1, keyPath, pathBytes);
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(hive, path, 0, KEY_ALL_ACCESS, &key);
  GlobalFree(path);
  if (opened != ERROR_SUCCESS) return false;
  LONG deleted = RegDeleteValueA(key, kDeletedValue);
  RegCloseKey(key);
  return deleted == ERROR_SUCCESS;
}

}  // namespace

// The caller's own mark and, in session 0 (SYSTEM, whose own settings nobody uses), the marks of
// every logged-on user.
bool ClearDeletedMark(const char* keyPath) {
  bool cleared = ClearMarkIn(HKEY_CURRENT_USER, "", keyPath);
  if (!InServicesSession()) return cleared;
  char root[kUserSidChars + 1];
  for (DWORD index = 0; NextUserHive(index, root);) {
    JoinAnsi(root, sizeof(root), root, "\\");
    cleared = ClearMarkIn(HKEY_USERS, root, keyPath) || cleared;
  }
  return cleared;
}
