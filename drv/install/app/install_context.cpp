#include "app/install_context.h"

#include "app/command_dispatch.h"
#include "app/install_log.h"
#include "system/spooler_service.h"

namespace {

const WCHAR kBackslash[] = {'\\', 0};

bool EndsWith(const WideText& text, WCHAR c) {
  uint64_t n = Length(text);
  return n > 0 && Chars(text)[n - 1] == c;
}

// The installer's directory: its path cut right after the last "\", "/" or ":".
void ReadModuleDir(InstallContext& context) {
  WCHAR path[MAX_PATH] = {0};
  GetModuleFileNameW(ModuleHandle, path, MAX_PATH);
  path[MAX_PATH - 1] = 0;
  uint64_t cut = 0;
  for (uint64_t i = 0; path[i] != 0; i++)
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') cut = i + 1;
  if (cut == 0) return;
  path[cut] = 0;
  Assign(context.ModuleDir, path);
}

void ReadSystemDir(InstallContext& context) {
  WCHAR path[MAX_PATH] = {0};
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  // A result of MAX_PATH or more is the size the directory would need: it did not fit, and
  // the platform sets no error code for that, so the log line names the reason itself.
  if (length >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  if (length == 0 || length >= MAX_PATH) {
    ReportError(context, 7);
    return;
  }
  Assign(context.SystemDir, path);
  if (Length(context.SystemDir) != 0 && !EndsWith(context.SystemDir, '\\')) Append(context.SystemDir, kBackslash);
}

// The printer-driver directory of `Environment`, asked for in two calls.
void ReadDriverDir(InstallContext& context) {
  DWORD needed = 0;
  WCHAR* environment = const_cast<WCHAR*>(context.Environment);
  if (GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ReportError(context, 6);
    return;
  }
  DWORD bytes = needed + sizeof(WCHAR);
  auto* directory = static_cast<WCHAR*>(AllocateZeroed(bytes));
  if (directory == nullptr) {
    ReportError(context, 6);
    return;
  }
  if (!GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<BYTE*>(directory), bytes, &needed)) {
    ReportError(context, 6);
    GlobalFree(directory);
    return;
  }
  LogLine(context, W("PrinterDriverDirectory(1):%s"), directory);
  Assign(context.DriverDir, directory);
  if (Length(context.DriverDir) != 0 && !EndsWith(context.DriverDir, '\\')) Append(context.DriverDir, kBackslash);
  LogLine(context, W("PrinterDriverDirectory(2):%s"), Chars(context.DriverDir));
  GlobalFree(directory);
}

}  // namespace

InstallContext& InitContext(InstallContext& context, unsigned flags) {
  context.ModuleDir.block = nullptr;
  context.SystemDir.block = nullptr;
  context.LogText.block = nullptr;
  context.DriverDir.block = nullptr;
  context.DeferredDeletes = nullptr;
  context.SavedPrinters = nullptr;
  context.UserDefaults = nullptr;
  context.Printers.buffer = nullptr;
  context.Printers.count = 0;
  context.ErrorCount = 0;
  context.Depth = 0;
  LogLine(context, W("Orvandelle %d"), kInstallerBuild);
  context.CheckMonitorVersion = 0;
  context.InstallMonitor = 1;
  context.StartTray = 1;
  context.CopyMonitor = 1;
  if (flags & NoTray) context.StartTray = 0;
  CheckSpooler(context);
  SelectPlatformFiles(context, (flags & UseX64Files) != 0);
  context.ParkedPrinters = nullptr;
  ReadModuleDir(context);
  ReadSystemDir(context);
  MarkDefaultPrinter(context);
  return context;
}

void SelectPlatformFiles(InstallContext& context, bool is64) {
  context.Environment = is64 ? W("Windows x64") : W("Windows NT x86");
  context.MonitorFile = is64 ? W("zelmon64.dll") : W("zelmon32.dll");
  context.DriverFile = is64 ? W("zeldrv64.dll") : W("zeldrv32.dll");
  context.UiFile = is64 ? W("zelui64.dll") : W("zelui32.dll");
  ReadDriverDir(context);
  context.HelpFile = W("zelhelp.chm");
}

void FreeSavedPrinters(SavedPrinter*& head) {
  while (head != nullptr) {
    SavedPrinter* next = head->Next;
    if (head->SettingsKey != nullptr) GlobalFree(head->SettingsKey);
    if (head->RecordCopy != nullptr) GlobalFree(head->RecordCopy);
    GlobalFree(head);
    head = next;
  }
}

void FreeContext(InstallContext& context) {
  if (context.ParkedPrinters != nullptr) GlobalFree(context.ParkedPrinters);
  context.ParkedPrinters = nullptr;
  FreePrinterSnapshot(context.Printers);
  FreeSavedPrinters(context.SavedPrinters);
  while (context.UserDefaults != nullptr) {
    UserDefault* next = context.UserDefaults->Next;
    GlobalFree(context.UserDefaults);
    context.UserDefaults = next;
  }
  ClearDeferredDeletes(context.DeferredDeletes);
  ReleaseText(context.DriverDir);
  ReleaseText(context.LogText);
  ReleaseText(context.SystemDir);
  ReleaseText(context.ModuleDir);
}
