// Files that resisted deletion: retried during the run, handed to the system at reboot.
#pragma once

#include "platform.h"

struct InstallContext;

// One listed path; the list runs newest first and holds no two equal paths.
struct DeferredDelete {
  WCHAR* path;
  DeferredDelete* next;
};
typedef DeferredDelete* DeferredDeleteList;

void AddDeferredDelete(DeferredDeleteList& head, const WCHAR* path);
void RetryDeferredDeletes(InstallContext& context);
int ScheduleDeletesAtReboot(InstallContext& context);
void ClearDeferredDeletes(DeferredDeleteList& head);
