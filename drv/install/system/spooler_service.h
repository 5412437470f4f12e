// Stopping, starting and checking the "spooler" service.
#pragma once

#include "platform.h"

struct InstallContext;

// One stop/start window of the spooler, held by the caller from RestartSpooler to
// FinishSpoolerRestart. Whenever `service` is open, `stopRequested` is true.
struct SpoolerRestart {
  InstallContext* logTarget;  // none: nothing is written or counted
  SC_HANDLE serviceManager;
  SC_HANDLE service;
  bool stopRequested;
};

// Starts the service and waits until it reports running (at most 51 status reads 200 ms
// apart). Writes no log. True when the last read said running.
bool StartSpoolerAndWait(SC_HANDLE service);

// Stops the spooler and waits for it to stop; both handles stay open in `restart` for
// FinishSpoolerRestart, which must follow exactly once whatever happened here.
void RestartSpooler(SpoolerRestart& restart, InstallContext* logTarget);

// Starts the spooler again when it was opened, then closes the handles.
void FinishSpoolerRestart(SpoolerRestart& restart);

// Makes sure the spooler runs, starting it when its status says otherwise. False when the
// manager or the service cannot be opened or a start does not bring it to running.
bool CheckSpooler(InstallContext& context);
