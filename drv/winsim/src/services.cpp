// The service control manager: the "spooler" service, its handles, and state changes that take
// virtual time.
#include <algorithm>
#include <map>
#include <vector>

#include "winsim/machine.h"
#include "winsim/sim_services.h"
#include "winsim/sim_spooler.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

const DWORD kDatabaseDoesNotExist = 1065;
const DWORD kStandardRightsExecute = READ_CONTROL;
const DWORD kManagerQueryLockStatus = 0x0010;
const DWORD kManagerLock = 0x0008;
const DWORD kManagerModifyBootConfig = 0x0020;

// What an administrator and what a standard user may open the manager and the spooler with.
const DWORD kManagerAdminRights = SC_MANAGER_ALL_ACCESS;
const DWORD kManagerUserRights = READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | kManagerQueryLockStatus;
const DWORD kServiceAdminRights = SERVICE_ALL_ACCESS;
const DWORD kServiceUserRights = READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                 SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL;

struct Service {
  std::u16string name;
  DWORD state = SERVICE_RUNNING;
  DWORD startDelay = kDefaultStartDelay;
  DWORD stopDelay = kDefaultStopDelay;
  DWORD stopRefusal = 0;
  DWORD startRefusal = 0;
  DWORD statusError = 0;
  DWORD openError = 0;
  uint64_t changes = 0;  // a scheduled completion only applies if no change came after it
  std::u16string dependsOn;  // key of the service this one needs running, or empty
  uint64_t started = 0;      // when it last reached RUNNING, in the order of the machine's starts
};

struct Handle {
  bool manager;
  std::u16string service;  // key of the service
  DWORD access;
};

Service Named(const std::u16string& name) {
  Service service;
  service.name = name;
  return service;
}

struct ServicesState {
  std::map<std::u16string, Service> services = {{u"spooler", Named(u"spooler")}};
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x7C000010;  // a range no other area's handles use
  DWORD managerOpenError = 0;
  bool elevated = true;
  uint64_t starts = 0;
};

ServicesState& Services() {
  static ServicesState state;
  return state;
}

void Reset() { Services() = ServicesState(); }

void EndInstaller() { Services().handles.clear(); }

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterInstallerEnd(&EndInstaller);
  }
} registrar;

std::u16string Key(const std::u16string& name) {
  std::u16string key = name;
  for (char16_t& c : key)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return key;
}

Service* FindService(const std::u16string& name) {
  auto found = Services().services.find(Key(name));
  return found == Services().services.end() ? nullptr : &found->second;
}

Service& KnownService(const std::u16string& name) {
  Service* service = FindService(name);
  if (service == nullptr) service = &(Services().services[Key(name)] = Named(name));
  return *service;
}

void Enter(Service& service, DWORD state) {
  DWORD before = service.state;
  service.state = state;
  service.changes++;
  if (state == SERVICE_RUNNING && before != SERVICE_RUNNING) service.started = ++Services().starts;
  if (state == before || Key(service.name) != u"spooler") return;
  if (state == SERVICE_STOPPED) SpoolerServiceStopped();
  if (state == SERVICE_RUNNING) SpoolerServiceStarted();
}

// Moves to `pending` now and to `final` after `delay` of virtual time.
void Change(Service& service, DWORD pending, DWORD final, DWORD delay) {
  if (delay == 0) {
    Enter(service, final);
    return;
  }
  Enter(service, pending);
  if (delay == kNeverCompletes) return;
  std::u16string key = Key(service.name);
  uint64_t expected = service.changes;
  ScheduleAfter(delay, [key, expected, final]() {
    auto found = Services().services.find(key);
    if (found != Services().services.end() && found->second.changes == expected) Enter(found->second, final);
  });
}

void FillStatus(const Service& service, LPSERVICE_STATUS status) {
  bool pending = service.state == SERVICE_START_PENDING || service.state == SERVICE_STOP_PENDING;
  *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, service.state,
                           service.state == SERVICE_RUNNING ? DWORD(SERVICE_ACCEPT_STOP) : 0u, 0, 0,
                           pending ? 1u : 0u, pending ? 2000u : 0u};
}

SC_HANDLE NewHandle(bool manager, const std::u16string& key, DWORD access) {
  uintptr_t value = Services().nextHandle;
  Services().nextHandle += 0x10;
  Services().handles[value] = Handle{manager, key, access};
  return reinterpret_cast<SC_HANDLE>(value);
}

Handle* FindHandle(SC_HANDLE handle) {
  auto found = Services().handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == Services().handles.end() ? nullptr : &found->second;
}

DWORD ManagerRights(DWORD access) {
  if (access & GENERIC_READ) access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | kManagerQueryLockStatus;
  if (access & GENERIC_WRITE) access |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | kManagerModifyBootConfig;
  if (access & GENERIC_EXECUTE) access |= kStandardRightsExecute | SC_MANAGER_CONNECT | kManagerLock;
  if (access & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
  return access & ~DWORD(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

DWORD ServiceRights(DWORD access) {
  if (access & GENERIC_READ)
    access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE) access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    access |= kStandardRightsExecute | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
              SERVICE_USER_DEFINED_CONTROL;
  if (access & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
  return access & ~DWORD(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The service behind a handle opened with `right`; null with the last error set otherwise.
Service* ServiceFor(SC_HANDLE handle, DWORD right) {
  Handle* open = FindHandle(handle);
  if (open == nullptr || open->manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((open->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return FindService(open->service);
}

// The services that depend on `key` and are not stopped, the last started first, as the
// manager lists them.
std::vector<const Service*> ActiveDependents(const std::u16string& key) {
  std::vector<const Service*> found;
  for (const auto& entry : Services().services)
    if (entry.second.dependsOn == key && entry.second.state != SERVICE_STOPPED) found.push_back(&entry.second);
  std::stable_sort(found.begin(), found.end(), [](const Service* a, const Service* b) { return a->started > b->started; });
  return found;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

SC_HANDLE Refuse(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

DWORD ServiceState(const std::u16string& name) {
  Service* service = FindService(name);
  return service ? service->state : 0;
}

void SetServiceState(const std::u16string& name, DWORD state) { Enter(KnownService(name), state); }

void SetServiceDelays(const std::u16string& name, DWORD startDelay, DWORD stopDelay) {
  KnownService(name).startDelay = startDelay;
  KnownService(name).stopDelay = stopDelay;
}

void RefuseServiceStop(const std::u16string& name, DWORD error) { KnownService(name).stopRefusal = error; }
void RefuseServiceStart(const std::u16string& name, DWORD error) { KnownService(name).startRefusal = error; }
void FailServiceStatus(const std::u16string& name, DWORD error) { KnownService(name).statusError = error; }
void FailServiceOpen(const std::u16string& name, DWORD error) { KnownService(name).openError = error; }
void FailManagerOpen(DWORD error) { Services().managerOpenError = error; }

void AddDependentService(const std::u16string& name, const std::u16string& dependsOn, DWORD state) {
  Service& service = KnownService(name);
  service.dependsOn = Key(dependsOn);
  service.state = SERVICE_STOPPED;  // so that a running one counts as started now
  Enter(service, state);
}
void SetElevated(bool elevated) { Services().elevated = elevated; }
size_t OpenServiceHandles() { return Services().handles.size(); }

}  // namespace winsim

using winsim::Services;

// The local machine's active database only.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  if (winsim::EnterCall("OpenSCManagerW", {winsim::Utf8(machine), winsim::Utf8(database), winsim::Hex(access)}))
    return nullptr;
  if (machine != nullptr && machine[0] != 0) return winsim::Refuse(RPC_S_SERVER_UNAVAILABLE);
  if (database != nullptr && winsim::Key(database) != u"servicesactive")
    return winsim::Refuse(winsim::kDatabaseDoesNotExist);
  if (Services().managerOpenError != 0) return winsim::Refuse(Services().managerOpenError);
  DWORD wanted = winsim::ManagerRights(access);
  DWORD allowed = Services().elevated ? winsim::kManagerAdminRights : winsim::kManagerUserRights;
  if ((wanted & ~allowed) != 0) return winsim::Refuse(ERROR_ACCESS_DENIED);
  // Every manager handle may connect, whatever was asked for.
  return winsim::NewHandle(true, u"", wanted | SC_MANAGER_CONNECT);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (winsim::EnterCall("OpenServiceW", {winsim::Ptr(manager), winsim::Utf8(name), winsim::Hex(access)}))
    return nullptr;
  winsim::Handle* open = winsim::FindHandle(manager);
  if (open == nullptr || !open->manager) return winsim::Refuse(ERROR_INVALID_HANDLE);
  if (name == nullptr || name[0] == 0) return winsim::Refuse(ERROR_INVALID_NAME);
  winsim::Service* service = winsim::FindService(name);
  if (service == nullptr) return winsim::Refuse(ERROR_SERVICE_DOES_NOT_EXIST);
  if (service->openError != 0) return winsim::Refuse(service->openError);
  DWORD wanted = winsim::ServiceRights(access);
  DWORD allowed = Services().elevated ? winsim::kServiceAdminRights : winsim::kServiceUserRights;
  if ((wanted & ~allowed) != 0) return winsim::Refuse(ERROR_ACCESS_DENIED);
  return winsim::NewHandle(false, winsim::Key(service->name), wanted);
}

// Only the stop control is simulated; the installer sends no other.
BOOL ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  if (winsim::EnterCall("ControlService", {winsim::Ptr(handle), std::to_string(control)})) return FALSE;
  if (control != SERVICE_CONTROL_STOP) return winsim::Fail(ERROR_CALL_NOT_IMPLEMENTED);
  winsim::Service* service = winsim::ServiceFor(handle, SERVICE_STOP);
  if (service == nullptr) return FALSE;
  if (status == nullptr) return winsim::Fail(RPC_X_NULL_REF_POINTER);
  // The manager fills the status for these refusals, as it does for a success.
  DWORD refusal = service->state == SERVICE_STOPPED         ? DWORD(ERROR_SERVICE_NOT_ACTIVE)
                  : service->state == SERVICE_STOP_PENDING  ? DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                  : service->state == SERVICE_START_PENDING ? DWORD(ERROR_INVALID_SERVICE_CONTROL)
                                                            : 0;
  if (refusal != 0) {
    winsim::FillStatus(*service, status);
    return winsim::Fail(refusal);
  }
  // The manager does not pass the stop on while services that need this one still run.
  if (!winsim::ActiveDependents(winsim::Key(service->name)).empty()) return winsim::Fail(ERROR_DEPENDENT_SERVICES_RUNNING);
  if (service->stopRefusal != 0) {
    DWORD error = service->stopRefusal;
    if (error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
      winsim::FillStatus(*service, status);
    return winsim::Fail(error);
  }
  winsim::Change(*service, SERVICE_STOP_PENDING, SERVICE_STOPPED, service->stopDelay);
  winsim::FillStatus(*service, status);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  if (winsim::EnterCall("QueryServiceStatus", {winsim::Ptr(handle)})) return FALSE;
  winsim::Service* service = winsim::ServiceFor(handle, SERVICE_QUERY_STATUS);
  if (service == nullptr) return FALSE;
  if (status == nullptr) return winsim::Fail(RPC_X_NULL_REF_POINTER);
  if (service->statusError != 0) return winsim::Fail(service->statusError);
  winsim::FillStatus(*service, status);
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE handle, DWORD argCount, LPCWSTR*) {
  if (winsim::EnterCall("StartServiceW", {winsim::Ptr(handle), std::to_string(argCount)})) return FALSE;
  winsim::Service* service = winsim::ServiceFor(handle, SERVICE_START);
  if (service == nullptr) return FALSE;
  // Its process still exists while it starts or stops, so it counts as running.
  if (service->state != SERVICE_STOPPED) return winsim::Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (service->startRefusal != 0) return winsim::Fail(service->startRefusal);
  // The manager starts a stopped service this one needs first; it runs once both have started.
  DWORD delay = service->startDelay;
  winsim::Service* needed = service->dependsOn.empty() ? nullptr : winsim::FindService(service->dependsOn);
  if (needed != nullptr && needed->state != SERVICE_RUNNING) {
    if (needed->state != SERVICE_STOPPED || needed->startRefusal != 0) return winsim::Fail(ERROR_SERVICE_DEPENDENCY_FAIL);
    winsim::Change(*needed, SERVICE_START_PENDING, SERVICE_RUNNING, needed->startDelay);
    delay = needed->startDelay == winsim::kNeverCompletes ? needed->startDelay : delay + needed->startDelay;
  }
  winsim::Change(*service, SERVICE_START_PENDING, SERVICE_RUNNING, delay);
  return TRUE;
}

// The names and states of the services that depend on this one, packed behind the records.
BOOL EnumDependentServicesW(SC_HANDLE handle, DWORD state, LPENUM_SERVICE_STATUSW services, DWORD bytes,
                            LPDWORD needed, LPDWORD returned) {
  if (winsim::EnterCall("EnumDependentServicesW", {winsim::Ptr(handle), std::to_string(state), std::to_string(bytes)}))
    return FALSE;
  winsim::Service* service = winsim::ServiceFor(handle, SERVICE_ENUMERATE_DEPENDENTS);
  if (service == nullptr) return FALSE;
  if (needed == nullptr || returned == nullptr) return winsim::Fail(RPC_X_NULL_REF_POINTER);
  if (state == 0 || (state & ~DWORD(SERVICE_STATE_ALL)) != 0) return winsim::Fail(ERROR_INVALID_PARAMETER);
  std::vector<const winsim::Service*> listed;
  for (const winsim::Service* dependent : winsim::ActiveDependents(winsim::Key(service->name)))
    if (state & SERVICE_ACTIVE) listed.push_back(dependent);
  for (const auto& entry : Services().services)
    if ((state & SERVICE_INACTIVE) && entry.second.dependsOn == winsim::Key(service->name) &&
        entry.second.state == SERVICE_STOPPED)
      listed.push_back(&entry.second);
  size_t size = listed.size() * sizeof(ENUM_SERVICE_STATUSW);
  for (const winsim::Service* dependent : listed) size += 2 * (dependent->name.size() + 1) * sizeof(WCHAR);
  *returned = 0;
  if (bytes < size) {
    *needed = static_cast<DWORD>(size);
    return winsim::Fail(ERROR_MORE_DATA);
  }
  if (services == nullptr && !listed.empty()) return winsim::Fail(RPC_X_NULL_REF_POINTER);
  WCHAR* text = reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(services) + listed.size() * sizeof(ENUM_SERVICE_STATUSW));
  for (size_t i = 0; i < listed.size(); i++) {
    const std::u16string& name = listed[i]->name;
    services[i].lpServiceName = text;
    text = std::copy(name.begin(), name.end(), text);
    *text++ = 0;
    services[i].lpDisplayName = text;  // the display name is the service's name here
    text = std::copy(name.begin(), name.end(), text);
    *text++ = 0;
    winsim::FillStatus(*listed[i], &services[i].ServiceStatus);
  }
  *returned = static_cast<DWORD>(listed.size());
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (winsim::EnterCall("CloseServiceHandle", {winsim::Ptr(handle)})) return FALSE;
  if (Services().handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return winsim::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
