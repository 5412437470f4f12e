// The pending rename list is written by every program on the machine, so its reader must cope
// with any bytes: whatever the value holds, the table is built from those bytes alone, its
// entries are well formed, and releasing it leaves nothing behind.
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
const uint8_t kMemoryRunsOut = 4;  // the bits above say which allocation is refused

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

// "C:\a" after the NT prefix, ignoring the case of ASCII letters.
bool NamesFileA(const WCHAR* path) {
  const WCHAR* p = SkipNtPathPrefix(path);
  return (p[0] == 'C' || p[0] == 'c') && p[1] == ':' && p[2] == '\\' && (p[3] == 'a' || p[3] == 'A') && p[4] == 0;
}

// Once the deletion of "C:\a" has been carried out and the list rewritten, no deletion of it is
// left listed, and the value keeps its type.
void CheckCarriedOutLeftTheList(LONG status, DWORD type) {
  if (status != ERROR_SUCCESS || winsim::FileExists(u"C:\\a")) return;
  auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
  Check(value.has_value() && value->type == type);
  PendingRenameTable after = ReadPendingRenames();
  for (int32_t k = 0; k < after.pairCount; k++)
    Check(!(after.paths[2 * k] != nullptr && after.paths[2 * k + 1] == nullptr && NamesFileA(after.paths[2 * k])));
  FreePendingRenames(after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  winsim::ResetMachine();
  uint8_t mode = size > 0 ? data[0] : 0;
  std::string value = size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
  winsim::PutFile(u"C:\\a", "file");
  winsim::PutDirectory(u"C:\\d");
  winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue,
                   mode & kStoredAsBinary ? REG_BINARY : REG_MULTI_SZ, value);
  size_t largest = value.size();
  if (mode & kGrowsAfterSizeQuery) {
    largest *= 2;
    winsim::AfterNextValueQuery([value] {
      winsim::PutValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, REG_MULTI_SZ,
                       value + value);
    });
  }
  if (mode & kMemoryRunsOut) winsim::FailAllocations(winsim::Allocator::Global, 1, mode >> 3);

  PendingRenameTable table = ReadPendingRenames();
  CheckTable(table, largest);
  LONG status = ClearPendingDeletes(table);
  FreePendingRenames(table);
  winsim::FailAllocations(winsim::Allocator::Global, 0);
  // The value that grew after the size query is a multi-string whatever it was before.
  CheckCarriedOutLeftTheList(status, (mode & kStoredAsBinary) && !(mode & kGrowsAfterSizeQuery) ? REG_BINARY : REG_MULTI_SZ);
  Check(table.pairCount == 0 && table.paths == nullptr);
  Check(winsim::LiveBlocks() == 0 && winsim::BadReleases() == 0);
  Check(winsim::OpenKeyHandles() == 0);
  return 0;
}
