#include "system/spooler_service.h"

#include "app/install_context.h"
#include "app/install_log.h"

namespace {

const WCHAR* const kSpoolerName = W("spooler");

// 0xF0001, for every use of the manager.
const DWORD kManagerAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
// 0x34, for a stop and the start after it.
const DWORD kRestartAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
// 0x14, for the check at the start of a run.
const DWORD kCheckAccess = SERVICE_QUERY_STATUS | SERVICE_START;

// Each wait polls up to 50 times after its first read, 200 ms apart: about 10 seconds.
const int kPolls = 50;
const DWORD kPollInterval = 200;
// A stop that outlasts that wait (many queues, a monitor that blocks) still ends; the start
// that must follow it waits this many polls longer: about a minute in all.
const int kStopCompletionPolls = 250;

// The codes of the log lines written here.
const int32_t kErrorManager = 1;
const int32_t kErrorOpen = 2;
const int32_t kErrorStop = 3;
const int32_t kErrorStart = 4;
const int32_t kErrorControl = 5;
const int32_t kErrorDependentStart = 21;

SC_HANDLE OpenManager() { return OpenSCManagerW(nullptr, nullptr, kManagerAccess); }

// Reads the status again until it shows `state`, polling as above. A failed read leaves
// `status` as it was. True when the last read showed `state`.
bool PollForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state) {
  for (int poll = 0; poll < kPolls; poll++) {
    if (status.dwCurrentState == state) return true;
    Sleep(kPollInterval);
    QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == state;
}

bool WaitForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state) {
  QueryServiceStatus(service, &status);
  return PollForState(service, status, state);
}

// Polls while the service is still stopping, which makes Windows refuse every start. True
// when its stop has completed.
bool StopCompleted(SC_HANDLE service, SERVICE_STATUS& status) {
  for (int poll = 0; poll < kStopCompletionPolls && status.dwCurrentState == SERVICE_STOP_PENDING; poll++) {
    Sleep(kPollInterval);
    QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == SERVICE_STOPPED;
}

// Stops one service that depends on the spooler and keeps it in `restart` to be started again,
// also when it refuses: the spooler's stop then fails and is reported.
void StopDependent(SpoolerRestart& restart, const WCHAR* name) {
  if (restart.logTarget != nullptr) LogLine(*restart.logTarget, W("Stop %s, which depends on the spooler"), name);
  SC_HANDLE service = OpenServiceW(restart.serviceManager, name, kRestartAccess);
  if (service == nullptr) return;
  StoppedDependent& dependent = restart.dependents[restart.dependentCount++];
  dependent.service = service;
  dependent.name.block = nullptr;
  Assign(dependent.name, name);
  SERVICE_STATUS status = {};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  WaitForState(service, status, SERVICE_STOPPED);
}

// The running services that depend on the spooler, stopped in the order the manager lists
// them (the last started first), as "net stop spooler /y" does. True when any was listed.
bool StopDependents(SpoolerRestart& restart) {
  SC_HANDLE lister = OpenServiceW(restart.serviceManager, kSpoolerName, SERVICE_ENUMERATE_DEPENDENTS);
  if (lister == nullptr) return false;
  DWORD needed = 0;
  DWORD count = 0;
  ENUM_SERVICE_STATUSW* listed = nullptr;
  if (!EnumDependentServicesW(lister, SERVICE_ACTIVE, nullptr, 0, &needed, &count) && GetLastError() == ERROR_MORE_DATA)
    listed = static_cast<ENUM_SERVICE_STATUSW*>(AllocateZeroed(needed));
  if (listed == nullptr || !EnumDependentServicesW(lister, SERVICE_ACTIVE, listed, needed, &needed, &count)) count = 0;
  for (DWORD i = 0; i < count && restart.dependentCount < kMaxStoppedDependents; i++)
    StopDependent(restart, listed[i].lpServiceName);
  if (listed != nullptr) GlobalFree(listed);
  CloseServiceHandle(lister);
  return count > 0;
}

// Started again in the reverse of the order they were stopped, after the spooler.
void StartDependentsAgain(SpoolerRestart& restart) {
  while (restart.dependentCount > 0) {
    StoppedDependent& dependent = restart.dependents[--restart.dependentCount];
    if (!StartSpoolerAndWait(dependent.service) && restart.logTarget != nullptr)
      ReportError(*restart.logTarget, kErrorDependentStart, Chars(dependent.name));
    CloseServiceHandle(dependent.service);
    dependent.service = nullptr;
    ReleaseText(dependent.name);
  }
}

// A stop that the service refuses is reported, except when it was not running at all. One
// refused because other running services depend on the spooler is asked again once they
// are stopped. The manager fills `status` also when the service was not running.
void RequestStop(SpoolerRestart& restart, SERVICE_STATUS& status) {
  if (ControlService(restart.service, SERVICE_CONTROL_STOP, &status)) return;
  DWORD error = GetLastError();
  if (error == ERROR_DEPENDENT_SERVICES_RUNNING && StopDependents(restart)) {
    if (ControlService(restart.service, SERVICE_CONTROL_STOP, &status)) return;
    error = GetLastError();
  }
  if (error == ERROR_SERVICE_NOT_ACTIVE || restart.logTarget == nullptr) return;
  ReportError(*restart.logTarget, kErrorControl, static_cast<int32_t>(error), static_cast<uint32_t>(error));
}

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // A failed start (the service already runs, say) is seen by the polling that follows. One
  // refused because the service was still stopping (a slow stop, or one a run that died had
  // asked for) is asked again once the stop has completed.
  bool refused = !StartServiceW(service, 0, nullptr) && GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  if (refused && (status.dwCurrentState == SERVICE_STOPPED ||
                  (status.dwCurrentState == SERVICE_STOP_PENDING && StopCompleted(service, status)))) {
    StartServiceW(service, 0, nullptr);
    QueryServiceStatus(service, &status);
  }
  return PollForState(service, status, SERVICE_RUNNING);
}

void RestartSpooler(SpoolerRestart& restart, InstallContext* logTarget) {
  if (logTarget != nullptr) LogLine(*logTarget, W(">Restart Spooler"));
  restart.logTarget = logTarget;
  restart.service = nullptr;
  restart.stopRequested = false;
  restart.dependentCount = 0;
  restart.serviceManager = OpenManager();
  if (restart.serviceManager == nullptr) {
    if (logTarget != nullptr) ReportError(*logTarget, kErrorManager);
    return;
  }
  restart.service = OpenServiceW(restart.serviceManager, kSpoolerName, kRestartAccess);
  if (restart.service == nullptr) {
    if (logTarget != nullptr) ReportError(*logTarget, kErrorOpen);
    return;
  }
  SERVICE_STATUS status = {};
  RequestStop(restart, status);
  restart.stopRequested = true;
  if (WaitForState(restart.service, status, SERVICE_STOPPED)) return;
  if (logTarget != nullptr) ReportError(*logTarget, kErrorStop);
}

void FinishSpoolerRestart(SpoolerRestart& restart) {
  if (restart.service != nullptr) {
    if (restart.stopRequested && !StartSpoolerAndWait(restart.service) && restart.logTarget != nullptr)
      ReportError(*restart.logTarget, kErrorStart);
    CloseServiceHandle(restart.service);
    restart.service = nullptr;
  }
  StartDependentsAgain(restart);
  // Also when the manager never opened: the platform refuses a null handle without effect.
  CloseServiceHandle(restart.serviceManager);
  restart.serviceManager = nullptr;
}

bool CheckSpooler(InstallContext& context) {
  LogLine(context, W(">Check Spooler"));
  context.Depth++;
  SC_HANDLE manager = OpenManager();
  if (manager == nullptr) {
    ReportError(context, kErrorManager);
    context.Depth--;
    return false;
  }
  bool result = true;
  SC_HANDLE service = OpenServiceW(manager, kSpoolerName, kCheckAccess);
  if (service == nullptr) {
    ReportError(context, kErrorOpen);
    result = false;
  } else {
    // An unreadable status is taken as running: nothing is started on a guess.
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING &&
        !StartSpoolerAndWait(service)) {
      ReportError(context, kErrorStart);
      result = false;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  context.Depth--;
  return result;
}
