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

// The spooling options an administrator sets on a queue; sharing is restored on its own, since
// the spooler may refuse it (a share name taken meanwhile, a machine that no longer shares).
const DWORD kSpoolingAttributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT |
                                  PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST |
                                  PRINTER_ATTRIBUTE_ENABLE_BIDI;

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

// A node at the head of the list, owning a copy of the key (none for a printer that is not to
// be re-created); null when memory ran out.
SavedPrinter* Remember(InstallContext& context, PRINTER_INFO_2W& entry, const char* settingsKey) {
  auto* node = static_cast<SavedPrinter*>(AllocateZeroed(sizeof(SavedPrinter)));
  if (node == nullptr) return nullptr;
  if (settingsKey != nullptr) {
    DWORD bytes = AnsiLength(settingsKey) + 1;
    node->SettingsKey = static_cast<char*>(AllocateZeroed(bytes));
    if (node->SettingsKey == nullptr) {
      GlobalFree(node);
      return nullptr;
    }
    CopyBytes(node->SettingsKey, settingsKey, bytes);
  }
  node->Entry = &entry;
  node->Next = context.SavedPrinters;
  context.SavedPrinters = node;
  return node;
}

// Whether the printer a node carries over was the user's default: the one found on the machine,
// or the one the record brings back.
bool IsDefaultOf(const UserDefault& user, const SavedPrinter& saved) {
  return user.Entry == saved.Entry || (saved.Found != nullptr && user.Entry == saved.Found);
}

// Whether a node deals with the snapshot entry already: it was looked at, or recorded.
bool Handled(const InstallContext& context, const PRINTER_INFO_2W* entry) {
  for (const SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next)
    if (saved->Found == entry || saved->Entry == entry) return true;
  return false;
}

bool ToDelete(const InstallContext& context, const PRINTER_INFO_2W* entry) {
  for (const SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next)
    if (saved->Found == entry) return true;
  return false;
}

// Every product printer not dealt with yet is looked at: its settings key read, the printer
// remembered for deletion and, with a key, for re-creation.
void SaveProductPrinters(InstallContext& context) {
  for (DWORD i = 0; i < context.Printers.count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    if (IsOwnLocalPrinter(*entry) && !Handled(context, entry)) SavePrinterSettingsKey(context, *entry);
  }
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

bool Shared(const PRINTER_INFO_2W& entry) {
  return (entry.Attributes & PRINTER_ATTRIBUTE_SHARED) != 0 && TextLength(entry.pShareName) != 0;
}

// What an administrator set on the deleted queue, put on the new one's record. Port, driver,
// print processor and device mode stay the new printer's: the device mode belongs to the driver,
// whose layout may change between builds.
void PutDescription(PRINTER_INFO_2W& record, const PRINTER_INFO_2W& entry) {
  record.pComment = entry.pComment;
  record.pLocation = entry.pLocation;
}

void PutQueueSettings(PRINTER_INFO_2W& record, const PRINTER_INFO_2W& entry, bool shared) {
  PutDescription(record, entry);
  record.pSepFile = entry.pSepFile;
  record.pSecurityDescriptor = entry.pSecurityDescriptor;
  record.Priority = entry.Priority;
  record.DefaultPriority = entry.DefaultPriority;
  record.StartTime = entry.StartTime;
  record.UntilTime = entry.UntilTime;
  DWORD own = record.Attributes & ~(kSpoolingAttributes | PRINTER_ATTRIBUTE_SHARED);
  record.Attributes = own | (entry.Attributes & kSpoolingAttributes) | (shared ? PRINTER_ATTRIBUTE_SHARED : 0);
  record.pShareName = entry.pShareName;
}

// The spooler refused the settings: the queue is kept with what it takes, and the log names
// what was lost, because the clients of the queue lose their printer or its permissions.
void RestoreWhatIsTaken(InstallContext& context, HANDLE printer, PRINTER_INFO_2W& record,
                        const PRINTER_INFO_2W& fresh, const PRINTER_INFO_2W& entry) {
  DWORD refused = GetLastError();
  const WCHAR* name = NameOrStar(entry.pPrinterName);
  if (Shared(entry)) {
    PutQueueSettings(record, entry, false);
    if (SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(&record), 0)) {
      LogLine(context, W("Printer '%s' is no longer shared as '%s'"), name, entry.pShareName);
      SetLastError(refused);
      ReportError(context, 22, name);
      return;
    }
  }
  record = fresh;
  PutDescription(record, entry);
  SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(&record), 0);
  LogLine(context,
          W("Sharing, permissions, priorities, separator page, hours and spooling options of printer '%s' "
            "are not restored"),
          name);
  SetLastError(refused);
  ReportError(context, 22, name);
}

// Comment, location, queue settings and default status of the deleted printer, put on its
// namesake.
void RestoreSettings(InstallContext& context, HANDLE printer, const PRINTER_INFO_2W& entry) {
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  if (info.buffer == nullptr) return;
  auto* record = reinterpret_cast<PRINTER_INFO_2W*>(info.buffer);
  const PRINTER_INFO_2W fresh = *record;
  PutQueueSettings(*record, entry, Shared(entry));
  if (!SetPrinterW(printer, 2, info.buffer, 0)) RestoreWhatIsTaken(context, printer, *record, fresh, entry);
  if (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT) SpoolerSetDefaultPrinterW(record->pPrinterName);
  GlobalFree(info.buffer);
}

// Each logged-on user whose default the deleted printer was gets its namesake back as default,
// in that user's own setting: SetDefaultPrinter would set the calling account's (SYSTEM's).
void RestoreUserDefaults(const InstallContext& context, const SavedPrinter& saved) {
  const PRINTER_INFO_2W& entry = *saved.Entry;
  for (const UserDefault* user = context.UserDefaults; user != nullptr; user = user->Next) {
    if (!IsDefaultOf(*user, saved)) continue;
    char path[kUserKeyPathChars];
    JoinAnsi(path, sizeof(path), user->Sid, kUserWindowsKey);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) continue;
    WideText device = {nullptr};
    Assign(device, entry.pPrinterName);
    Append(device, kDevicePort);
    DWORD bytes = static_cast<DWORD>((Length(device) + 1) * sizeof(WCHAR));
    // A name without its port, for lack of memory, is no setting the user's session could read.
    if (Length(device) == TextLength(entry.pPrinterName) + TextLength(kDevicePort))
      RegSetValueExW(key, kUserDeviceValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(Chars(device)), bytes);
    ReleaseText(device);
    RegCloseKey(key);
  }
}

// True when the printer was re-created, whatever became of its settings.
bool RestoreOnePrinter(InstallContext& context, const SavedPrinter& saved) {
  HANDLE printer = AddOwnPrinter(context, saved.Entry->pPrinterName);
  if (printer == nullptr) return false;
  if (WriteSubKey(printer, saved.SettingsKey)) ClearMarkOfKeyReadBack(printer);
  RestoreSettings(context, printer, *saved.Entry);
  RestoreUserDefaults(context, saved);
  ClosePrinter(printer);
  return true;
}


// --- The record of the printers being carried over -------------------------------------------
// Written and flushed before the first printer is deleted and read by every install first, so
// that an install that dies, or cannot add the driver, leaves the next one every printer it was
// carrying over. Machine-wide: the next install may run under another account. One REG_BINARY
// value per printer, named after it: mark, flags, attributes, priority, default priority, start
// and until time (DWORDs), then the counted settings key (8-bit), comment, location, share name,
// separator file (UTF-16, no terminator), security descriptor (self-relative), and the SIDs of
// the logged-on users whose default printer it is (8-bit, each ended by ';'): a printer deleted
// by a run as SYSTEM that died is the default of nobody any more, and only the record knows whose
// it was.
const char kRecordKey[] = "SOFTWARE\\Corvane\\Orvandelle\\Carried printers";
const DWORD kRecordMark = 0x32435652;  // "RVC2": this layout
const char kUserEnd = ';';
const DWORD kRecordDefault = 1;
const int kRecordNumbers = 7;
const int kRecordTexts = 4;
const DWORD kLongestName = 260;
const DWORD kSecurityHeader = 20;
const DWORD kLargestSecurity = 0x10000;
const REGSAM kRecordAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

DWORD DwordAt(const BYTE* at) {
  return DWORD(at[0]) | DWORD(at[1]) << 8 | DWORD(at[2]) << 16 | DWORD(at[3]) << 24;
}

// The length of a self-relative security descriptor whose parts all lie within `limit` bytes;
// 0 for none or anything else.
DWORD SecurityLength(const BYTE* sd, DWORD limit) {
  const WORD kSelfRelative = 0x8000;
  if (sd == nullptr || limit < kSecurityHeader || sd[0] != 1 || !((sd[2] | sd[3] << 8) & kSelfRelative)) return 0;
  DWORD end = kSecurityHeader;
  for (int part = 0; part < 4; part++) {
    DWORD offset = DwordAt(sd + 4 + 4 * part);
    if (offset == 0) continue;
    if (offset < kSecurityHeader || offset > limit - 4) return 0;
    // The owner and group are SIDs; the SACL and DACL are ACLs with their size in them.
    DWORD size = part < 2 ? 8 + 4 * DWORD(sd[offset + 1]) : DWORD(sd[offset + 2] | sd[offset + 3] << 8);
    if (size > limit - offset) return 0;
    if (offset + size > end) end = offset + size;
  }
  return end;
}

struct Counted {
  const BYTE* bytes;
  DWORD size;
};

// Writes a record into `block`, or only measures it while `block` is null.
struct RecordWriter {
  BYTE* block;
  DWORD at;
  void Put(const void* from, DWORD bytes) {
    if (block != nullptr && bytes != 0)
      CopyBytes(reinterpret_cast<char*>(block + at), static_cast<const char*>(from), bytes);
    at += bytes;
  }
  void PutDword(DWORD value) { Put(&value, sizeof(value)); }
  void PutCounted(const void* from, DWORD bytes) {
    PutDword(bytes);
    Put(from, bytes);
  }
};

void PutUsers(RecordWriter& out, const InstallContext& context, const SavedPrinter& saved) {
  DWORD bytes = 0;
  for (const UserDefault* user = context.UserDefaults; user != nullptr; user = user->Next)
    if (IsDefaultOf(*user, saved)) bytes += AnsiLength(user->Sid) + 1;
  out.PutDword(bytes);
  for (const UserDefault* user = context.UserDefaults; user != nullptr; user = user->Next)
    if (IsDefaultOf(*user, saved)) {
      out.Put(user->Sid, AnsiLength(user->Sid));
      out.Put(&kUserEnd, 1);
    }
}

void PutRecord(RecordWriter& out, const InstallContext& context, const SavedPrinter& saved) {
  const PRINTER_INFO_2W& entry = *saved.Entry;
  DWORD flags = (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT) ? kRecordDefault : 0;
  const DWORD numbers[kRecordNumbers] = {kRecordMark, flags, entry.Attributes, entry.Priority,
                                         entry.DefaultPriority, entry.StartTime, entry.UntilTime};
  for (DWORD number : numbers) out.PutDword(number);
  out.PutCounted(saved.SettingsKey, AnsiLength(saved.SettingsKey));
  const WCHAR* texts[kRecordTexts] = {entry.pComment, entry.pLocation, entry.pShareName, entry.pSepFile};
  for (const WCHAR* text : texts) out.PutCounted(text, static_cast<DWORD>(TextLength(text) * sizeof(WCHAR)));
  auto* security = static_cast<const BYTE*>(entry.pSecurityDescriptor);
  out.PutCounted(security, SecurityLength(security, kLargestSecurity));
  PutUsers(out, context, saved);
}

// Reads a record's parts; `whole` goes false at the first that does not fit.
struct RecordReader {
  const BYTE* data;
  DWORD size;
  DWORD at;
  bool whole;
  DWORD Dword() {
    if (size - at < sizeof(DWORD)) return whole = false, 0;
    at += sizeof(DWORD);
    return DwordAt(data + at - sizeof(DWORD));
  }
  Counted Part() {
    DWORD bytes = Dword();
    if (!whole || bytes > size - at) return whole = false, Counted{nullptr, 0};
    at += bytes;
    return Counted{data + at - bytes, bytes};
  }
};

struct RecordFields {
  DWORD numbers[kRecordNumbers];
  Counted key;
  Counted texts[kRecordTexts];
  Counted security;
  Counted users;
};

// SIDs, each ended by ';' and shorter than a user's SID may be.
bool UsersWhole(const Counted& users) {
  if (users.size != 0 && users.bytes[users.size - 1] != kUserEnd) return false;
  for (DWORD i = 0, length = 0; i < users.size; i++) {
    if (users.bytes[i] == 0 || ++length >= kUserSidChars) return false;
    if (users.bytes[i] == kUserEnd) length = 0;
  }
  return true;
}

// A record cut short, lengthened, or edited by hand into something this installer did not
// write is damaged: false.
bool ReadFields(const BYTE* data, DWORD size, RecordFields& fields) {
  RecordReader in{data, size, 0, true};
  for (DWORD& number : fields.numbers) number = in.Dword();
  fields.key = in.Part();
  for (Counted& text : fields.texts) text = in.Part();
  fields.security = in.Part();
  fields.users = in.Part();
  if (!in.whole || in.at != size || fields.numbers[0] != kRecordMark || !UsersWhole(fields.users)) return false;
  if (fields.key.size == 0 || fields.key.size >= kSettingsKeyBytes) return false;
  for (DWORD i = 0; i < fields.key.size; i++)
    if (fields.key.bytes[i] == 0) return false;
  for (const Counted& text : fields.texts)
    if (text.size % sizeof(WCHAR) != 0) return false;
  DWORD security = fields.security.size;
  return security == 0 || SecurityLength(fields.security.bytes, security) == security;
}

WCHAR* PlaceText(BYTE*& at, const void* from, DWORD bytes) {
  CopyBytes(reinterpret_cast<char*>(at), static_cast<const char*>(from), bytes);
  auto* text = reinterpret_cast<WCHAR*>(at);
  at += bytes + sizeof(WCHAR);  // the block is zeroed: the terminator is there
  return text;
}

// The recorded printer as one owned block: the record of its re-creation, its texts behind it.
BYTE* CopyRecord(const WCHAR* name, const RecordFields& fields) {
  DWORD nameBytes = static_cast<DWORD>(TextLength(name) * sizeof(WCHAR));
  DWORD securityRoom = (fields.security.size + 7) & ~DWORD(7);
  DWORD bytes = sizeof(PRINTER_INFO_2W) + securityRoom + nameBytes + sizeof(WCHAR);
  for (const Counted& text : fields.texts) bytes += text.size + sizeof(WCHAR);
  auto* block = static_cast<BYTE*>(AllocateZeroed(bytes));
  if (block == nullptr) return nullptr;
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block);
  BYTE* at = block + sizeof(PRINTER_INFO_2W);
  if (fields.security.size != 0) info->pSecurityDescriptor = at;
  CopyBytes(reinterpret_cast<char*>(at), reinterpret_cast<const char*>(fields.security.bytes), fields.security.size);
  at += securityRoom;
  info->pPrinterName = PlaceText(at, name, nameBytes);
  info->pDriverName = const_cast<WCHAR*>(kOwnDriverName);
  info->pComment = PlaceText(at, fields.texts[0].bytes, fields.texts[0].size);
  info->pLocation = PlaceText(at, fields.texts[1].bytes, fields.texts[1].size);
  WCHAR* share = PlaceText(at, fields.texts[2].bytes, fields.texts[2].size);
  info->pShareName = fields.texts[2].size != 0 ? share : nullptr;  // as the spooler reports none
  info->pSepFile = PlaceText(at, fields.texts[3].bytes, fields.texts[3].size);
  info->Attributes = fields.numbers[2] & ~DWORD(PRINTER_ATTRIBUTE_DEFAULT);
  if (fields.numbers[1] & kRecordDefault) info->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  info->Priority = fields.numbers[3];
  info->DefaultPriority = fields.numbers[4];
  info->StartTime = fields.numbers[5];
  info->UntilTime = fields.numbers[6];
  return block;
}

// A damaged value stays where it is, for whoever looks into it; the printer it names comes back
// only when it is on the machine, whose settings then replace the value.
void ReportDamaged(InstallContext& context, const WCHAR* name) {
  SetLastError(ERROR_INVALID_DATA);
  ReportError(context, 24, name);
  LogLine(context, W("It stays recorded; printer '%s' is carried over only if it is on the machine"), name);
}

bool SameAnsi(const char* a, const char* b) {
  while (*a != 0 && *a == *b) a++, b++;
  return *a == *b;
}

// The users whose default a recorded printer was have it as theirs again, whatever their setting
// says now: the spooler chose another, or none, when the printer went.
void TakeRecordedUsers(InstallContext& context, const Counted& users, PRINTER_INFO_2W& recorded) {
  for (DWORD start = 0; start < users.size;) {
    char sid[kUserSidChars];
    ClearBytes(sid, kUserSidChars);
    DWORD end = start;
    while (users.bytes[end] != kUserEnd) end++;
    CopyBytes(sid, reinterpret_cast<const char*>(users.bytes + start), end - start);
    start = end + 1;
    for (UserDefault** link = &context.UserDefaults; *link != nullptr;) {
      UserDefault* user = *link;
      if (!SameAnsi(user->Sid, sid)) {
        link = &user->Next;
        continue;
      }
      *link = user->Next;
      GlobalFree(user);
    }
    auto* node = static_cast<UserDefault*>(AllocateZeroed(sizeof(UserDefault)));
    if (node == nullptr) return;
    CopyBytes(node->Sid, sid, kUserSidChars);
    node->Entry = &recorded;
    node->Next = context.UserDefaults;
    context.UserDefaults = node;
  }
}

// One recorded printer carried over as if it had been found on the machine, with the recorded
// settings; false when memory ran out.
bool TakeRecorded(InstallContext& context, const WCHAR* name, DWORD type, const BYTE* data, DWORD size) {
  RecordFields fields;
  if (type != REG_BINARY || data == nullptr || !ReadFields(data, size, fields)) {
    ReportDamaged(context, name);
    return true;
  }
  char settingsKey[kSettingsKeyBytes];
  ClearBytes(settingsKey, kSettingsKeyBytes);
  CopyBytes(settingsKey, reinterpret_cast<const char*>(fields.key.bytes), fields.key.size);
  BYTE* block = CopyRecord(name, fields);
  auto* recorded = reinterpret_cast<PRINTER_INFO_2W*>(block);
  SavedPrinter* saved = block != nullptr ? Remember(context, *recorded, settingsKey) : nullptr;
  if (saved == nullptr) {
    if (block != nullptr) GlobalFree(block);
    return false;
  }
  saved->RecordCopy = block;
  saved->InRecord = 1;
  saved->Found = OwnPrinterNamed(context.Printers, name);
  TakeRecordedUsers(context, fields.users, *recorded);
  return true;
}

// The value at `index`: ERROR_SUCCESS when it was taken or reported, else what stopped it.
LONG ReadRecorded(InstallContext& context, HKEY key, DWORD index) {
  WCHAR name[kLongestName + 1];
  DWORD chars = kLongestName + 1, type = 0, size = 0;
  LONG status = RegEnumValueW(key, index, name, &chars, nullptr, &type, nullptr, &size);
  if (status == ERROR_MORE_DATA) return ReportDamaged(context, W("*")), ERROR_SUCCESS;  // no printer's name
  if (status != ERROR_SUCCESS) return status;
  BYTE* data = size != 0 ? static_cast<BYTE*>(AllocateZeroed(size)) : nullptr;
  if (size != 0 && data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  chars = kLongestName + 1;
  status = RegEnumValueW(key, index, name, &chars, nullptr, &type, data, &size);
  if (status == ERROR_SUCCESS && !TakeRecorded(context, name, type, data, size)) status = ERROR_NOT_ENOUGH_MEMORY;
  if (data != nullptr) GlobalFree(data);
  return status;
}

// False, with the reason logged, when the record is there and cannot be read whole.
bool ReadCarriedPrinters(InstallContext& context) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  for (DWORD index = 0; status == ERROR_SUCCESS; index++) status = ReadRecorded(context, key, index);
  if (key != nullptr) RegCloseKey(key);
  if (status == ERROR_NO_MORE_ITEMS) return true;
  LogLine(context, W("The printers still to carry over cannot be read, so none is deleted"));
  SetLastError(static_cast<DWORD>(status));
  ReportError(context, 23);
  return false;
}

// False when the record could not take the printer; the last error says why.
bool RecordOne(HKEY key, const InstallContext& context, const SavedPrinter& saved) {
  RecordWriter measured{nullptr, 0};
  PutRecord(measured, context, saved);
  RecordWriter out{static_cast<BYTE*>(AllocateZeroed(measured.at)), 0};
  if (out.block == nullptr) return false;
  PutRecord(out, context, saved);
  LONG written = RegSetValueExW(key, saved.Entry->pPrinterName, 0, REG_BINARY, out.block, out.at);
  GlobalFree(out.block);
  SetLastError(static_cast<DWORD>(written));
  return written == ERROR_SUCCESS;
}

bool NotRecorded(const SavedPrinter& saved) { return saved.SettingsKey != nullptr && !saved.InRecord; }
bool Recorded(const SavedPrinter& saved) { return saved.InRecord != 0; }

bool AnySaved(const InstallContext& context, bool (*test)(const SavedPrinter&)) {
  for (const SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next)
    if (test(*saved)) return true;
  return false;
}

// What this run wrote goes again when it cannot all be kept: it would stand for printers that
// are still on the machine, and win over their settings at the next install.
void TakeBackRecorded(InstallContext& context, HKEY key) {
  for (SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next) {
    if (!saved->InRecord || saved->RecordCopy != nullptr) continue;
    RegDeleteValueW(key, saved->Entry->pPrinterName);
    saved->InRecord = 0;
  }
}

// Every printer to delete and re-create written down and flushed; false, with the reason
// logged and nothing of this run left in the record, when that failed.
bool WriteCarriedPrinters(InstallContext& context) {
  if (!AnySaved(context, NotRecorded)) return true;
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE, kRecordAccess,
                                nullptr, &key, nullptr);
  for (SavedPrinter* saved = context.SavedPrinters; status == ERROR_SUCCESS && saved != nullptr; saved = saved->Next) {
    if (!NotRecorded(*saved)) continue;
    if (!RecordOne(key, context, *saved)) status = static_cast<LONG>(GetLastError());
    saved->InRecord = status == ERROR_SUCCESS;
  }
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  if (status != ERROR_SUCCESS && key != nullptr) TakeBackRecorded(context, key);
  if (key != nullptr) RegCloseKey(key);
  if (status == ERROR_SUCCESS) return true;
  LogLine(context, W("The printers to carry over cannot be written down, so none is deleted"));
  SetLastError(static_cast<DWORD>(status));
  ReportError(context, 23);
  return false;
}

// The record opened to take re-created printers out of it; null when none of this install's
// printers is in it.
HKEY OpenRecord(const InstallContext& context) {
  if (!AnySaved(context, Recorded)) return nullptr;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, kRecordAccess, &key) != ERROR_SUCCESS) key = nullptr;
  return key;
}

// The record goes once nothing waits in it, damaged values included.
void CloseRecord(HKEY key) {
  if (key == nullptr) return;
  WCHAR name[kLongestName + 1];
  DWORD chars = kLongestName + 1;
  bool empty = RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_NO_MORE_ITEMS;
  RegCloseKey(key);
  if (empty) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRecordKey);
}
}  // namespace

void DeleteAllPrinters(InstallContext& context) {
  LogLine(context, W(">DeleteAllPrinters"));
  context.Depth++;
  SaveProductPrinters(context);
  // A printer that cannot be carried over stays as it is, with its settings.
  for (DWORD i = 0; i < context.Printers.count; i++) {
    PRINTER_INFO_2W* entry = SnapshotEntry(context.Printers, i);
    if (ToDelete(context, entry)) DeleteOnePrinter(context, entry->pPrinterName);
  }
  context.Depth--;
}

bool SavePrinterSettingsKey(InstallContext& context, PRINTER_INFO_2W& entry) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(entry.pPrinterName, &printer, nullptr)) {
    ReportError(context, 16, NameOrStar(entry.pPrinterName));
    Remember(context, entry, nullptr);  // looked at: it stays
    return false;
  }
  char settingsKey[kSettingsKeyBytes];
  ReadSubKey(printer, settingsKey);
  SavedPrinter* saved = Remember(context, entry, settingsKey[0] != 0 ? settingsKey : nullptr);
  if (saved != nullptr)
    saved->Found = &entry;
  else
    LogLine(context, W("Not enough memory to carry printer %s over, it stays"), NameOrStar(entry.pPrinterName));
  ClosePrinter(printer);
  return saved != nullptr;
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
  HKEY record = OpenRecord(context);
  int32_t restored = 0;
  for (SavedPrinter* saved = context.SavedPrinters; saved != nullptr; saved = saved->Next) {
    if (saved->SettingsKey == nullptr) continue;
    if (RestoreOnePrinter(context, *saved)) {
      restored++;
      if (saved->InRecord && record != nullptr) RegDeleteValueW(record, saved->Entry->pPrinterName);
    } else if (saved->InRecord) {
      LogLine(context, W("Printer '%s' waits in the record for the next install"),
              NameOrStar(saved->Entry->pPrinterName));
    }
  }
  CloseRecord(record);
  if (restored != 0) return;
  HANDLE printer = AddOwnPrinter(context, kFallbackPrinterName);
  if (printer != nullptr) ClosePrinter(printer);
}

bool RecordPrintersToCarry(InstallContext& context) {
  if (!ReadCarriedPrinters(context)) return false;
  SaveProductPrinters(context);
  return WriteCarriedPrinters(context);
}

void ForgetCarriedPrinters(InstallContext& context) {
  LONG deleted = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRecordKey);
  if (deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) return;
  LogLine(context, W("The printers an earlier install was carrying over stay recorded"));
  SetLastError(static_cast<DWORD>(deleted));
  ReportError(context, 23);
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
  char sid[kUserSidChars];
  char root[kUserSidChars + 1];
  for (DWORD index = 0; NextUserHive(index, sid);) {
    JoinAnsi(root, sizeof(root), sid, "\\");
    cleared = ClearMarkIn(HKEY_USERS, root, keyPath) || cleared;
  }
  return cleared;
}
