// Stand-in configuration module of the printer driver. Wine's AddPrinterW asks it for the
// default device mode through DocumentPropertiesW and calls these exports without checking
// that they exist, so all three must be present.
#include <windows.h>
#include <winspool.h>

// The header that the spooler hands over when there is no property sheet; mingw-w64 lacks it.
typedef struct {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPCWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
} DocumentPropertyHeader;

static void FillDefaultDevMode(DEVMODEW* mode, LPCWSTR printerName) {
  ZeroMemory(mode, sizeof *mode);
  if (printerName != NULL) lstrcpynW(mode->dmDeviceName, printerName, CCHDEVICENAME);
  mode->dmSpecVersion = DM_SPECVERSION;
  mode->dmSize = sizeof *mode;
  mode->dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  mode->dmOrientation = DMORIENT_PORTRAIT;
  mode->dmPaperSize = DMPAPER_A4;
  mode->dmCopies = 1;
}

// Without a property sheet: a size query answers the size of the device mode; with an output
// buffer the default mode is written there.
__declspec(dllexport) LONG WINAPI DrvDocumentPropertySheets(void* sheetInfo, LPARAM parameter) {
  DocumentPropertyHeader* header = (DocumentPropertyHeader*)parameter;
  if (sheetInfo != NULL || header == NULL) return IDOK;
  if (header->fMode == 0 || header->pdmOut == NULL) {
    header->cbOut = sizeof(DEVMODEW);
    return sizeof(DEVMODEW);
  }
  if (header->fMode & DM_OUT_BUFFER) FillDefaultDevMode(header->pdmOut, header->pszPrinterName);
  return IDOK;
}

__declspec(dllexport) DWORD WINAPI DrvDeviceCapabilities(HANDLE printer, PWSTR deviceName, WORD capability,
                                                         PVOID output, PDEVMODEW mode) {
  switch (capability) {
    case DC_SIZE:
      return sizeof(DEVMODEW);
    case DC_COPIES:
      return 1;
    case DC_VERSION:
      return DM_SPECVERSION;
    default:
      return 0;
  }
}

__declspec(dllexport) BOOL WINAPI DrvDriverEvent(DWORD event, DWORD level, LPBYTE data, LPARAM parameter) {
  return TRUE;
}
