// The conformance checks against Wine's own spooler and system. The program changes the machine
// (a monitor, drivers, printers, the spooler service's configuration), so it runs in a throwaway
// prefix (tests/conformance/fresh_prefix.py). It sets the spooler up with the stand-in product
// components the build puts in e2e\components\2547 beside it, and is its own helper: a second
// copy of it holds a file, and another stands in for a spooler service that accepts no STOP.
#include "conformance/checks.h"
#include "win64_check.h"

namespace {

using conformance::Hold;
using conformance::Refusal;

const wchar_t kEnvironment[] = L"Windows x64";

std::wstring OwnPath() {
  wchar_t self[MAX_PATH] = {0};
  return std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
}

// A set-up step that failed leaves the checks nothing to look at: the run ends there.
bool SetUp(bool ok, const std::string& what) {
  if (!ok) std::printf("SET-UP FAILED: %s (error %lu)\n", what.c_str(), GetLastError());
  return ok;
}

bool CopyComponent(const wchar_t* name, const std::wstring& target) {
  std::wstring self = OwnPath(), source = self.substr(0, self.find_last_of(L'\\') + 1) + L"e2e\\components\\2547\\";
  return SetUp(CopyFileW((source + name).c_str(), target.c_str(), FALSE) != FALSE, Narrow(target));
}

// The stand-in driver and configuration module under the given names, added as the installer adds.
bool AddFixtureDriver(const wchar_t* name, const wchar_t* driverFile, const wchar_t* configFile) {
  wchar_t directory[MAX_PATH] = {0};
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(kEnvironment), 1, reinterpret_cast<BYTE*>(directory),
                             sizeof directory, &needed);
  std::wstring driver = std::wstring(directory) + L"\\" + driverFile, config = std::wstring(directory) + L"\\" + configFile;
  if (!CopyComponent(L"zeldrv64.dll", driver) || !CopyComponent(L"zelui64.dll", config)) return false;
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = const_cast<wchar_t*>(name);
  info.pEnvironment = const_cast<wchar_t*>(kEnvironment);
  info.pDriverPath = info.pDataFile = &driver[0];
  info.pConfigFile = &config[0];
  return SetUp(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES), "AddPrinterDriverExW");
}

// Another maker's driver and one printer on FILE:, with no default printer set.
bool SetUpWithoutTheProduct() {
  return AddFixtureDriver(L"Other printer", L"othdrv64.dll", L"othui64.dll") &&
         SetUp(conformance::AddPrinterAnswer(L"Text", L"FILE:", L"Other printer") == 0, "AddPrinterW");
}

// The product's monitor, driver and printer on its port, made the default.
bool SetUpWithTheProduct() {
  wchar_t system[MAX_PATH] = {0};
  GetSystemDirectoryW(system, MAX_PATH);
  MONITOR_INFO_2W monitor = {const_cast<wchar_t*>(L"Orvandelle:"), const_cast<wchar_t*>(kEnvironment),
                             const_cast<wchar_t*>(L"zelmon64.dll")};
  return CopyComponent(L"zelmon64.dll", std::wstring(system) + L"\\zelmon64.dll") &&
         SetUp(AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor)), "AddMonitorW") &&
         AddFixtureDriver(L"Orvandelle printer", L"zeldrv64.dll", L"zelui64.dll") &&
         SetUp(conformance::AddPrinterAnswer(L"Orvandelle", L"Orvandelle:", L"Orvandelle printer") == 0, "AddPrinterW") &&
         SetUp(SpoolerSetDefaultPrinterW(L"Orvandelle"), "SetDefaultPrinterW");
}

void Report(const char* fixture, const conformance::Failures& failures) {
  std::printf("%s: %zu failed\n", fixture, failures.lines.size());
  for (const std::string& line : failures.lines) Check(false, (std::string(fixture) + ": " + line).c_str());
  for (const std::string& note : failures.wineNotes) std::printf("  wine differs: %s\n", note.c_str());
}

// --- Held files: a copy of this program holds them, as the spooler's process would -----------
HANDLE holder = nullptr;

HANDLE Event(const wchar_t* name) { return CreateEventW(nullptr, TRUE, FALSE, name); }

void ReleaseInCopy(const wchar_t*) {
  HANDLE release = Event(L"orvinst-conformance-release");
  SetEvent(release);
  if (holder != nullptr) WaitForSingleObject(holder, 20000), CloseHandle(holder);
  holder = nullptr;
  ResetEvent(release);
  CloseHandle(release);
}

bool HoldInCopy(const wchar_t* path, Hold how) {
  if (!CopyComponent(L"zeldrv64.dll", path)) return false;
  std::wstring line = L"\"" + OwnPath() + L"\" hold " + std::to_wstring(static_cast<int>(how)) + L" \"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  HANDLE held = Event(L"orvinst-conformance-held");
  ResetEvent(held);
  bool ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) &&
            (CloseHandle(process.hThread), holder = process.hProcess, WaitForSingleObject(held, 20000) == WAIT_OBJECT_0);
  CloseHandle(held);
  if (!ok) ReleaseInCopy(path);
  return SetUp(ok, "holding copy");
}

// The holding copy: loads or opens the file, says so, and lets go when told.
int HoldUntilReleased(Hold how, const wchar_t* path) {
  HANDLE release = Event(L"orvinst-conformance-release");
  HMODULE module = how == Hold::Loaded ? LoadLibraryW(path) : nullptr;
  HANDLE file = how == Hold::Loaded ? INVALID_HANDLE_VALUE
                                    : CreateFileW(path, GENERIC_READ, how == Hold::OpenedUnshared ? 0 : FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (module == nullptr && file == INVALID_HANDLE_VALUE) return 1;
  SetEvent(Event(L"orvinst-conformance-held"));
  WaitForSingleObject(release, 60000);
  if (module != nullptr) FreeLibrary(module);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}

// --- Service refusals through the service manager's own configuration, put back afterwards ---
// Disabled: start type 4. Ignoring STOP: the spooler's image is a copy of this program running
// as a service that accepts no control.
DWORD savedStartType = SERVICE_NO_CHANGE;
std::wstring savedImage;

bool ChangeSpooler(DWORD startType, const wchar_t* image) {
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
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return SetUp(ok, "ChangeServiceConfigW");
}

bool RefuseInManager(Refusal refusal) {
  if (refusal == Refusal::Disabled) return ChangeSpooler(SERVICE_DISABLED, nullptr);
  return ChangeSpooler(SERVICE_NO_CHANGE, (L"\"" + OwnPath() + L"\" service").c_str());
}

void WithdrawInManager(Refusal refusal) {
  if (refusal == Refusal::Disabled) return static_cast<void>(ChangeSpooler(savedStartType, nullptr));
  HANDLE end = Event(L"orvinst-conformance-service-end");
  SetEvent(end);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS) : nullptr;
  SetUp(service != nullptr && conformance::ReachesState(service, SERVICE_STOPPED), "the stand-in service ended");
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  ResetEvent(end);
  CloseHandle(end);
  ChangeSpooler(SERVICE_NO_CHANGE, savedImage.c_str());
}

DWORD WINAPI IgnoreControls(DWORD control, DWORD, void*, void*) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Runs until the check sets the end event, accepting no control at all.
void WINAPI RunIgnoringStop(DWORD, wchar_t**) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(L"spooler", IgnoreControls, nullptr);
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, NO_ERROR, 0, 0, 0};
  SetServiceStatus(handle, &status);
  WaitForSingleObject(Event(L"orvinst-conformance-service-end"), 60000);
  status.dwCurrentState = SERVICE_STOPPED;
  SetServiceStatus(handle, &status);
}

const conformance::Machine kWindows = {HoldInCopy, ReleaseInCopy, RefuseInManager, WithdrawInManager};

}  // namespace

// Besides the checks: "hold HOW PATH" is the holding copy, "service" the service ignoring STOP.
int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"hold") return HoldUntilReleased(static_cast<Hold>(_wtoi(argv[2])), argv[3]);
  if (argc == 2 && std::wstring(argv[1]) == L"service") {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"spooler"), RunIgnoringStop}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }
  bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  Report("system", conformance::RunSystemChecks(L"C:\\windows\\temp\\conformance.tmp"));
  conformance::Failures changes;
  conformance::CheckHeldFiles(changes, kWindows, L"C:\\windows\\temp\\conformance-held.dll");
  conformance::CheckServiceAnswers(changes, kWindows);
  Report("held files and the service", changes);
  if (!SetUpWithoutTheProduct()) return 1;
  Report("without the product", conformance::RunSpoolerQueryChecks({L"Text", nullptr, false, false}));
  changes = conformance::Failures();
  conformance::CheckPrinterChanges(changes, wine, L"Other printer");
  Report("printers added and deleted", changes);
  if (!SetUpWithTheProduct()) return 1;
  Report("with the product", conformance::RunSpoolerQueryChecks({L"Orvandelle", L"Orvandelle", true, true}));
  changes = conformance::Failures();
  conformance::CheckMonitorAndDriverChanges(changes, wine, L"zelmon64.dll", L"Orvandelle printer");  // last: Wine deletes the monitor
  Report("monitor and driver changes", changes);
  return Verdict("conformance");
}
