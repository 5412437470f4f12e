// The simulated service control manager: set-up and inspection for tests.
//
// The machine has one service, "spooler", running. Service names are compared without case,
// as Windows does. A start or stop takes virtual time: the service shows START_PENDING or
// STOP_PENDING until the delay has passed on the clock (Sleep, Advance), then RUNNING or
// STOPPED. When "spooler" reaches STOPPED or RUNNING, the simulated spooler is told
// (SpoolerServiceStopped / SpoolerServiceStarted in sim_spooler.h).
//
// The calls behave as on Windows where the installer relies on it: ControlService STOP on a
// stopped service fails with 1062 (ERROR_SERVICE_NOT_ACTIVE), on one still starting with 1052,
// on one already stopping with 1061; StartServiceW on a service that is not stopped fails with
// 1056 (ERROR_SERVICE_ALREADY_RUNNING), also while it is still stopping, however long that
// lasts (SetServiceDelays); a call that needs a right the handle was not opened with fails with 5; a null or unknown handle fails with 6 (ERROR_INVALID_HANDLE). Every call is
// recorded, access rights in hexadecimal ("0xf0001"), and FailNext applies to each by name.
#pragma once

#include <cstddef>
#include <string>

#include "winsim/win32_types.h"

namespace winsim {

// A delay that never ends: the service stays in its pending state.
const DWORD kNeverCompletes = 0xFFFFFFFF;

// Default delays of a start and of a stop, in milliseconds.
const DWORD kDefaultStartDelay = 600;
const DWORD kDefaultStopDelay = 400;

// The state of a service now (SERVICE_STOPPED ... SERVICE_RUNNING), 0 for an unknown name.
DWORD ServiceState(const std::u16string& name);
// Puts a service into a state at once, dropping any pending change; the spooler is told as
// when the change completes by itself.
void SetServiceState(const std::u16string& name, DWORD state);
// How long the next starts and stops take (0: at once; kNeverCompletes: never).
void SetServiceDelays(const std::u16string& name, DWORD startDelay, DWORD stopDelay);

// Faults of one service, each until set back to 0: the stop request of a running service fails
// with `error` (5, 1052, ...), leaving it running; StartServiceW on a stopped one fails with
// `error` (1058 disabled, 1053 ...), leaving it stopped; QueryServiceStatus fails with `error`;
// OpenServiceW fails with `error`.
void RefuseServiceStop(const std::u16string& name, DWORD error);
void RefuseServiceStart(const std::u16string& name, DWORD error);
void FailServiceStatus(const std::u16string& name, DWORD error);
void FailServiceOpen(const std::u16string& name, DWORD error);
// OpenSCManagerW fails with `error` until set back to 0.
void FailManagerOpen(DWORD error);

// A service that depends on `dependsOn` (the fax service on "spooler"), in `state`. While it is
// not stopped, ControlService STOP on `dependsOn` fails with 1051
// (ERROR_DEPENDENT_SERVICES_RUNNING) and EnumDependentServicesW lists it, the last started
// first; StartServiceW on it starts a stopped `dependsOn` first (1068 when that start is
// refused or `dependsOn` is still stopping).
void AddDependentService(const std::u16string& name, const std::u16string& dependsOn, DWORD state);

// The process runs elevated (as the installer's manifest demands) unless set otherwise; a
// standard user gets only the read rights on the manager and the services, so
// STANDARD_RIGHTS_REQUIRED, SERVICE_START or SERVICE_STOP are refused with 5.
void SetElevated(bool elevated);

// Manager and service handles opened and not yet closed.
size_t OpenServiceHandles();

}  // namespace winsim
