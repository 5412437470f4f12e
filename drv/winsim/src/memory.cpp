// The three allocators the installer uses, each block accounted for so that tests can see
// leaks and releases by the wrong allocator. Blocks are real malloc blocks, so the sanitizers
// see overruns; blocks not asked to be zeroed are filled with 0xCD to show missing clears.
#include <cstdlib>
#include <cstring>
#include <map>

#include "winsim/machine.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct Block {
  Allocator allocator;
  size_t size;
};

struct MemoryState {
  std::map<const void*, Block> live;
  size_t allocations[3] = {0, 0, 0};
  size_t reallocations = 0;
  size_t badReleases = 0;
  int failSkip[3] = {0, 0, 0};
  int failCount[3] = {0, 0, 0};
};

MemoryState& Memory() {
  static MemoryState state;
  return state;
}

int Index(Allocator allocator) { return static_cast<int>(allocator); }

void Reset() {
  MemoryState& m = Memory();
  // Blocks a test leaked stay allocated: freeing them here would hide the leak from the sanitizer.
  m.live.clear();
  m = MemoryState();
}

// Every block is the installer's: a process that died gives them all back.
void EndInstaller() {
  for (const auto& entry : Memory().live) std::free(const_cast<void*>(entry.first));
  Memory().live.clear();
}

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterInstallerEnd(&EndInstaller);
  }
} registrar;

bool ShouldFail(Allocator allocator) {
  MemoryState& m = Memory();
  int i = Index(allocator);
  if (m.failCount[i] == 0) return false;
  if (m.failSkip[i] > 0) {
    m.failSkip[i]--;
    return false;
  }
  m.failCount[i]--;
  return true;
}

void* Allocate(Allocator allocator, size_t bytes, bool zero) {
  if (ShouldFail(allocator)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::malloc(bytes ? bytes : 1);
  std::memset(block, zero ? 0 : 0xCD, bytes ? bytes : 1);
  Memory().live[block] = Block{allocator, bytes};
  Memory().allocations[Index(allocator)]++;
  return block;
}

// Releases a block if it is live and was made by `allocator`; false otherwise.
bool Release(Allocator allocator, void* block) {
  auto found = Memory().live.find(block);
  if (found == Memory().live.end() || found->second.allocator != allocator) {
    Memory().badReleases++;
    return false;
  }
  Memory().live.erase(found);
  std::free(block);
  return true;
}

}  // namespace

size_t LiveBlocks(Allocator allocator) {
  size_t n = 0;
  for (const auto& entry : Memory().live)
    if (entry.second.allocator == allocator) n++;
  return n;
}

size_t LiveBlocks() { return Memory().live.size(); }
size_t AllocationCount(Allocator allocator) { return Memory().allocations[Index(allocator)]; }
size_t ReallocationCount() { return Memory().reallocations; }
size_t BadReleases() { return Memory().badReleases; }

size_t BlockSize(const void* block) {
  auto found = Memory().live.find(block);
  return found == Memory().live.end() ? 0 : found->second.size;
}

void FailAllocations(Allocator allocator, int count, int skip) {
  Memory().failCount[Index(allocator)] = count;
  Memory().failSkip[Index(allocator)] = skip;
}

}  // namespace winsim

using winsim::Allocator;

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  return winsim::Allocate(Allocator::Global, bytes, (flags & GMEM_ZEROINIT) != 0);
}

HGLOBAL GlobalFree(HGLOBAL block) {
  if (block == nullptr) return nullptr;
  if (!winsim::Release(Allocator::Global, block)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return block;
  }
  return nullptr;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  return winsim::Allocate(Allocator::Local, bytes, (flags & LMEM_ZEROINIT) != 0);
}

HLOCAL LocalFree(HLOCAL block) {
  if (block == nullptr) return nullptr;
  if (!winsim::Release(Allocator::Local, block)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return block;
  }
  return nullptr;
}

HANDLE GetProcessHeap() {
  static int heap;
  return &heap;
}

LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
  return winsim::Allocate(Allocator::Heap, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

// Always moves the block, so a caller that keeps using the old address is caught.
LPVOID HeapReAlloc(HANDLE, DWORD flags, LPVOID block, SIZE_T bytes) {
  size_t oldSize = winsim::BlockSize(block);
  auto found = winsim::Memory().live.find(block);
  if (found == winsim::Memory().live.end() || found->second.allocator != Allocator::Heap) {
    winsim::Memory().badReleases++;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* moved = winsim::Allocate(Allocator::Heap, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, oldSize < bytes ? oldSize : bytes);
  winsim::Release(Allocator::Heap, block);
  winsim::Memory().allocations[0]--;
  winsim::Memory().reallocations++;
  return moved;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID block) {
  if (block == nullptr) return TRUE;
  if (!winsim::Release(Allocator::Heap, block)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
