#include "system/pending_renames.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR kPendingRenamesValue[] = W("PendingFileRenameOperations");

// Other programs may add to the value between the size query and the read; after this many
// reads that found it grown the list is taken as unreadable.
const int kValueReads = 3;

// The value's bytes in a zero-filled block, and how many of them the read filled.
struct RawValue {
  WCHAR* units;
  DWORD bytes;
};

RawValue ReadValueBytes(HKEY key) {
  RawValue raw = {nullptr, 0};
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, kPendingRenamesValue, nullptr, nullptr, nullptr, &size);
  for (int read = 0; read < kValueReads && status == ERROR_SUCCESS && size > 0; read++) {
    raw.units = static_cast<WCHAR*>(AllocateZeroed(size));
    if (raw.units == nullptr) break;
    DWORD filled = size;
    status = RegQueryValueExW(key, kPendingRenamesValue, nullptr, nullptr, reinterpret_cast<BYTE*>(raw.units),
                              &filled);
    if (status == ERROR_SUCCESS) {
      raw.bytes = filled < size ? filled : size;  // never more than the block holds
      return raw;
    }
    GlobalFree(raw.units);
    raw.units = nullptr;
    // Grown since the size query: the failed read reported the size it needs now.
    if (status == ERROR_MORE_DATA) {
      size = filled;
      status = ERROR_SUCCESS;
    }
  }
  return raw;
}

RawValue ReadRawValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    RawValue none = {nullptr, 0};
    return none;
  }
  RawValue raw = ReadValueBytes(key);
  RegCloseKey(key);
  return raw;
}

// The position of the zero that ends the string at `position`, or `available` when the data
// ends first: a last string without its zero ends with the data.
DWORD StringEnd(const WCHAR* units, DWORD available, DWORD position) {
  while (position < available && units[position] != 0) position++;
  return position;
}

DWORD CountStrings(const WCHAR* units, DWORD available, DWORD limit) {
  DWORD count = 0;
  for (DWORD position = 0; position < limit; position = StringEnd(units, available, position) + 1) count++;
  return count;
}

WCHAR* CopyUnits(const WCHAR* units, DWORD length) {
  auto* copy = static_cast<WCHAR*>(AllocateZeroed((static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR)));
  if (copy != nullptr)
    for (DWORD i = 0; i < length; i++) copy[i] = units[i];
  return copy;
}

bool IsExistingFile(const WCHAR* path) {
  DWORD attributes = GetFileAttributesW(SkipNtPathPrefix(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The filling pass. False when a copy could not be made: a lost target would turn a rename into
// a deletion, so the caller then gives up the whole table.
bool FillTable(PendingRenameTable& table, const WCHAR* units, DWORD available, DWORD limit) {
  DWORD entries = 2 * static_cast<DWORD>(table.pairCount);
  DWORD index = 0;
  for (DWORD position = 0; position < limit && index < entries; index++) {
    DWORD end = StringEnd(units, available, position);
    if (end > position) {
      table.paths[index] = CopyUnits(units + position, end - position);
      if (table.paths[index] == nullptr) return false;
      table.isFile[index] = IsExistingFile(table.paths[index]) ? 1 : 0;
    }
    position = end + 1;
  }
  return true;
}

PendingRenameTable ParseTable(const WCHAR* units, DWORD bytes) {
  PendingRenameTable table = {nullptr, nullptr, 0};
  DWORD available = bytes / 2;                     // whole code units held; an odd last byte is no unit
  DWORD limit = bytes >= 2 ? (bytes - 2) / 2 : 0;  // the list without its closing zero
  DWORD pairs = CountStrings(units, available, limit) / 2;
  if (pairs == 0) return table;
  table.pairCount = static_cast<int32_t>(pairs);
  table.paths = static_cast<WCHAR**>(AllocateZeroed(2 * static_cast<SIZE_T>(pairs) * sizeof(WCHAR*)));
  table.isFile = static_cast<int32_t*>(AllocateZeroed(2 * static_cast<SIZE_T>(pairs) * sizeof(int32_t)));
  if (table.paths == nullptr || table.isFile == nullptr || !FillTable(table, units, available, limit))
    FreePendingRenames(table);
  return table;
}

}  // namespace

const WCHAR* SkipNtPathPrefix(const WCHAR* path) {
  if (path != nullptr && path[0] == '\\' && path[1] == '?' && path[2] == '?' && path[3] == '\\') return path + 4;
  return path;
}

PendingRenameTable ReadPendingRenames() {
  RawValue raw = ReadRawValue();
  PendingRenameTable table = {nullptr, nullptr, 0};
  if (raw.units != nullptr) {
    table = ParseTable(raw.units, raw.bytes);
    GlobalFree(raw.units);
  }
  return table;
}

void ClearPendingDeletes(PendingRenameTable& table) {
  for (int32_t pair = 0; pair < table.pairCount; pair++) {
    WCHAR* source = table.paths[2 * pair];
    bool deletion = table.paths[2 * pair + 1] == nullptr;
    if (table.isFile[2 * pair] == 1 && source != nullptr && deletion && DeleteFileW(SkipNtPathPrefix(source)))
      table.isFile[2 * pair] = 0;
  }
}

void FreePendingRenames(PendingRenameTable& table) {
  if (table.paths != nullptr) {
    for (int32_t i = 0; i < 2 * table.pairCount; i++)
      if (table.paths[i] != nullptr) GlobalFree(table.paths[i]);
    GlobalFree(table.paths);
  }
  if (table.isFile != nullptr) GlobalFree(table.isFile);
  table.paths = nullptr;
  table.isFile = nullptr;
  table.pairCount = 0;
}

int32_t GetFileBuild(const WCHAR* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return -1;
  void* block = AllocateZeroed(size);
  if (block == nullptr) return -1;
  int32_t build = -1;
  void* value = nullptr;
  UINT length = 0;
  // A root block shorter than the fixed file information holds no version to read.
  if (GetFileVersionInfoW(path, 0, size, block) && VerQueryValueW(block, W("\\"), &value, &length) &&
      value != nullptr && length >= sizeof(VS_FIXEDFILEINFO))
    build = static_cast<int32_t>(static_cast<const VS_FIXEDFILEINFO*>(value)->dwProductVersionLS & 0xFFFF);
  GlobalFree(block);
  return build;
}
