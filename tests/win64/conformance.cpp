// The conformance checks that the host tests run against winsim, here against Wine's own
// spooler and system, with the same fixtures. The program changes the machine (a monitor,
// drivers, printers, the default printer), so it runs in a throwaway prefix of its own
// (tests/conformance/fresh_prefix.py), never in the prefix the other Windows tests share. It
// sets the spooler up itself with the stand-in product components the build puts in
// e2e\components\2547 beside it.
#include "conformance/printer_data_conformance.h"
#include "conformance/spooler_queries_conformance.h"
#include "conformance/system_conformance.h"
#include "win64_check.h"

namespace {

const wchar_t kEnvironment[] = L"Windows x64";

std::wstring OwnDirectory() {
  wchar_t self[MAX_PATH] = {0};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
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
}

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

int wmain() {
  Report("system", conformance::RunSystemChecks(L"C:\\windows\\temp\\conformance.tmp"));
  if (!SetUpWithoutTheProduct()) return 1;
  Report("without the product", conformance::RunSpoolerQueryChecks({L"Text", nullptr, false, false}));
  Report("printer data (Text)", conformance::RunPrinterDataChecks(L"Text"));
  if (!SetUpWithTheProduct()) return 1;
  Report("with the product", conformance::RunSpoolerQueryChecks({L"Orvandelle", L"Orvandelle", true, true}));
  Report("printer data (Orvandelle)", conformance::RunPrinterDataChecks(L"Orvandelle"));
  return Verdict("conformance");
}
