// Stand-in port monitor for the end-to-end tests: it provides the one port "Orvandelle:" and
// accepts every job without printing it. Wine's spooler runs it inside the calling process.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

static const WCHAR kPortName[] = L"Orvandelle:";
static const WCHAR kMonitorName[] = L"Orvandelle:";
static const WCHAR kDescription[] = L"Orvandelle stand-in port";

static DWORD TextBytes(const WCHAR* text) { return (lstrlenW(text) + 1) * sizeof(WCHAR); }

// Strings go to the end of the caller's buffer, records to its start, as the spooler expects.
static WCHAR* PlaceText(BYTE** end, const WCHAR* text) {
  DWORD bytes = TextBytes(text);
  *end -= bytes;
  CopyMemory(*end, text, bytes);
  return (WCHAR*)*end;
}

static BOOL WINAPI MonEnumPorts(HANDLE monitor, LPWSTR server, DWORD level, LPBYTE ports, DWORD size,
                                LPDWORD needed, LPDWORD returned) {
  DWORD bytes;
  if (level == 1)
    bytes = sizeof(PORT_INFO_1W) + TextBytes(kPortName);
  else if (level == 2)
    bytes = sizeof(PORT_INFO_2W) + TextBytes(kPortName) + TextBytes(kMonitorName) + TextBytes(kDescription);
  else {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *needed = bytes;
  *returned = 0;
  if (ports == NULL || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* end = ports + bytes;
  if (level == 1) {
    PORT_INFO_1W* info = (PORT_INFO_1W*)ports;
    info->pName = PlaceText(&end, kPortName);
  } else {
    PORT_INFO_2W* info = (PORT_INFO_2W*)ports;
    info->pPortName = PlaceText(&end, kPortName);
    info->pMonitorName = PlaceText(&end, kMonitorName);
    info->pDescription = PlaceText(&end, kDescription);
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

// Port and job handles carry no state: any non-null value will do.
static BOOL WINAPI MonOpenPort(HANDLE monitor, LPWSTR name, PHANDLE port) {
  *port = (HANDLE)(ULONG_PTR)1;
  return TRUE;
}

static BOOL WINAPI MonStartDocPort(HANDLE port, LPWSTR printer, DWORD job, DWORD level, LPBYTE info) {
  return TRUE;
}

static BOOL WINAPI MonWritePort(HANDLE port, LPBYTE data, DWORD size, LPDWORD written) {
  *written = size;
  return TRUE;
}

static BOOL WINAPI MonEndDocPort(HANDLE port) {
  return TRUE;
}

static BOOL WINAPI MonClosePort(HANDLE port) {
  return TRUE;
}

static BOOL WINAPI MonXcvOpenPort(HANDLE monitor, LPCWSTR object, ACCESS_MASK access, PHANDLE xcv) {
  *xcv = (HANDLE)(ULONG_PTR)2;
  return TRUE;
}

static DWORD WINAPI MonXcvDataPort(HANDLE xcv, LPCWSTR name, PBYTE input, DWORD inputSize, PBYTE output,
                                   DWORD outputSize, PDWORD needed) {
  if (needed != NULL) *needed = 0;
  return ERROR_INVALID_FUNCTION;
}

static BOOL WINAPI MonXcvClosePort(HANDLE xcv) {
  return TRUE;
}

static VOID WINAPI MonShutdown(HANDLE monitor) {}

static MONITOR2 monitorTable;

__declspec(dllexport) LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor) {
  ZeroMemory(&monitorTable, sizeof monitorTable);
  monitorTable.cbSize = sizeof monitorTable;
  monitorTable.pfnEnumPorts = MonEnumPorts;
  monitorTable.pfnOpenPort = MonOpenPort;
  monitorTable.pfnStartDocPort = MonStartDocPort;
  monitorTable.pfnWritePort = MonWritePort;
  monitorTable.pfnEndDocPort = MonEndDocPort;
  monitorTable.pfnClosePort = MonClosePort;
  monitorTable.pfnXcvOpenPort = MonXcvOpenPort;
  monitorTable.pfnXcvDataPort = MonXcvDataPort;
  monitorTable.pfnXcvClosePort = MonXcvClosePort;
  monitorTable.pfnShutdown = MonShutdown;
  *monitor = (HANDLE)&monitorTable;
  return &monitorTable;
}
