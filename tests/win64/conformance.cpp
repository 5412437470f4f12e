// The conformance checks against Wine's own spooler and system. The program changes the machine
// (a monitor, drivers, printers, the spooler service's configuration), so it runs in a throwaway
// prefix (tests/e2e/wine-scenario). It sets the spooler up with the stand-in product
// components the build puts in e2e\components\2547 beside it, and is its own helper: a second
// copy of it stands in for a spooler service that accepts no STOP.
#include "conformance/checks.h"
#include "win64_check.h"

namespace {

using conformance::Refusal;

std::wstring OwnPath() {
  wchar_t self[MAX_PATH] = {0};
  return std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
}

bool SetUp(bool ok, const std::string& what) {
  if (!ok) std::printf("SET-UP FAILED: %s (error %lu)\n", what.c_str(), GetLastError());
  return ok;
}

HANDLE Event(const wchar_t* name) { return CreateEventW(nullptr, TRUE, FALSE, name); }

// --- Service refusals through the service manager's own configuration, put back afterwards ---
// Disabled: start type 4. Ignoring STOP: the spooler's image is a copy of this program running
// as a service that accepts no control.
DWORD savedStartType = SERVICE_NO_CHANGE;
std::wstring savedImage;

bool ChangeSpooler(DWORD startType, const wchar_t* image, bool endStandIn = false) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"spooler", SERVICE_ALL_ACCESS) : nullptr;
  bool ok = service != nullptr;
  if (ok && savedImage.empty()) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::string buffer(needed, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(&buffer[0]);
    ok = QueryServiceConfigW(service, config, needed, &needed) != FALSE;
    if (ok) savedStartType = config->dwStartType, savedImage = config->lpBinaryPathName;
  }
  ok = ok && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, image, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr) != FALSE;
  if (ok && endStandIn) ok = SetEvent(Event(L"orvinst-conformance-service-end")) &&
                            conformance::ReachesState(service, SERVICE_STOPPED);
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return SetUp(ok, "ChangeServiceConfigW");
}

// Runs until the check sets the end event, accepting no control at all.
void WINAPI RunIgnoringStop(DWORD, wchar_t**) {
  auto ignore = [](DWORD control, DWORD, void*, void*) -> DWORD {
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
  };
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(L"spooler", ignore, nullptr);
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, NO_ERROR, 0, 0, 0};
  SetServiceStatus(handle, &status);
  WaitForSingleObject(Event(L"orvinst-conformance-service-end"), 60000);
  status.dwCurrentState = SERVICE_STOPPED;
  SetServiceStatus(handle, &status);
}

}  // namespace

// Besides the checks: "service" is the stand-in service that ignores STOP.
int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"service") {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"spooler"), RunIgnoringStop}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }
  const conformance::Side side = {
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr,
      [](const wchar_t* name, const wchar_t* target) {
        std::wstring self = OwnPath(), source = self.substr(0, self.find_last_of(L'\\') + 1) + L"e2e\\components\\";
        return SetUp(CopyFileW((source + L"2547\\" + name).c_str(), target, FALSE) != FALSE, Narrow(target));
      },
      [](Refusal refusal, bool on) {
        if (refusal == Refusal::Disabled) return ChangeSpooler(on ? SERVICE_DISABLED : savedStartType, nullptr);
        if (on) return ChangeSpooler(SERVICE_NO_CHANGE, (L"\"" + OwnPath() + L"\" service").c_str());
        return ChangeSpooler(SERVICE_NO_CHANGE, savedImage.c_str(), true);
      }};
  conformance::Failures failures = conformance::Run(side);
  for (const std::string& line : failures.lines) Check(false, line);
  for (const std::string& note : failures.wineNotes) std::printf("  wine differs: %s\n", note.c_str());
  return Verdict("conformance");
}
