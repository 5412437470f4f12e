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

// The codes of the log lines written here.
const int32_t kErrorManager = 1;
const int32_t kErrorOpen = 2;
const int32_t kErrorStop = 3;
const int32_t kErrorStart = 4;
const int32_t kErrorControl = 5;

SC_HANDLE OpenManager() { return OpenSCManagerW(nullptr, nullptr, kManagerAccess); }

// Reads the status until it shows `state`, polling as above. A failed read leaves `status`
// as it was. True when the last read showed `state`.
bool WaitForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state) {
  QueryServiceStatus(service, &status);
  for (int poll = 0; poll < kPolls; poll++) {
    if (status.dwCurrentState == state) return true;
    Sleep(kPollInterval);
    QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == state;
}

// A stop that the service refuses is reported, except when it was not running at all. The
// manager fills `status` also when the service was not running.
void RequestStop(SpoolerRestart& restart, SERVICE_STATUS& status) {
  if (ControlService(restart.service, SERVICE_CONTROL_STOP, &status)) return;
  DWORD error = GetLastError();
  if (error == ERROR_SERVICE_NOT_ACTIVE || restart.logTarget == nullptr) return;
  ReportError(*restart.logTarget, kErrorControl, static_cast<int32_t>(error), static_cast<uint32_t>(error));
}

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // A failed start (the service already runs, say) is seen by the polling that follows.
  bool refused = !StartServiceW(service, 0, nullptr) && GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
  SERVICE_STATUS status = {};
  if (WaitForState(service, status, SERVICE_RUNNING)) return true;
  // One that was still stopping (a run that died had asked it to) refused the start: now stopped,
  // it is started.
  if (!refused || status.dwCurrentState != SERVICE_STOPPED) return false;
  StartServiceW(service, 0, nullptr);
  return WaitForState(service, status, SERVICE_RUNNING);
}

void RestartSpooler(SpoolerRestart& restart, InstallContext* logTarget) {
  if (logTarget != nullptr) LogLine(*logTarget, W(">Restart Spooler"));
  restart.logTarget = logTarget;
  restart.service = nullptr;
  restart.stopRequested = false;
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
