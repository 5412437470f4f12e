// The conformance checks that the host tests run against winsim, here against Wine's own
// spooler and system, with the same fixtures. The program changes the machine (a monitor,
// drivers, printers, the default printer, the spooler service's configuration), so it runs in
// a throwaway prefix of its own (tests/conformance/fresh_prefix.py), never in the prefix the
// other Windows tests share. It sets the spooler up itself with the stand-in product components
// the build puts in e2e\components\2547 beside it, and is its own helper: a second copy of it
// holds a file, and another stands in for the spooler service that accepts no STOP.
#include "conformance/printer_data_conformance.h"
#include "conformance/spooler_queries_conformance.h"
#include "conformance/state_changes_conformance.h"
#include "conformance/system_conformance.h"
#include "win64_check.h"

namespace {

using conformance::Hold;
using conformance::Refusal;

const wchar_t kEnvironment[] = L"Windows x64";

std::wstring OwnPath() {
  wchar_t self[MAX_PATH] = {0};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::wstring(self, length);
}

std::wstring OwnDirectory() {
  std::wstring path = OwnPath();
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring ComponentPath(const wchar_t* name) { return OwnDirectory() + L"e2e\\components\\2547\\" + name; }

std::wstring SystemDirectory() {
  wchar_t directory[MAX_PATH] = {0};
  GetSystemDirectoryW(directory, MAX_PATH);
  return std::wstring(directory) + L"\\";
}

std::wstring DriverDirectory() {
  wchar_t directory[MAX_PATH] = {0};
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(kEnvironment), 1, reinterpret_cast<BYTE*>(directory),
                             sizeof directory, &needed);
  return std::wstring(directory) + L"\\";
}

// A set-up step that failed leaves the checks nothing to look at: the run ends there.
bool SetUp(bool ok, const char* what) {
  if (!ok) std::printf("SET-UP FAILED: %s (error %lu)\n", what, GetLastError());
  return ok;
}

bool CopyComponent(const wchar_t* name, const std::wstring& target) {
  return SetUp(CopyFileW(ComponentPath(name).c_str(), target.c_str(), FALSE) != FALSE, Narrow(target).c_str());
}

// A driver from the stand-in driver and configuration module, staged under the given names in
// the driver directory and added at level 6 as the installer adds its own.
bool AddFixtureDriver(const wchar_t* name, const std::wstring& driverFile, const std::wstring& configFile) {
  std::wstring directory = DriverDirectory();
  std::wstring driver = directory + driverFile, config = directory + configFile;
  if (!CopyComponent(L"zeldrv64.dll", driver) || !CopyComponent(L"zelui64.dll", config)) return false;
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = const_cast<wchar_t*>(name);
  info.pEnvironment = const_cast<wchar_t*>(kEnvironment);
  info.pDriverPath = &driver[0];
  info.pDataFile = &driver[0];
  info.pConfigFile = &config[0];
  return SetUp(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES) != FALSE,
               "AddPrinterDriverExW");
}

// Wine refuses a null data type, so "RAW" is named, as the installer does.
bool AddFixturePrinter(const wchar_t* name, const wchar_t* port, const wchar_t* driver) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<wchar_t*>(name);
  info.pPortName = const_cast<wchar_t*>(port);
  info.pDriverName = const_cast<wchar_t*>(driver);
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!SetUp(printer != nullptr, "AddPrinterW")) return false;
  ClosePrinter(printer);
  return true;
}

// The product's monitor DLL in the system directory, registered as the installer registers it.
bool AddOwnMonitor() {
  if (!CopyComponent(L"zelmon64.dll", SystemDirectory() + L"zelmon64.dll")) return false;
  MONITOR_INFO_2W info = {const_cast<wchar_t*>(L"Orvandelle:"), const_cast<wchar_t*>(kEnvironment),
                          const_cast<wchar_t*>(L"zelmon64.dll")};
  return SetUp(AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info)) != FALSE, "AddMonitorW");
}

void Report(const char* fixture, const conformance::Failures& failures) {
  std::printf("%s: %zu failed\n", fixture, failures.lines.size());
  for (const std::string& line : failures.lines) Check(false, (std::string(fixture) + ": " + line).c_str());
  for (const std::string& note : failures.wineNotes) std::printf("  wine differs: %s\n", note.c_str());
}

bool OnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// --- Held files: a copy of this program holds them, as the spooler's process would -------------
const wchar_t kHeldEvent[] = L"orvinst-conformance-held";
const wchar_t kReleaseEvent[] = L"orvinst-conformance-release";
HANDLE holder = nullptr;

bool StartCopy(const std::wstring& arguments, HANDLE* process) {
  std::wstring line = L"\"" + OwnPath() + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
  CloseHandle(info.hThread);
  *process = info.hProcess;
  return true;
}

// Tells the holding copy to let go and waits until it has ended.
void ReleaseInCopy(const wchar_t*) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  SetEvent(release);
  if (holder != nullptr) {
    WaitForSingleObject(holder, 20000);
    CloseHandle(holder);
    holder = nullptr;
  }
  ResetEvent(release);
  CloseHandle(release);
}

bool HoldInCopy(const wchar_t* path, Hold how) {
  if (!CopyComponent(L"zeldrv64.dll", path)) return false;
  const wchar_t* verb = how == Hold::Loaded ? L"load" : how == Hold::OpenedUnshared ? L"open0" : L"openread";
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kHeldEvent);
  ResetEvent(held);
  bool ok = StartCopy(std::wstring(L"hold ") + verb + L" \"" + path + L"\"", &holder) &&
            WaitForSingleObject(held, 20000) == WAIT_OBJECT_0;
  CloseHandle(held);
  if (!ok) ReleaseInCopy(path);
  return SetUp(ok, "holding copy");
}

// The holding copy: loads or opens the file, says so, and lets go when told.
int HoldUntilReleased(const std::wstring& verb, const wchar_t* path) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  HMODULE module = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (verb == L"load")
    module = LoadLibraryW(path);
  else
    file = CreateFileW(path, GENERIC_READ, verb == L"open0" ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (module == nullptr && file == INVALID_HANDLE_VALUE) return 1;
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kHeldEvent);
  SetEvent(held);
  WaitForSingleObject(release, 60000);
  if (module != nullptr) FreeLibrary(module);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  CloseHandle(held);
  CloseHandle(release);
  return 0;
}

// --- Service refusals: the service manager's own configuration, put back afterwards -----------
// Disabled: start type 4. Ignoring STOP: the spooler's image replaced by a copy of this program
// that runs as a service accepting no control.
const wchar_t kServiceEndEvent[] = L"orvinst-conformance-service-end";
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
    if (ok) {
      savedStartType = config->dwStartType;
      savedImage = config->lpBinaryPathName;
    }
  }
  ok = ok && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, image, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr) != FALSE;
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return SetUp(ok, "ChangeServiceConfigW");
}

bool RefuseInManager(Refusal refusal) {
  if (refusal == Refusal::Disabled) return ChangeSpooler(SERVICE_DISABLED, nullptr);
  std::wstring image = L"\"" + OwnPath() + L"\" service";
  return ChangeSpooler(SERVICE_NO_CHANGE, image.c_str());
}

void WithdrawInManager(Refusal refusal) {
  if (refusal == Refusal::Disabled) {
    ChangeSpooler(savedStartType, nullptr);
    return;
  }
  HANDLE end = CreateEventW(nullptr, TRUE, FALSE, kServiceEndEvent);
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

SERVICE_STATUS_HANDLE serviceStatus = nullptr;

DWORD WINAPI IgnoreControls(DWORD control, DWORD, void*, void*) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void ReportState(DWORD state) {
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, 0, NO_ERROR, 0, 0, 0};
  SetServiceStatus(serviceStatus, &status);
}

// Runs until the check sets the end event, accepting no control at all.
void WINAPI RunIgnoringStop(DWORD, wchar_t**) {
  serviceStatus = RegisterServiceCtrlHandlerExW(L"spooler", IgnoreControls, nullptr);
  HANDLE end = CreateEventW(nullptr, TRUE, FALSE, kServiceEndEvent);
  ReportState(SERVICE_RUNNING);
  WaitForSingleObject(end, 60000);
  CloseHandle(end);
  ReportState(SERVICE_STOPPED);
}

const conformance::Machine kWindows = {HoldInCopy, ReleaseInCopy, RefuseInManager, WithdrawInManager};

// Another maker's driver and one printer on FILE:, with no default printer set.
bool SetUpWithoutTheProduct() {
  return AddFixtureDriver(L"Other printer", L"othdrv64.dll", L"othui64.dll") &&
         AddFixturePrinter(L"Text", L"FILE:", L"Other printer");
}

// The product's monitor and driver, its printer on its port, made the default.
bool SetUpWithTheProduct() {
  return AddOwnMonitor() && AddFixtureDriver(L"Orvandelle printer", L"zeldrv64.dll", L"zelui64.dll") &&
         AddFixturePrinter(L"Orvandelle", L"Orvandelle:", L"Orvandelle printer") &&
         SetUp(SpoolerSetDefaultPrinterW(L"Orvandelle") != FALSE, "SetDefaultPrinterW");
}

}  // namespace

// Besides the checks: "hold VERB PATH" is the holding copy, "service" the service that ignores STOP.
int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"hold") return HoldUntilReleased(argv[2], argv[3]);
  if (argc == 2 && std::wstring(argv[1]) == L"service") {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"spooler"), RunIgnoringStop}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }
  bool wine = OnWine();
  Report("system", conformance::RunSystemChecks(L"C:\\windows\\temp\\conformance.tmp"));
  conformance::Failures changes;
  conformance::CheckHeldFiles(changes, kWindows, L"C:\\windows\\temp\\conformance-held.dll");
  conformance::CheckServiceAnswers(changes, kWindows);
  Report("held files and the service", changes);
  if (!SetUpWithoutTheProduct()) return 1;
  Report("without the product", conformance::RunSpoolerQueryChecks({L"Text", nullptr, false, false}));
  Report("printer data (Text)", conformance::RunPrinterDataChecks(L"Text"));
  changes = conformance::Failures();
  conformance::CheckPrinterChanges(changes, wine, L"Other printer");
  Report("printers added and deleted", changes);
  if (!SetUpWithTheProduct()) return 1;
  Report("with the product", conformance::RunSpoolerQueryChecks({L"Orvandelle", L"Orvandelle", true, true}));
  Report("printer data (Orvandelle)", conformance::RunPrinterDataChecks(L"Orvandelle"));
  // Last: under Wine it deletes the monitor.
  changes = conformance::Failures();
  conformance::CheckMonitorAndDriverChanges(changes, wine, L"zelmon64.dll", L"Orvandelle printer");
  Report("monitor and driver changes", changes);
  return Verdict("conformance");
}
