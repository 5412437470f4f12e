// A program built the usual way: it imports version.dll and winspool.drv by name and loads
// the spooler's localspl.dll by name, so the search order looks in its own folder first. Run
// beside the planted DLLs, it shows that they are taken from there.
#include <windows.h>
#include <winspool.h>

int main(void) {
  DWORD handle = 0, needed = 0, returned = 0;
  WCHAR system[MAX_PATH + 16];
  GetSystemDirectoryW(system, MAX_PATH);
  lstrcatW(system, L"\\kernel32.dll");
  GetFileVersionInfoSizeW(system, &handle);
  EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &returned);
  LoadLibraryW(L"localspl.dll");
  return 0;
}
