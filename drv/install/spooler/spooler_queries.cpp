#include "spooler/spooler_queries.h"

#include <cstddef>

#include "app/install_context.h"
#include "app/install_log.h"
#include "text/wide_text.h"

const WCHAR kOwnMonitorName[] = W("Orvandelle:");
const WCHAR kOwnDriverName[] = W("Orvandelle printer");
const char kUserWindowsKey[] = "\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const WCHAR kUserDeviceValue[] = W("Device");

namespace {

const DWORD kUsEnglish = 1033;
const SIZE_T kSnapshotSlack = 32;
const DWORD kDefaultNameCapacity = 255;
const WCHAR kSizeQueryEnvironment[] = W("Windows x64");
const char kUserSidPrefix[] = "S-1-5-21-";
const char kClassesSuffix[] = "_Classes";

// How a two-call query ended.
enum QueryStep { kFilled, kNothingToList, kSizeQueryFailed, kNoMemory, kSecondCallFailed };

struct QueryOutcome {
  QueryStep step;
  DWORD error;   // the spooler's last error when one of its calls failed
  DWORD needed;  // the size the spooler asked for
};

// The size query, the zero-filled block (with `extraBytes` the spooler is not told of) and the
// second call, which every query shares. `ask` makes the spooler call with a buffer, its size
// and the two out-values; a list's count is the second call's number of entries. On kNoMemory
// the caller sets E_OUTOFMEMORY, after any log line of its own.
template <typename Ask>
QueryOutcome AskTwice(Ask ask, bool isList, SIZE_T extraBytes, BYTE*& buffer, DWORD& count) {
  DWORD needed = 0;
  DWORD returned = 0;
  BOOL sized = ask(nullptr, 0, &needed, &returned);
  DWORD error = GetLastError();
  if (isList && sized) return QueryOutcome{kNothingToList, 0, needed};
  if (error != ERROR_INSUFFICIENT_BUFFER) return QueryOutcome{kSizeQueryFailed, error, needed};
  auto* block = static_cast<BYTE*>(AllocateZeroed(static_cast<SIZE_T>(needed) + extraBytes));
  if (block == nullptr) return QueryOutcome{kNoMemory, 0, needed};
  if (!ask(block, needed, &needed, &returned)) {
    error = GetLastError();
    GlobalFree(block);
    return QueryOutcome{kSecondCallFailed, error, needed};
  }
  buffer = block;
  count = returned;
  return QueryOutcome{kFilled, 0, needed};
}

void SetOutOfMemoryError(const QueryOutcome& outcome) {
  if (outcome.step == kNoMemory) SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
}

// `format` takes the system's text for `error` as it is given, line break included.
void LogWithSystemText(InstallContext& context, const WCHAR* format, DWORD error) {
  WCHAR* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                nullptr, error, kUsEnglish, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  LogLine(context, format, length != 0 && text != nullptr ? text : W("No Error or no description"));
  if (text != nullptr) LocalFree(text);
}

void LogMonitorQuery(InstallContext& context, const QueryOutcome& outcome) {
  switch (outcome.step) {
    case kNothingToList:
      LogLine(context, W("1. EnumMonitors returns true"));
      break;
    case kSizeQueryFailed:
      LogWithSystemText(context, W("2. EnumMonitors  failed with code: %s"), outcome.error);
      break;
    case kNoMemory:
      LogLine(context, W("3. EnumMonitors - can't allocate memory for buffer"));
      break;
    case kSecondCallFailed:
      LogWithSystemText(context, W("3. EnumMonitors  failed with code: %s"), outcome.error);
      break;
    case kFilled:
      break;
  }
}

// Where an entry of a list level ends and where its name lies; a size of 0 for a level the
// installer cannot read.
struct EntryShape {
  size_t size;
  size_t nameOffset;
};

EntryShape MonitorShape(DWORD level) {
  switch (level) {
    case 1: return EntryShape{sizeof(MONITOR_INFO_1W), offsetof(MONITOR_INFO_1W, pName)};
    case 2: return EntryShape{sizeof(MONITOR_INFO_2W), offsetof(MONITOR_INFO_2W, pName)};
    default: return EntryShape{0, 0};
  }
}

EntryShape DriverShape(DWORD level) {
  switch (level) {
    case 1: return EntryShape{sizeof(DRIVER_INFO_1W), offsetof(DRIVER_INFO_1W, pName)};
    case 2: return EntryShape{sizeof(DRIVER_INFO_2W), offsetof(DRIVER_INFO_2W, pName)};
    case 3: return EntryShape{sizeof(DRIVER_INFO_3W), offsetof(DRIVER_INFO_3W, pName)};
    case 4: return EntryShape{sizeof(DRIVER_INFO_4W), offsetof(DRIVER_INFO_4W, pName)};
    case 5: return EntryShape{sizeof(DRIVER_INFO_5W), offsetof(DRIVER_INFO_5W, pName)};
    case 6: return EntryShape{sizeof(DRIVER_INFO_6W), offsetof(DRIVER_INFO_6W, pName)};
    default: return EntryShape{0, 0};
  }
}

const WCHAR* EntryName(const BYTE* buffer, const EntryShape& shape, DWORD index) {
  return *reinterpret_cast<const WCHAR* const*>(buffer + index * shape.size + shape.nameOffset);
}

// The first entry whose name is `name` exactly (terminator included); an entry without a name
// never matches.
int32_t FindEntry(const BYTE* buffer, DWORD count, const EntryShape& shape, const WCHAR* name) {
  if (buffer == nullptr || shape.size == 0) return -1;
  for (DWORD i = 0; i < count; i++) {
    const WCHAR* entryName = EntryName(buffer, shape, i);
    if (entryName != nullptr && TextEquals(entryName, name)) return static_cast<int32_t>(i);
  }
  return -1;
}

}  // namespace

void EnumMonitorList(MonitorList& list, InstallContext& context) {
  list.level = 2;
  list.buffer = nullptr;
  list.count = 0;
  auto ask = [](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
    return EnumMonitorsW(nullptr, 2, buffer, size, needed, returned);
  };
  QueryOutcome outcome = AskTwice(ask, true, 0, list.buffer, list.count);
  LogMonitorQuery(context, outcome);
  SetOutOfMemoryError(outcome);
}

int32_t FindOwnMonitor(const MonitorList& list) {
  return FindEntry(list.buffer, list.count, MonitorShape(list.level), kOwnMonitorName);
}

void LogMonitorList(InstallContext& context, const MonitorList& list) {
  LogLine(context, W("------- %d existing monitors ----------"), static_cast<int32_t>(list.count));
  EntryShape shape = MonitorShape(list.level);
  for (DWORD i = 0; i < list.count; i++) {
    const WCHAR* name = list.buffer != nullptr && shape.size != 0 ? EntryName(list.buffer, shape, i) : nullptr;
    LogLine(context, W("%d. %s"), static_cast<int32_t>(i + 1), name != nullptr ? name : W("***EMPTY***"));
  }
  LogLine(context, W("---------------------------------------"));
}

void FreeMonitorList(MonitorList& list) {
  if (list.buffer != nullptr) GlobalFree(list.buffer);
  list.buffer = nullptr;
  list.count = 0;
}

void EnumDriverList(DriverList& list, const WCHAR* environment) {
  list.level = 6;
  list.buffer = nullptr;
  list.count = 0;
  auto ask = [environment](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
    return EnumPrinterDriversW(nullptr, const_cast<WCHAR*>(environment), 6, buffer, size, needed, returned);
  };
  SetOutOfMemoryError(AskTwice(ask, true, 0, list.buffer, list.count));
}

int32_t FindOwnDriver(const DriverList& list) {
  return FindEntry(list.buffer, list.count, DriverShape(list.level), kOwnDriverName);
}

void FreeDriverList(DriverList& list) {
  if (list.buffer != nullptr) GlobalFree(list.buffer);
  list.buffer = nullptr;
  list.count = 0;
}

void SnapshotPrinters(PrinterSnapshot& snapshot) {
  FreePrinterSnapshot(snapshot);
  auto ask = [](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
    return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, buffer, size, needed, returned);
  };
  SetOutOfMemoryError(AskTwice(ask, true, kSnapshotSlack, snapshot.buffer, snapshot.count));
}

void FreePrinterSnapshot(PrinterSnapshot& snapshot) {
  if (snapshot.buffer != nullptr) GlobalFree(snapshot.buffer);
  snapshot.buffer = nullptr;
  snapshot.count = 0;
}

PRINTER_INFO_2W* SnapshotEntry(const PrinterSnapshot& snapshot, DWORD index) {
  if (snapshot.buffer == nullptr || index >= snapshot.count) return nullptr;
  return reinterpret_cast<PRINTER_INFO_2W*>(snapshot.buffer) + index;
}

// Windows marks every connection so, whatever the server says of its queue.
bool IsPrinterConnection(const PRINTER_INFO_2W& entry) { return (entry.Attributes & PRINTER_ATTRIBUTE_NETWORK) != 0; }

// A connection is another machine's queue: never the product's to carry over.
bool IsOwnLocalPrinter(const PRINTER_INFO_2W& entry) {
  return TextEquals(entry.pDriverName, kOwnDriverName) && !IsPrinterConnection(entry);
}

PRINTER_INFO_2W* OwnPrinterNamed(const PrinterSnapshot& snapshot, const WCHAR* name) {
  for (DWORD i = 0; i < snapshot.count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(snapshot, i);
    if (IsOwnLocalPrinter(*entry) && TextEquals(entry->pPrinterName, name)) return entry;
  }
  return nullptr;
}

// `first` and `second` joined into `to`, which holds `capacity` bytes; cut to fit.
void JoinAnsi(char* to, DWORD capacity, const char* first, const char* second) {
  DWORD n = 0;
  for (; *first != 0 && n + 1 < capacity; first++) to[n++] = *first;
  for (; *second != 0 && n + 1 < capacity; second++) to[n++] = *second;
  to[n] = 0;
}

bool InServicesSession() {
  DWORD session = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

namespace {

bool StartsWith(const char* text, const char* prefix) {
  for (; *prefix != 0; text++, prefix++)
    if (*text != *prefix) return false;
  return true;
}

bool EndsWith(const char* text, const char* suffix) {
  int length = lstrlenA(text);
  int tail = lstrlenA(suffix);
  return length >= tail && StartsWith(text + length - tail, suffix);
}

// The name a user's "Device" value gives, up to its first comma; empty when there is none.
void ReadUserDefault(const char* sid, WCHAR* name, DWORD capacity) {
  name[0] = 0;
  char path[kUserKeyPathChars];
  JoinAnsi(path, sizeof(path), sid, kUserWindowsKey);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_USERS, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  DWORD type = 0;
  DWORD bytes = (capacity - 1) * sizeof(WCHAR);
  LONG read = RegQueryValueExW(key, kUserDeviceValue, nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS || type != REG_SZ) name[0] = 0;
  name[capacity - 1] = 0;
  for (WCHAR* c = name; *c != 0; c++)
    if (*c == ',') *c = 0;
}

// Each logged-on user whose default printer is a local product printer of the snapshot.
void NoteUserDefaults(InstallContext& context) {
  char sid[kUserSidChars];
  WCHAR name[kDefaultNameCapacity + 32];
  for (DWORD index = 0; NextUserHive(index, sid);) {
    ReadUserDefault(sid, name, kDefaultNameCapacity + 32);
    PRINTER_INFO_2W* entry = name[0] != 0 ? OwnPrinterNamed(context.Printers, name) : nullptr;
    if (entry == nullptr) continue;
    auto* node = static_cast<UserDefault*>(AllocateZeroed(sizeof(UserDefault)));
    if (node == nullptr) return;
    JoinAnsi(node->Sid, kUserSidChars, sid, "");
    node->Entry = entry;
    node->Next = context.UserDefaults;
    context.UserDefaults = node;
  }
}

}  // namespace

// A user's own hive, not the "_Classes" one beside it.
bool NextUserHive(DWORD& index, char* sid) {
  for (;; index++) {
    DWORD chars = kUserSidChars;
    if (RegEnumKeyExA(HKEY_USERS, index, sid, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return false;
    if (StartsWith(sid, kUserSidPrefix) && !EndsWith(sid, kClassesSuffix)) {
      index++;
      return true;
    }
  }
}

void MarkDefaultPrinter(InstallContext& context) {
  SnapshotPrinters(context.Printers);
  if (InServicesSession()) NoteUserDefaults(context);
  WCHAR name[kDefaultNameCapacity] = {0};
  DWORD capacity = kDefaultNameCapacity;
  if (!SpoolerGetDefaultPrinterW(name, &capacity)) return;
  for (DWORD i = 0; i < context.Printers.count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    if (entry->pPrinterName != nullptr && TextEquals(entry->pPrinterName, name))
      entry->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  }
}

void GetPrinterInfo2(PrinterInfo2& info, HANDLE printer) {
  info.buffer = nullptr;
  info.size = 0;
  auto ask = [printer](BYTE* buffer, DWORD size, DWORD* needed, DWORD*) {
    return GetPrinterW(printer, 2, buffer, size, needed);
  };
  DWORD unused = 0;
  QueryOutcome outcome = AskTwice(ask, false, 0, info.buffer, unused);
  if (outcome.step == kFilled) info.size = outcome.needed;
  SetOutOfMemoryError(outcome);
}

// The size query names the 64-bit environment; the second call names none, so the spooler takes
// the calling process's own, which for this 64-bit program is the same.
BYTE* GetDriverInfo2(HANDLE printer) {
  BYTE* buffer = nullptr;
  auto ask = [printer](BYTE* block, DWORD size, DWORD* needed, DWORD*) {
    WCHAR* environment = block == nullptr ? const_cast<WCHAR*>(kSizeQueryEnvironment) : nullptr;
    return GetPrinterDriverW(printer, environment, 2, block, size, needed);
  };
  DWORD unused = 0;
  SetOutOfMemoryError(AskTwice(ask, false, 0, buffer, unused));
  return buffer;
}

BOOL ClosePrinterHandle(HANDLE printer) { return ClosePrinter(printer); }
