#include "system/pending_renames.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// The session manager carries out the first list, then the second, at the system's next start.
const WCHAR* const kPendingRenamesValues[] = {W("PendingFileRenameOperations"), W("PendingFileRenameOperations2")};
const int kPendingValueCount = 2;

// Other programs may add to the value between the size query and the read; after this many
// reads that found it grown the list is taken as unreadable.
const int kValueReads = 3;

// The value's bytes in a zero-filled block, how many of them the read filled, the value's type,
// and the registry's answer (ERROR_SUCCESS with no block for an empty value).
struct RawValue {
  WCHAR* units;
  DWORD bytes;
  DWORD type;
  LONG status;
};

RawValue ReadValueBytes(HKEY key, const WCHAR* name) {
  RawValue raw = {nullptr, 0, REG_NONE, ERROR_SUCCESS};
  DWORD size = 0;
  raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, nullptr, &size);
  for (int read = 0; read < kValueReads && raw.status == ERROR_SUCCESS && size > 0; read++) {
    raw.units = static_cast<WCHAR*>(AllocateZeroed(size));
    if (raw.units == nullptr) {
      raw.status = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    DWORD filled = size;
    raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, reinterpret_cast<BYTE*>(raw.units), &filled);
    if (raw.status == ERROR_SUCCESS) {
      raw.bytes = filled < size ? filled : size;  // never more than the block holds
      return raw;
    }
    GlobalFree(raw.units);
    raw.units = nullptr;
    // Grown since the size query: the failed read reported the size it needs now.
    if (raw.status == ERROR_MORE_DATA && read + 1 < kValueReads) {
      size = filled;
      raw.status = ERROR_SUCCESS;
    }
  }
  return raw;
}

// Both lists' bytes; a list that cannot be read has no block.
void ReadRawValues(RawValue (&raws)[kPendingValueCount]) {
  for (RawValue& raw : raws) raw = {nullptr, 0, REG_NONE, ERROR_FILE_NOT_FOUND};
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (int value = 0; value < kPendingValueCount; value++) raws[value] = ReadValueBytes(key, kPendingRenamesValues[value]);
  RegCloseKey(key);
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

bool IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }

bool IsExistingFile(const WCHAR* entry, bool isTarget) {
  const WCHAR* path = PendingEntryPath(entry, isTarget);
  if (path == nullptr) return false;
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Whole code units held (an odd last byte is no unit), and the list without its closing zero.
DWORD AvailableUnits(const RawValue& raw) { return raw.bytes / 2; }
DWORD ListLimit(const RawValue& raw) { return raw.bytes >= 2 ? (raw.bytes - 2) / 2 : 0; }

DWORD CountPairs(const RawValue& raw) {
  return raw.units == nullptr ? 0 : CountStrings(raw.units, AvailableUnits(raw), ListLimit(raw)) / 2;
}

// The filling pass for one list's pairs, from entry `index` on. False when a copy could not be
// made: a lost target would turn a rename into a deletion, so the caller then gives up the
// whole table.
bool FillTable(PendingRenameTable& table, const RawValue& raw, DWORD index, DWORD pairs) {
  DWORD entries = index + 2 * pairs;
  DWORD available = AvailableUnits(raw), limit = ListLimit(raw);
  for (DWORD position = 0; position < limit && index < entries; index++) {
    DWORD end = StringEnd(raw.units, available, position);
    if (end > position) {
      table.paths[index] = CopyUnits(raw.units + position, end - position);
      if (table.paths[index] == nullptr) return false;
      table.isFile[index] = IsExistingFile(table.paths[index], index % 2 == 1) ? 1 : 0;
    }
    position = end + 1;
  }
  return true;
}

PendingRenameTable ParseTable(const RawValue (&raws)[kPendingValueCount]) {
  PendingRenameTable table = {nullptr, nullptr, 0};
  DWORD pairs[kPendingValueCount], total = 0;
  for (int value = 0; value < kPendingValueCount; value++) total += pairs[value] = CountPairs(raws[value]);
  if (total == 0) return table;
  table.pairCount = static_cast<int32_t>(total);
  table.paths = static_cast<WCHAR**>(AllocateZeroed(2 * static_cast<SIZE_T>(total) * sizeof(WCHAR*)));
  table.isFile = static_cast<int32_t*>(AllocateZeroed(2 * static_cast<SIZE_T>(total) * sizeof(int32_t)));
  bool filled = table.paths != nullptr && table.isFile != nullptr;
  DWORD index = 0;
  for (int value = 0; filled && value < kPendingValueCount; value++) {
    filled = FillTable(table, raws[value], index, pairs[value]);
    index += 2 * pairs[value];
  }
  if (!filled) FreePendingRenames(table);
  return table;
}

// Paths of the pending list are compared as Windows compares file names, here for the ASCII
// letters; a marker and the NT prefix may stand on either side.
WCHAR FoldAscii(WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

bool NamesFile(const WCHAR* source, const WCHAR* file) {
  const WCHAR* a = PendingEntryPath(source, false);
  const WCHAR* b = PendingEntryPath(file, false);
  if (a == nullptr || b == nullptr) return false;
  while (*a != 0 && FoldAscii(*a) == FoldAscii(*b)) {
    a++;
    b++;
  }
  return *a == 0 && *b == 0;
}

bool NamesAny(const WCHAR* source, const WCHAR* const* files, int32_t fileCount) {
  for (int32_t i = 0; i < fileCount; i++)
    if (files[i] != nullptr && files[i][0] != 0 && NamesFile(source, files[i])) return true;
  return false;
}

void CopyBytes(BYTE* to, const BYTE* from, DWORD count) {
  for (DWORD i = 0; i < count; i++) to[i] = from[i];
}

// Copies the value's bytes into `out` (room for all of them) without the pending deletions of
// `files`, walking the pairs as ParseTable does. Returns the bytes written.
DWORD CopyWithoutDeletions(const RawValue& raw, const WCHAR* const* files, int32_t fileCount, BYTE* out) {
  const WCHAR* units = raw.units;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(units);
  DWORD available = AvailableUnits(raw), limit = ListLimit(raw);
  DWORD written = 0;
  DWORD copiedUpTo = 0;  // in code units
  for (DWORD position = 0; position < limit;) {
    DWORD sourceEnd = StringEnd(units, available, position);
    DWORD target = sourceEnd + 1;
    if (target >= limit) break;  // a last string without a partner
    DWORD targetEnd = StringEnd(units, available, target);
    // Here the source ends in its zero, since its target starts within the data.
    if (targetEnd == target && sourceEnd > position && NamesAny(units + position, files, fileCount)) {
      CopyBytes(out + written, bytes + 2 * copiedUpTo, 2 * (position - copiedUpTo));
      written += 2 * (position - copiedUpTo);
      copiedUpTo = target + 1;
    }
    position = targetEnd + 1;
  }
  CopyBytes(out + written, bytes + 2 * copiedUpTo, raw.bytes - 2 * copiedUpTo);
  return written + raw.bytes - 2 * copiedUpTo;
}

// Reads one list through the open key and writes it back in its place, with its own type,
// without the deletions of `files`; nothing is written when there is none.
LONG RewriteWithout(HKEY key, const WCHAR* name, const WCHAR* const* files, int32_t fileCount) {
  RawValue raw = ReadValueBytes(key, name);
  if (raw.status == ERROR_FILE_NOT_FOUND || (raw.status == ERROR_SUCCESS && raw.units == nullptr))
    return ERROR_SUCCESS;  // no list, or an empty one
  if (raw.status != ERROR_SUCCESS) return raw.status;
  BYTE* kept = static_cast<BYTE*>(AllocateZeroed(raw.bytes));
  LONG status = ERROR_NOT_ENOUGH_MEMORY;
  if (kept != nullptr) {
    DWORD keptBytes = CopyWithoutDeletions(raw, files, fileCount, kept);
    status = keptBytes == raw.bytes ? ERROR_SUCCESS
                                    : RegSetValueExW(key, name, 0, raw.type, kept, keptBytes);
    GlobalFree(kept);
  }
  GlobalFree(raw.units);
  return status;
}

// Whether the list, as ReadPendingRenames sees it, holds a deletion of one of `files`.
bool ListsDeletionOf(const WCHAR* const* files, int32_t fileCount) {
  PendingRenameTable table = ReadPendingRenames();
  bool listed = false;
  for (int32_t pair = 0; pair < table.pairCount; pair++)
    if (table.paths[2 * pair] != nullptr && table.paths[2 * pair + 1] == nullptr &&
        NamesAny(table.paths[2 * pair], files, fileCount))
      listed = true;
  FreePendingRenames(table);
  return listed;
}

}  // namespace

const WCHAR* SkipNtPathPrefix(const WCHAR* path) {
  if (path != nullptr && path[0] == '\\' && path[1] == '?' && path[2] == '?' && path[3] == '\\') return path + 4;
  return path;
}

const WCHAR* PendingEntryPath(const WCHAR* entry, bool isTarget) {
  if (entry == nullptr) return nullptr;
  const WCHAR* path = entry;
  bool marked = false;
  if (*path == '*') {
    if (!IsDigit(path[1])) return nullptr;
    path++;
    while (IsDigit(*path)) path++;
    marked = true;
  }
  if (*path == '!' || *path == '@') {
    if (!isTarget) return nullptr;
    path++;
    marked = true;
  }
  const WCHAR* file = SkipNtPathPrefix(path);
  // A marker stands only before an NT path; what else it could mean is not guessed at. The
  // session manager knows no current directory, so a path that is not whole names no file it
  // would touch, while here it would name one in whatever folder the installer was started in.
  if (marked && file == path) return nullptr;
  bool whole = ((file[0] >= 'A' && file[0] <= 'Z') || (file[0] >= 'a' && file[0] <= 'z')) && file[1] == ':' &&
               (file[2] == '\\' || file[2] == '/');
  return whole ? file : nullptr;
}

PendingRenameTable ReadPendingRenames() {
  RawValue raws[kPendingValueCount];
  ReadRawValues(raws);
  PendingRenameTable table = ParseTable(raws);
  for (RawValue& raw : raws)
    if (raw.units != nullptr) GlobalFree(raw.units);
  return table;
}

LONG ClearPendingDeletes(PendingRenameTable& table) {
  if (table.pairCount == 0) return ERROR_SUCCESS;
  // The sources carried out now; they point into the table.
  auto** done = static_cast<const WCHAR**>(AllocateZeroed(static_cast<SIZE_T>(table.pairCount) * sizeof(WCHAR*)));
  int32_t doneCount = 0;
  for (int32_t pair = 0; pair < table.pairCount; pair++) {
    WCHAR* source = table.paths[2 * pair];
    bool deletion = table.paths[2 * pair + 1] == nullptr;
    if (table.isFile[2 * pair] != 1 || source == nullptr || !deletion) continue;
    // A file already gone was deleted by an earlier entry that names it another way: carried
    // out all the same.
    if (DeleteFileW(PendingEntryPath(source, false)) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      table.isFile[2 * pair] = 0;
      if (done != nullptr) done[doneCount] = source;
      doneCount++;
    }
  }
  LONG status = ERROR_SUCCESS;
  if (done == nullptr && doneCount > 0)
    status = ERROR_NOT_ENOUGH_MEMORY;
  else if (doneCount > 0)
    status = DropPendingDeletes(done, doneCount);
  if (done != nullptr) GlobalFree(done);
  return status;
}

LONG DropPendingDeletes(const WCHAR* const* files, int32_t fileCount) {
  if (fileCount <= 0) return ERROR_SUCCESS;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ | KEY_SET_VALUE, &key);
  // A key that cannot be opened for writing matters only when it lists such a deletion.
  if (status != ERROR_SUCCESS) return ListsDeletionOf(files, fileCount) ? status : ERROR_SUCCESS;
  for (int value = 0; value < kPendingValueCount; value++) {
    LONG rewritten = RewriteWithout(key, kPendingRenamesValues[value], files, fileCount);
    if (status == ERROR_SUCCESS) status = rewritten;
  }
  RegCloseKey(key);
  return status;
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
