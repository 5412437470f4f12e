// The scenario runner's helper programs, one source built twice: with the spooler
// (E2E_SPOOLER) as e2e_spooler.exe, and without as e2e_launch.exe, which a scenario that takes
// winspool.drv away must still be able to start.
//   e2e_spooler.exe COMMAND...   the starting state, made by the platform calls an earlier install
//       or the user would have made; fields separated by "|", "-" none:
//       monitor|DLL  driver|NAME|DRIVER|UI|HELP (staged files)  printer|NAME|PORT|DRIVER|COMMENT|
//       LOCATION|SUBKEY|DSUSER  default|NAME  settings|KEY (marked deleted)  pending|SOURCE[|TARGET]
//       pending2|... (the second list)  run|PATH (the tray's Run value)  hold|PATH (loaded until
//       "release")  squat|user-mutex|open-user-mutex|event (the lock's name, until "release")  release
//       queue|NAME|SHARE|ATTRIBUTES|PRIORITY|DEFAULT PRIORITY|SEPARATOR|START|UNTIL (what an
//       administrator sets on the printer's queue; numbers in decimal)
//   e2e_spooler.exe query FILE...   the state, one tab-separated record a line, then "end"
//   e2e_spooler.exe kill-when first-gone|half-back COUNT   ends orvinst.exe with TerminateProcess
//       once fewer than COUNT product printers are left, or once half of them are back after
//       fewer than half were left; prints "killed" or "not killed"
//   e2e_launch.exe [--station] [--timeout=MS] [--shift] [--watch-window] [--screenshot=PATH.bmp]
//                  [--keep-window=PATH (the log window stays open until PATH exists)]
//       (--probe | -- PROGRAM ARGS)   the full 32-bit exit code, which a Unix exit status would cut
//       to 8 bits, and the log window read and closed; --station: in a window station with no
//       display surface, as a service running as SYSTEM runs it, whose flags --probe reports
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef E2E_SPOOLER
#include <tlhelp32.h>
#include <winspool.h>
#endif

namespace {

std::string Narrow(const std::wstring& text) {
  std::string result(text.size() * 3, '\0');  // at most 3 bytes per UTF-16 unit
  result.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                                    static_cast<int>(result.size()), nullptr, nullptr));
  return result;
}

void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

#ifdef E2E_SPOOLER

const wchar_t kTrayMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kTrayWindowClass[] = L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const wchar_t kEnvironment[] = L"Windows x64";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"OrvandelleTray";
const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kPendingValue2[] = L"PendingFileRenameOperations2";
const wchar_t kSettingsRoot[] = L"Software\\Corvane\\Orvandelle\\Orvandelles";
const wchar_t kReleaseEvent[] = L"e2e-seed-release-held";
// The printer's own data (what SetPrinterData writes) and its DsUser key each hold a "SubKey".
const char* const kPrinterDataKeys[] = {"PrinterDriverData", "DsUser"};
const wchar_t kRecordKey[] = L"SOFTWARE\\Corvane\\Orvandelle\\Carried printers";
const wchar_t kProductDriver[] = L"Orvandelle printer";

std::string Field(const wchar_t* text) { return text == nullptr ? "(null)" : Narrow(text); }

// The status kept as the last error, for the report of a failed command.
bool Succeeded(LONG status) {
  SetLastError(status);
  return status == ERROR_SUCCESS;
}

// --- seeding ---

wchar_t* Optional(std::wstring& field) { return field == L"-" ? nullptr : &field[0]; }

bool SeedMonitor(std::vector<std::wstring>& f) {
  MONITOR_INFO_2W info = {const_cast<wchar_t*>(L"Orvandelle:"), const_cast<wchar_t*>(kEnvironment), &f.back()[0]};
  return f.size() == 2 && AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

bool SeedDriver(std::vector<std::wstring>& f) {
  if (f.size() != 5) return false;
  if (f[4] == L"-") f[4].clear();
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = &f[1][0];
  info.pEnvironment = const_cast<wchar_t*>(kEnvironment);
  info.pDriverPath = info.pDataFile = &f[2][0];
  info.pConfigFile = &f[3][0];
  info.pHelpFile = &f[4][0];
  return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
}

bool SeedPrinter(std::vector<std::wstring>& f) {
  if (f.size() != 8) return false;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = &f[1][0];
  info.pPortName = &f[2][0];
  info.pDriverName = &f[3][0];
  info.pComment = Optional(f[4]);
  info.pLocation = Optional(f[5]);
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer == nullptr) return false;
  DWORD status = ERROR_SUCCESS;
  for (int i = 0; i < 2 && status == ERROR_SUCCESS; i++) {
    std::string value = Narrow(f[6 + i]);
    if (value != "-")
      status = SetPrinterDataExA(printer, kPrinterDataKeys[i], "SubKey", REG_SZ, reinterpret_cast<BYTE*>(&value[0]),
                                 static_cast<DWORD>(value.size() + 1));
  }
  ClosePrinter(printer);
  return Succeeded(status);
}

DWORD Number(const std::wstring& text) { return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10)); }

bool SeedQueue(std::vector<std::wstring>& f) {
  if (f.size() != 9) return false;
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(&f[1][0], &printer, &access)) return false;
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 1);
  bool ok = GetPrinterW(printer, 2, buffer.data(), needed, &needed);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  if (ok) {
    info->pShareName = Optional(f[2]);
    info->Attributes = Number(f[3]);
    info->Priority = Number(f[4]);
    info->DefaultPriority = Number(f[5]);
    info->pSepFile = Optional(f[6]);
    info->StartTime = Number(f[7]);
    info->UntilTime = Number(f[8]);
    ok = SetPrinterW(printer, 2, buffer.data(), 0);
  }
  DWORD error = GetLastError();
  ClosePrinter(printer);
  SetLastError(error);
  return ok;
}

// The data with the zero that ends its last text.
bool SetValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const std::wstring& data) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Succeeded(status);
  status = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return Succeeded(status);
}

// The bytes of one registry value, or false when it cannot be read.
bool ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, std::vector<wchar_t>& data) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0, type = 0;
  bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  data.assign(size / sizeof(wchar_t) + 2, 0);  // two zeros beyond, whatever the value holds
  ok = ok && RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) data.clear();
  return ok;
}

// "pending|SOURCE[|TARGET]" appends a pair to the first list, "pending2|..." to the second. A
// plain path is written as Wine's MoveFileEx writes it, with the NT object prefix; an entry that
// begins with "*", "!", "@" or "\" as it stands (the marked form of Windows 10 and 11).
std::wstring PendingEntry(const std::wstring& text) {
  return text.empty() || std::wstring(L"*!@\\").find(text[0]) != std::wstring::npos ? text : L"\\??\\" + text;
}

bool AppendPending(const std::vector<std::wstring>& f) {
  if (f.size() != 2 && f.size() != 3) return false;
  const wchar_t* value = f[0] == L"pending2" ? kPendingValue2 : kPendingValue;
  std::vector<wchar_t> data;
  ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, value, data);
  std::wstring list(data.begin(), data.end());
  while (!list.empty() && list.back() == 0) list.pop_back();
  if (!list.empty()) list.push_back(0);
  list += PendingEntry(f[1]) + L'\0' + (f.size() == 3 ? PendingEntry(f[2]) : L"");
  list.append(1, L'\0');  // the list's end; SetValue adds the last string's own zero
  return SetValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, value, REG_MULTI_SZ, list);
}

// Loaded, the file can be neither deleted nor overwritten until "release" or the session's end.
bool HoldLibrary(const std::wstring& path) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  HMODULE module = release == nullptr ? nullptr : LoadLibraryW(path.c_str());
  if (module == nullptr) return false;
  Out("held " + Narrow(path));
  WaitForSingleObject(release, INFINITE);
  FreeLibrary(module);
  return true;
}

// A standard user's program that takes the installer's lock name first: a mutex of its own
// default security (closed to administrators), one open to everyone, or an event; held until
// "release". Wine lets any owner be named; Windows would take the user's own.
bool SquatLockName(const std::wstring& kind) {
  const char* const user = "S-1-5-21-1004336348-1177238915-682003330-1001";
  std::string sddl = std::string("O:") + user + "D:" +
                     (kind == L"open-user-mutex" ? "(A;;GA;;;WD)" : std::string("(A;;GA;;;") + user + ")(A;;GA;;;SY)");
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  if (release == nullptr || !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                                  &security.lpSecurityDescriptor, nullptr))
    return false;
  const char* name = "Global\\Orvandelle.Install.{28CD40B4-D7C9-452C-9FDF-8E440253425E}";
  HANDLE object = kind == L"event" ? CreateEventA(&security, TRUE, FALSE, name) : CreateMutexA(&security, TRUE, name);
  LocalFree(security.lpSecurityDescriptor);
  if (object == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return false;
  Out("held " + Narrow(kind));
  WaitForSingleObject(release, INFINITE);
  CloseHandle(object);
  return true;
}

bool Seed(const std::wstring& command) {
  std::vector<std::wstring> f;
  for (size_t start = 0, bar = 0; bar != std::wstring::npos; start = bar + 1) {
    bar = command.find(L'|', start);
    f.push_back(command.substr(start, bar == std::wstring::npos ? bar : bar - start));
  }
  const std::wstring& verb = f[0];
  const std::wstring& arg = f.back();
  SetLastError(ERROR_INVALID_PARAMETER);
  bool ok = verb == L"monitor"  ? SeedMonitor(f)
            : verb == L"driver" ? SeedDriver(f)
            : verb == L"printer" ? SeedPrinter(f)
            : verb == L"queue"   ? SeedQueue(f)
            : verb == L"release" ? f.size() == 1 && SetEvent(CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent))
            : verb == L"pending" || verb == L"pending2" ? AppendPending(f)
            : f.size() != 2      ? false
            : verb == L"default" ? SetDefaultPrinterW(arg.c_str()) != FALSE
            : verb == L"settings" ? SetValue(HKEY_CURRENT_USER, std::wstring(kSettingsRoot) + L"\\" + arg, L"deleted",
                                             REG_SZ, L"1")
            : verb == L"run"     ? SetValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, arg)
            : verb == L"hold"    ? HoldLibrary(arg)
            : verb == L"squat"   ? SquatLockName(arg)
                                 : false;
  std::string error = ok ? "" : ": error " + std::to_string(GetLastError());
  Out((ok ? "ok " : "FAILED ") + Narrow(command) + error);
  return ok;
}

// --- the query ---

// An enumeration run twice: for the size, then into a buffer of that size.
// The records' texts point into the buffer, which the caller keeps.
template <typename Record, typename Call>
std::vector<Record> Enumerate(std::vector<BYTE>& buffer, Call call) {
  DWORD needed = 0, count = 0;
  call(nullptr, 0, &needed, &count);
  buffer.assign(needed, 0);
  if (needed == 0 || !call(buffer.data(), needed, &needed, &count)) count = 0;
  auto* records = reinterpret_cast<Record*>(buffer.data());
  return std::vector<Record>(records, records + count);
}

// "(none)" when the value cannot be read as an 8-bit text.
std::string SubKey(HANDLE printer, const char* key) {
  char data[1024] = {0};
  DWORD type = 0, needed = 0;
  if (GetPrinterDataExA(printer, key, "SubKey", &type, reinterpret_cast<BYTE*>(data), sizeof data - 1, &needed) !=
      ERROR_SUCCESS)
    return "(none)";
  return type == REG_SZ ? std::string(data) : "(type " + std::to_string(type) + ")";
}

// The last number of the product version, as the installer reads it; -1 without a version.
int FileBuild(const std::wstring& path) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::string block(size, '\0');
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, &block[0]) ||
      !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof *info)
    return -1;
  return static_cast<int>(info->dwProductVersionLS & 0xFFFF);
}

void Query(int count, wchar_t** files) {
  std::vector<BYTE> buffer;
  for (const MONITOR_INFO_2W& m : Enumerate<MONITOR_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumMonitorsW(nullptr, 2, b, s, n, c);
       }))
    Out("monitor\t" + Field(m.pName) + "\t" + Field(m.pDLLName));
  for (const DRIVER_INFO_3W& d : Enumerate<DRIVER_INFO_3W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrinterDriversW(nullptr, const_cast<wchar_t*>(kEnvironment), 3, b, s, n, c);
       }))
    Out("driver\t" + Field(d.pName) + "\t" + std::to_string(d.cVersion) + "\t" + Field(d.pDriverPath) + "\t" +
        Field(d.pDataFile) + "\t" + Field(d.pConfigFile) + "\t" + Field(d.pHelpFile));
  for (const PRINTER_INFO_2W& p : Enumerate<PRINTER_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
       })) {
    std::string keys = "(unopened)\t(unopened)";
    HANDLE printer = nullptr;
    if (OpenPrinterW(p.pPrinterName, &printer, nullptr)) {
      keys = SubKey(printer, kPrinterDataKeys[0]) + "\t" + SubKey(printer, kPrinterDataKeys[1]);
      ClosePrinter(printer);
    }
    Out("printer\t" + Field(p.pPrinterName) + "\t" + Field(p.pPortName) + "\t" + Field(p.pDriverName) + "\t" +
        Field(p.pComment) + "\t" + Field(p.pLocation) + "\t" + keys + "\t" + Field(p.pShareName) + "\t" +
        std::to_string(p.Attributes) + "\t" + std::to_string(p.Priority) + "\t" + std::to_string(p.DefaultPriority) +
        "\t" + Field(p.pSepFile) + "\t" + std::to_string(p.StartTime) + "\t" + std::to_string(p.UntilTime));
  }
  HKEY record = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ, &record) == ERROR_SUCCESS) {
    wchar_t value[512];
    DWORD length = 512;
    for (DWORD i = 0; RegEnumValueW(record, i, value, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         i++, length = 512)
      Out("record\t" + Narrow(value));
    Out("record-key");
    RegCloseKey(record);
  }
  wchar_t name[1024] = {0};
  DWORD size = 1024;
  Out(std::string("default\t") + (GetDefaultPrinterW(name, &size) ? Field(name) : "(none)"));
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kTrayMutex);
  if (mutex != nullptr) CloseHandle(mutex);
  std::string tray = std::string(FindWindowW(kTrayWindowClass, nullptr) ? "window " : "") + (mutex ? "mutex" : "");
  Out("tray\t" + (tray.empty() ? "(none)" : tray));
  std::vector<wchar_t> data;
  Out("run\t" + (ReadValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, data) ? Field(data.data()) : "(none)"));
  for (const wchar_t* value : {kPendingValue, kPendingValue2}) {
    if (!ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, value, data)) continue;
    for (const wchar_t* at = data.data(); at < data.data() + data.size() - 2 && *at != 0;) {
      std::wstring source = at, target = at + source.size() + 1;
      at += source.size() + target.size() + 2;
      Out((value == kPendingValue ? "pending\t" : "pending2\t") + Narrow(source) + "\t" + Narrow(target));
    }
  }
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsRoot, 0, KEY_READ, &root) == ERROR_SUCCESS) {
    wchar_t key[256];
    for (DWORD i = 0, length = 256; RegEnumKeyExW(root, i, key, &length, nullptr, nullptr, nullptr, nullptr) ==
                                    ERROR_SUCCESS;
         i++, length = 256) {
      std::wstring path = std::wstring(kSettingsRoot) + L"\\" + key;
      bool deleted = ReadValue(HKEY_CURRENT_USER, path.c_str(), L"deleted", data);
      Out("settings\t" + Narrow(key) + (deleted ? "\tdeleted" : "\tkept"));
    }
    RegCloseKey(root);
  }
  for (int i = 0; i < count; i++) Out("file\t" + Narrow(files[i]) + "\t" + std::to_string(FileBuild(files[i])));
  Out("end");
}

#else

const wchar_t* const kLogTitles[] = {L"Orvandelle build 2547- Install error log!",
                                     L"Orvandelle build 2547- Install log."};
const int kLogTextId = 1001;

// --- the log window, as a person sees it ---

// The log window of the launched process alone: another run's may be open beside it.
HWND FindLogWindow(DWORD processId, std::wstring& title) {
  for (const wchar_t* candidate : kLogTitles)
    for (HWND window = FindWindowExW(nullptr, nullptr, L"#32770", candidate); window != nullptr;
         window = FindWindowExW(nullptr, window, L"#32770", candidate)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      title = candidate;
      if (owner == processId && IsWindowVisible(window)) return window;
    }
  return nullptr;
}

// The window's area of the screen as a 24-bit bottom-up BMP file. Under Wine this needs a real
// display (Xvfb); the null graphics driver gives no pixels.
bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT area;
  if (!GetWindowRect(window, &area) || area.right <= area.left || area.bottom <= area.top) return false;
  int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* pixels = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  bool ok = bitmap != nullptr && BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  SelectObject(memory, previous);
  DWORD imageBytes = ((width * 3 + 3) / 4) * 4 * height, written = 0;
  BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, sizeof file + sizeof info.bmiHeader};
  file.bfSize = file.bfOffBits + imageBytes;
  HANDLE out = ok ? CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)
                  : INVALID_HANDLE_VALUE;
  ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &written, nullptr) &&
       WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
       WriteFile(out, pixels, imageBytes, &written, nullptr);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

// Its title, its text box between markers (read by messages: GetWindowText of another
// process's window gives its caption only), a picture, then Close, sent so it is handled
// before this returns. The pause lets the owner paint first.
void HandleLogWindow(HWND window, const std::wstring& title, const std::wstring& screenshot,
                     const std::wstring& keepUntil) {
  Sleep(screenshot.empty() ? 50 : 1500);
  std::vector<wchar_t> text(SendDlgItemMessageW(window, kLogTextId, WM_GETTEXTLENGTH, 0, 0) + 2, 0);
  GetDlgItemTextW(window, kLogTextId, text.data(), static_cast<int>(text.size() - 1));
  std::wstring lines;  // the text-mode output adds the CR of each line end again
  for (const wchar_t* at = text.data(); *at != 0; at++)
    if (!(at[0] == L'\r' && at[1] == L'\n')) lines += *at;
  Out("window\t" + Narrow(title) + "\ntext-begin\n" + Narrow(lines) + "\ntext-end");
  if (!screenshot.empty()) Out(std::string("screenshot\t") + (SaveScreenshot(window, screenshot) ? "saved" : "failed"));
  // Left open, as by a person gone home, until the file appears; a minute at the most.
  if (!keepUntil.empty()) {
    Out("window-open");
    DWORD waited = 0;
    for (; waited < 60000 && GetFileAttributesW(keepUntil.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 50) Sleep(50);
    Out(waited < 60000 ? "window-kept released" : "window-kept timed-out");
  }
  SendDlgItemMessageW(window, IDOK, BM_CLICK, 0, 0);
}

// Wine keeps the desktop's key state while a process of the session lives, so the one that
// pressed Shift must stay alive until the installer has looked at it.
void SendShift(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki = {VK_LSHIFT, 0x2a, down ? 0u : static_cast<DWORD>(KEYEVENTF_KEYUP), 0, 0};
  SendInput(1, &input, sizeof input);
}

// --- launching ---

struct Options {
  DWORD limitMs = 60000;
  bool shift = false, watch = false, probe = false, station = false;
  std::wstring screenshot, keepWindow, program, commandLine;
};

Options Parse(int argc, wchar_t** argv) {
  Options o;
  int i = 1;
  for (; i < argc && std::wstring(argv[i]) != L"--"; i++) {
    std::wstring a = argv[i];
    if (a.rfind(L"--timeout=", 0) == 0) o.limitMs = static_cast<DWORD>(std::stoul(a.substr(10)));
    if (a.rfind(L"--screenshot=", 0) == 0) o.screenshot = a.substr(13);
    if (a.rfind(L"--keep-window=", 0) == 0) o.keepWindow = a.substr(14);
    o.shift = o.shift || a == L"--shift";
    o.watch = o.watch || a == L"--watch-window";
    o.probe = o.probe || a == L"--probe";
    o.station = o.station || a == L"--station";
  }
  for (int k = i + 1; k < argc; k++) {
    std::wstring a = argv[k];
    bool plain = !a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos;
    o.commandLine += (k > i + 1 ? L" " : L"") + (plain ? a : L"\"" + a + L"\"");
  }
  if (i + 1 < argc) o.program = argv[i + 1];
  return o;
}

// Runs the program to its end, or ends it at the time limit, watching for the log window;
// false when it could not be started.
bool RunProgram(const Options& o, wchar_t* desktop) {
  std::wstring commandLine = o.commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(o.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Out("exit not-started " + std::to_string(GetLastError()));
    return false;
  }
  bool ended = false, handled = !o.watch;
  std::wstring title;
  for (DWORD waited = 0; waited <= o.limitMs && !ended; waited += 50) {
    ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
    HWND window = ended || handled ? nullptr : FindLogWindow(process.dwProcessId, title);
    if (window != nullptr) HandleLogWindow(window, title, o.screenshot, o.keepWindow);
    handled = handled || window != nullptr;
  }
  DWORD code = 0;
  if (ended && GetExitCodeProcess(process.hProcess, &code)) Out("exit " + std::to_string(code));
  if (!ended) Out("exit timeout"), TerminateProcess(process.hProcess, 0xFFFFFFFF);
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Inside the station: its flags as the exit code, or the error with the top bits set.
int ReportOwnStation() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed))
    return static_cast<int>(0xFFFF0000 | GetLastError());
  return static_cast<int>(flags.dwFlags);
}

#endif

#ifdef E2E_SPOOLER
size_t ProductPrinters(std::vector<BYTE>& buffer) {
  size_t count = 0;
  for (const PRINTER_INFO_2W& p : Enumerate<PRINTER_INFO_2W>(buffer, [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
         return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, s, n, c);
       }))
    count += p.pDriverName != nullptr && std::wstring(p.pDriverName) == kProductDriver;
  return count;
}

// Level 4 holds names alone, which Wine reads far faster than level 2: fast enough to see a
// reinstall halfway through its printers.
// One call into a buffer with room to spare, so that printers added meanwhile do not make it
// fail; false when it did all the same (the buffer has grown for the next poll).
bool AllPrinters(std::vector<BYTE>& buffer, size_t& count) {
  DWORD needed = 0, returned = 0;
  if (buffer.size() < 0x40000) buffer.resize(0x40000);
  if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                     &returned))
    return buffer.resize(2 * needed), false;
  count = returned;
  return true;
}

bool InstallerRunning() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  bool running = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !running; more = Process32NextW(snapshot, &entry))
    running = lstrcmpiW(entry.szExeFile, L"orvinst.exe") == 0;
  CloseHandle(snapshot);
  return running;
}

// Every running orvinst.exe ends at once, as a deployment tool's time-out or Task Manager ends it.
bool KillInstaller() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  bool killed = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"orvinst.exe") != 0) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    killed = (process != nullptr && TerminateProcess(process, 0xDEAD)) || killed;
    if (process != nullptr) CloseHandle(process);
  }
  CloseHandle(snapshot);
  return killed;
}

// Polls the spooler until the condition holds, for at most two minutes.
int KillWhen(const std::wstring& when, size_t count) {
  std::vector<BYTE> buffer;
  bool fewerThanHalf = false;
  size_t all = 0, others = 0;
  if (AllPrinters(buffer, all)) others = all - ProductPrinters(buffer);
  Out("watching");
  DWORD started = GetTickCount();
  while (!InstallerRunning() && GetTickCount() - started < 120000) Sleep(1);
  for (int polls = 1; GetTickCount() - started < 120000; polls++) {
    DWORD before = GetTickCount();
    if (!AllPrinters(buffer, all)) continue;
    size_t now = all > others ? all - others : 0;
    if (polls % 20 == 1)
      Out("poll " + std::to_string(polls) + ": " + std::to_string(now) + " in " +
          std::to_string(GetTickCount() - before) + " ms");
    fewerThanHalf = fewerThanHalf || now < (count + 1) / 2;
    bool due = when == L"first-gone" ? now < count : fewerThanHalf && now >= (count + 1) / 2;
    if (due) return Out(KillInstaller() ? "killed at " + std::to_string(now) : "not killed: no orvinst.exe"), 0;
  }
  return Out("not killed: the condition never held"), 0;
}
#endif

}  // namespace

#ifdef E2E_SPOOLER
int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"query") return Query(argc - 2, argv + 2), 0;
  if (argc == 4 && std::wstring(argv[1]) == L"kill-when") return KillWhen(argv[2], Number(argv[3]));
  for (int i = 1; i < argc; i++)
    if (!Seed(argv[i])) return 1;
  return 0;
}
#else
int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--report") return ReportOwnStation();
  Options o = Parse(argc, argv);
  wchar_t self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (o.probe) o.program = self, o.commandLine = L"\"" + std::wstring(self) + L"\" --report";
  if (o.program.empty()) return 2;
  // The desktop belongs to the station the process is connected to when it is made.
  HWINSTA station = nullptr, own = GetProcessWindowStation();
  HDESK desktop = nullptr;
  std::wstring name = L"OrvE2EStation\\OrvE2EDesktop";
  if (o.station) {
    station = CreateWindowStationW(L"OrvE2EStation", 0, WINSTA_ALL_ACCESS, nullptr);
    if (station != nullptr && SetProcessWindowStation(station))
      desktop = CreateDesktopW(L"OrvE2EDesktop", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    if (desktop == nullptr) return Out("FAILED making the window station: error " + std::to_string(GetLastError())), 1;
  }
  if (o.shift) SendShift(true);
  bool started = RunProgram(o, o.station ? &name[0] : nullptr);
  if (o.shift) SendShift(false);
  if (desktop != nullptr) CloseDesktop(desktop), CloseWindowStation(station);
  return started ? 0 : 1;
}
#endif
