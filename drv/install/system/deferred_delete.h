// Files that resisted deletion: retried during the run, handed to the system at reboot.
#pragma once

#include "platform.h"

struct InstallContext;

// One listed path; the list runs newest first and holds no two equal paths. Nodes and their
// paths are zero-filled global blocks owned by the list.
struct DeferredDelete {
  WCHAR* path;
  DeferredDelete* next;
};
typedef DeferredDelete* DeferredDeleteList;

// Puts a copy of `path` at the front unless an equal path (exactly, case included) is listed.
// An empty path, or one whose node cannot be allocated, is not listed.
void AddDeferredDelete(DeferredDeleteList& head, const WCHAR* path);
// Tries each listed file once; drops those deleted or already gone. Logs "DeleteFile-try".
void RetryDeferredDeletes(InstallContext& context);
// Registers each listed file for deletion at the next start, newest first; empties the list
// and returns how many registrations succeeded.
int ScheduleDeletesAtReboot(InstallContext& context);
// Releases every node and its path, touching no file.
void ClearDeferredDeletes(DeferredDeleteList& head);
