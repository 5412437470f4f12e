#include "system/deferred_delete.h"

void AddDeferredDelete(DeferredDeleteList&, const WCHAR*) {}
void RetryDeferredDeletes(InstallContext&) {}
int ScheduleDeletesAtReboot(InstallContext&) { return 0; }
void ClearDeferredDeletes(DeferredDeleteList& head) { head = nullptr; }
