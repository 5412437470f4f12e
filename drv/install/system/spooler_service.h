// Stopping, starting and checking the "spooler" service.
#pragma once

#include "platform.h"

#include "text/wide_text.h"

struct InstallContext;

// The most running services that depend on the spooler (the fax service, LPD) one restart
// stops with it; with more, the spooler's stop is refused and reported.
const int kMaxStoppedDependents = 16;

// A service stopped because it depends on the spooler, to be started again after it.
struct StoppedDependent {
  SC_HANDLE service;
  WideText name;
};

// One stop/start window of the spooler, held by the caller from RestartSpooler to
// FinishSpoolerRestart. Whenever `service` is open, `stopRequested` is true.
struct SpoolerRestart {
  InstallContext* logTarget;  // none: nothing is written or counted
  SC_HANDLE serviceManager;
  SC_HANDLE service;
  bool stopRequested;
  // In the order the manager listed them, the last started first.
  int dependentCount;
  StoppedDependent dependents[kMaxStoppedDependents];
};

// Starts the service and waits until it reports running (at most 51 status reads 200 ms
// apart). A service still stopping refuses the start: then the start waits for the stop to
// complete (at most a further 250 reads) and is asked again. Writes no log. True when the
// last read said running.
bool StartSpoolerAndWait(SC_HANDLE service);

// Stops the spooler and waits for it to stop; both handles stay open in `restart` for
// FinishSpoolerRestart, which must follow exactly once whatever happened here. Running
// services that depend on the spooler are stopped first, as "net stop spooler /y" does.
void RestartSpooler(SpoolerRestart& restart, InstallContext* logTarget);

// Starts the spooler again when it was opened, then the services stopped with it, then closes
// the handles.
void FinishSpoolerRestart(SpoolerRestart& restart);

// Makes sure the spooler runs, starting it when its status says otherwise. False when the
// manager or the service cannot be opened or a start does not bring it to running.
bool CheckSpooler(InstallContext& context);
