#include "system/deferred_delete.h"

#include "app/install_context.h"
#include "app/install_log.h"

namespace {

void ReleaseNode(DeferredDelete* node) {
  GlobalFree(node->path);
  GlobalFree(node);
}

bool IsListed(const DeferredDelete* node, const WCHAR* path) {
  for (; node != nullptr; node = node->next)
    if (TextEquals(node->path, path)) return true;
  return false;
}

// A node holding its own copy of `path`, or null when memory ran out.
DeferredDelete* MakeNode(const WCHAR* path, uint64_t length) {
  auto* node = static_cast<DeferredDelete*>(AllocateZeroed(sizeof(DeferredDelete)));
  if (node == nullptr) return nullptr;
  node->path = static_cast<WCHAR*>(AllocateZeroed((length + 1) * sizeof(WCHAR)));
  if (node->path == nullptr) {
    GlobalFree(node);
    return nullptr;
  }
  for (uint64_t i = 0; i < length; i++) node->path[i] = path[i];
  return node;
}

}  // namespace

void AddDeferredDelete(DeferredDeleteList& head, const WCHAR* path) {
  uint64_t length = TextLength(path);
  if (length == 0 || IsListed(head, path)) return;
  DeferredDelete* node = MakeNode(path, length);
  if (node == nullptr) return;  // the file is simply not retried; nothing else depends on it
  node->next = head;
  head = node;
}

void RetryDeferredDeletes(InstallContext& context) {
  LogLine(context, W("DeleteFile-try"));
  DeferredDelete** link = &context.DeferredDeletes;
  while (*link != nullptr) {
    DeferredDelete* node = *link;
    if (DeleteFileW(node->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      *link = node->next;
      ReleaseNode(node);
    } else {
      link = &node->next;
    }
  }
}

int ScheduleDeletesAtReboot(InstallContext& context) {
  int scheduled = 0;
  for (DeferredDelete* node = context.DeferredDeletes; node != nullptr; node = node->next)
    if (MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) scheduled++;
  ClearDeferredDeletes(context.DeferredDeletes);
  return scheduled;
}

void ClearDeferredDeletes(DeferredDeleteList& head) {
  while (head != nullptr) {
    DeferredDelete* next = head->next;
    ReleaseNode(head);
    head = next;
  }
}
