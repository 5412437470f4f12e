// The pending rename lists are written by every program on the machine, so their reader must
// cope with any bytes: whatever the values hold, the table is built from those bytes alone, its
// entries are well formed, a file is deleted only where an entry the reader understands asks for
// it, and releasing the table leaves nothing behind.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "system/pending_renames.h"
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"

namespace {

// The first input byte picks the circumstances; the rest is the value's data.
const uint8_t kStoredAsBinary = 1;
const uint8_t kGrowsAfterSizeQuery = 2;
const uint8_t kMemoryRunsOut = 4;  // the bits above the next say which allocation is refused
const uint8_t kSecondListToo = 8;  // the second list holds the same bytes

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTable(const PendingRenameTable& table, size_t valueBytes) {
  Check(table.pairCount >= 0);
  Check((table.pairCount == 0) == (table.paths == nullptr) && (table.paths == nullptr) == (table.isFile == nullptr));
  for (int32_t i = 0; i < 2 * table.pairCount; i++) {
    Check(table.isFile[i] == 0 || table.isFile[i] == 1);
    Check(table.isFile[i] == 0 || table.paths[i] != nullptr);
    if (table.paths[i] == nullptr) continue;
    size_t length = 0;
    while (table.paths[i][length] != 0) length++;
    Check(length > 0 && length <= valueBytes / 2);  // an empty string is stored as null
  }
}

// A source that names "C:\a" once its marker and NT prefix are off, ignoring the case of ASCII
// letters.
bool NamesFileA(const WCHAR* path) {
  const WCHAR* p = PendingEntryPath(path, false);
  return p != nullptr && (p[0] == 'C' || p[0] == 'c') && p[1] == ':' && p[2] == '\\' && (p[3] == 'a' || p[3] == 'A') &&
         p[4] == 0;
}

bool ListsDeletionOfA(const PendingRenameTable& table) {
  for (int32_t k = 0; k < table.pairCount; k++)
    if (table.paths[2 * k] != nullptr && table.paths[2 * k + 1] == nullptr && NamesFileA(table.paths[2 * k])) return true;
  return false;
}

// Once the deletion of "C:\a" has been carried out and the lists rewritten, no deletion of it is
// left in either, and each value keeps its type.
void CheckCarriedOutLeftTheList(LONG status, DWORD firstType, DWORD secondType) {
  if (status != ERROR_SUCCESS || winsim::FileExists(u"C:\\a")) return;
  auto first = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
  auto second = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue2);
  Check(first.has_value() && first->type == firstType);
  Check(second.has_value() == (secondType != REG_NONE) && (!second || second->type == secondType));
  PendingRenameTable after = ReadPendingRenames();
  Check(!ListsDeletionOfA(after));
  FreePendingRenames(after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  winsim::ResetMachine();
  uint8_t mode = size > 0 ? data[0] : 0;
  std::string value = size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
  winsim::PutFile(u"C:\\a", "file");
  winsim::PutDirectory(u"C:\\d");
  for (const char16_t* name : {winsim::kPendingRenamesValue, winsim::kPendingRenamesValue2})
    if (name == winsim::kPendingRenamesValue || (mode & kSecondListToo))
      winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, name, mode & kStoredAsBinary ? REG_BINARY : REG_MULTI_SZ,
                       value);
  size_t largest = value.size();
  if (mode & kGrowsAfterSizeQuery) {
    largest *= 2;
    winsim::AfterNextValueQuery([value] {
      winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, REG_MULTI_SZ,
                       value + value);
    });
  }
  if (mode & kMemoryRunsOut) winsim::FailAllocations(winsim::Allocator::Global, 1, mode >> 4);

  PendingRenameTable table = ReadPendingRenames();
  CheckTable(table, largest);
  // C:\a is the one file there: only a deletion the reader understood and found a file for
  // (whichever way it spells the path) may delete it; a rename, or a form not understood, never.
  bool listed = false;
  for (int32_t k = 0; k < table.pairCount; k++)
    listed = listed || (table.isFile[2 * k] == 1 && table.paths[2 * k + 1] == nullptr &&
                        PendingEntryPath(table.paths[2 * k], false) != nullptr);
  LONG status = ClearPendingDeletes(table);
  Check(listed || winsim::FileExists(u"C:\\a"));
  FreePendingRenames(table);
  winsim::FailAllocations(winsim::Allocator::Global, 0);
  // The value that grew after the size query is a multi-string whatever it was before.
  DWORD stored = mode & kStoredAsBinary ? REG_BINARY : REG_MULTI_SZ;
  CheckCarriedOutLeftTheList(status, mode & kGrowsAfterSizeQuery ? REG_MULTI_SZ : stored,
                             mode & kSecondListToo ? stored : REG_NONE);
  Check(table.pairCount == 0 && table.paths == nullptr);
  Check(winsim::LiveBlocks() == 0 && winsim::BadReleases() == 0);
  Check(winsim::OpenKeyHandles() == 0);
  return 0;
}
