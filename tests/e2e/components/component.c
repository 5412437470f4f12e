// Stand-in product component, built as each of the product's DLLs with the exports of its role
// alone, so that one put in another's place fails as it would: the port monitor (zelmon64.dll),
// which provides the one port "Orvandelle:" and accepts every job without printing it; the
// driver's configuration module (zelui64.dll); and the driver (zeldrv64.dll), which the spooler
// only copies and registers. Wine's spooler runs the monitor inside the calling process, and its
// AddPrinterW asks the configuration module for the default device mode through
// DocumentPropertiesW, calling the Drv exports without checking that they exist.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#ifdef COMPONENT_zelmon64
static const WCHAR kPort[] = L"Orvandelle:", kDescription[] = L"Orvandelle stand-in port";

// The record at the buffer's start, its texts behind it. Level 1's one field is level 2's first.
static BOOL WINAPI MonEnumPorts(HANDLE monitor, LPWSTR server, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                             LPDWORD returned) {
  DWORD record = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W), port = sizeof kPort;
  *needed = record + (level == 1 ? port : 2 * port + sizeof kDescription);
  *returned = 0;
  if (level != 1 && level != 2) return SetLastError(ERROR_INVALID_LEVEL), FALSE;
  if (ports == NULL || size < *needed) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  ZeroMemory(ports, record);
  PORT_INFO_2W* info = (PORT_INFO_2W*)ports;
  info->pPortName = lstrcpyW((WCHAR*)(ports + record), kPort);
  if (level == 2) {
    info->pMonitorName = lstrcpyW((WCHAR*)(ports + record + port), kPort);
    info->pDescription = lstrcpyW((WCHAR*)(ports + record + 2 * port), kDescription);
    info->fPortType = PORT_TYPE_WRITE;
  }
  *returned = 1;
  return TRUE;
}

// Port and job handles carry no state: any non-null value will do.
static BOOL WINAPI MonOpenPort(HANDLE monitor, LPWSTR name, PHANDLE port) { return *port = (HANDLE)1, TRUE; }
static BOOL WINAPI MonStartDocPort(HANDLE port, LPWSTR printer, DWORD job, DWORD level, LPBYTE info) { return TRUE; }
static BOOL WINAPI MonWritePort(HANDLE port, LPBYTE data, DWORD size, LPDWORD written) { return *written = size, TRUE; }
static BOOL WINAPI MonDone(HANDLE port) { return TRUE; }
static BOOL WINAPI MonXcvOpenPort(HANDLE monitor, LPCWSTR object, ACCESS_MASK access, PHANDLE xcv) {
  return *xcv = (HANDLE)2, TRUE;
}
static DWORD WINAPI MonXcvDataPort(HANDLE xcv, LPCWSTR name, PBYTE input, DWORD inputSize, PBYTE output,
                                DWORD outputSize, PDWORD needed) {
  if (needed != NULL) *needed = 0;
  return ERROR_INVALID_FUNCTION;
}
static VOID WINAPI MonShutdown(HANDLE monitor) {}

__declspec(dllexport) LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor) {
  static MONITOR2 table = {.cbSize = sizeof(MONITOR2), .pfnEnumPorts = MonEnumPorts, .pfnOpenPort = MonOpenPort,
                           .pfnStartDocPort = MonStartDocPort, .pfnWritePort = MonWritePort, .pfnEndDocPort = MonDone,
                           .pfnClosePort = MonDone, .pfnXcvOpenPort = MonXcvOpenPort, .pfnXcvDataPort = MonXcvDataPort,
                           .pfnXcvClosePort = MonDone, .pfnShutdown = MonShutdown};
  *monitor = (HANDLE)&table;
  return &table;
}
#endif

#ifdef COMPONENT_zelui64

// The header that the spooler hands over when there is no property sheet; mingw-w64 lacks it.
typedef struct {
  WORD cbSize, Reserved;
  HANDLE hPrinter;
  LPCWSTR pszPrinterName;
  PDEVMODEW pdmIn, pdmOut;
  DWORD cbOut, fMode;
} DocumentPropertyHeader;

// Without a property sheet: a size query answers the size of the device mode; with an output
// buffer the default mode (A4, portrait, one copy) is written there.
__declspec(dllexport) LONG WINAPI DrvDocumentPropertySheets(void* sheetInfo, LPARAM parameter) {
  DocumentPropertyHeader* header = (DocumentPropertyHeader*)parameter;
  if (sheetInfo != NULL || header == NULL) return IDOK;
  if (header->fMode == 0 || header->pdmOut == NULL) return header->cbOut = sizeof(DEVMODEW);
  if (!(header->fMode & DM_OUT_BUFFER)) return IDOK;
  DEVMODEW* mode = header->pdmOut;
  ZeroMemory(mode, sizeof *mode);
  if (header->pszPrinterName != NULL) lstrcpynW(mode->dmDeviceName, header->pszPrinterName, CCHDEVICENAME);
  mode->dmSpecVersion = DM_SPECVERSION;
  mode->dmSize = sizeof *mode;
  mode->dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  mode->dmOrientation = DMORIENT_PORTRAIT;
  mode->dmPaperSize = DMPAPER_A4;
  mode->dmCopies = 1;
  return IDOK;
}

__declspec(dllexport) DWORD WINAPI DrvDeviceCapabilities(HANDLE printer, PWSTR device, WORD capability, PVOID output,
                                                         PDEVMODEW mode) {
  return capability == DC_SIZE ? sizeof(DEVMODEW) : capability == DC_COPIES ? 1
         : capability == DC_VERSION ? DM_SPECVERSION : 0;
}

__declspec(dllexport) BOOL WINAPI DrvDriverEvent(DWORD event, DWORD level, LPBYTE data, LPARAM parameter) {
  return TRUE;
}
#endif
