/* The floor a reinstall's printer work is measured against: the bare spooler calls that carry
 * every printer on the product driver over to a new printer of the same name, and nothing
 * else. For each one: read its settings key, delete it, add it again with its comment and
 * location, write the key back (plain and under "DsUser"), and make it the default again when
 * it was. No purge, no monitor check, no read-back, no tray, no driver or monitor work.
 * Prints the number of printers carried over; ends with 1 when any call failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winspool.h>

#define KEY_BYTES 64

static const wchar_t kDriver[] = L"Orvandelle printer";
static const wchar_t kPort[] = L"Orvandelle:";

typedef struct {
  wchar_t* name;
  wchar_t* comment;
  wchar_t* location;
  char key[KEY_BYTES];
  int isDefault;
} Carried;

static wchar_t* Copy(const wchar_t* text) {
  if (text == NULL) return NULL;
  size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  wchar_t* copy = malloc(bytes);
  memcpy(copy, text, bytes);
  return copy;
}

static PRINTER_INFO_2W* EnumAll(DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, count);
  BYTE* buffer = malloc(needed ? needed : 1);
  if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, buffer, needed, &needed, count)) *count = 0;
  return (PRINTER_INFO_2W*)buffer;
}

static int ReadKey(const wchar_t* name, char* key) {
  HANDLE printer = NULL;
  DWORD type = 0, size = 0;
  memset(key, 0, KEY_BYTES);
  if (!OpenPrinterW((wchar_t*)name, &printer, NULL)) return 0;
  DWORD status = GetPrinterDataA(printer, "SubKey", &type, (BYTE*)key, KEY_BYTES, &size);
  ClosePrinter(printer);
  return status == ERROR_SUCCESS && type == REG_SZ;
}

static int Delete(const wchar_t* name) {
  PRINTER_DEFAULTSW access = {NULL, NULL, DELETE | PRINTER_ACCESS_ADMINISTER};
  HANDLE printer = NULL;
  if (!OpenPrinterW((wchar_t*)name, &printer, &access)) return 0;
  BOOL deleted = DeletePrinter(printer);
  ClosePrinter(printer);
  return deleted != FALSE;
}

static int Add(const Carried* carried) {
  PRINTER_INFO_2W info;
  memset(&info, 0, sizeof info);
  info.pPrinterName = carried->name;
  info.pPortName = (wchar_t*)kPort;
  info.pDriverName = (wchar_t*)kDriver;
  info.pComment = carried->comment;
  info.pLocation = carried->location;
  info.pPrintProcessor = L"WinPrint";
  info.pDatatype = L"RAW";
  HANDLE printer = AddPrinterW(NULL, 2, (BYTE*)&info);
  if (printer == NULL) return 0;
  DWORD bytes = (DWORD)strlen(carried->key) + 1;
  DWORD plain = SetPrinterDataA(printer, "SubKey", REG_SZ, (BYTE*)carried->key, bytes);
  DWORD dsUser = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, (BYTE*)carried->key, bytes);
  ClosePrinter(printer);
  if (carried->isDefault && !SetDefaultPrinterW(carried->name)) return 0;
  return plain == ERROR_SUCCESS && dsUser == ERROR_SUCCESS;
}

int wmain(void) {
  wchar_t defaultName[512] = {0};
  DWORD size = sizeof defaultName / sizeof defaultName[0];
  if (!GetDefaultPrinterW(defaultName, &size)) defaultName[0] = 0;
  DWORD count = 0;
  PRINTER_INFO_2W* printers = EnumAll(&count);
  Carried* carried = calloc(count ? count : 1, sizeof(Carried));
  DWORD kept = 0, failures = 0;
  for (DWORD i = 0; i < count; i++) {
    if (printers[i].pDriverName == NULL || wcscmp(printers[i].pDriverName, kDriver) != 0) continue;
    Carried* c = &carried[kept];
    int hasKey = ReadKey(printers[i].pPrinterName, c->key);
    if (!Delete(printers[i].pPrinterName)) failures++;
    if (!hasKey || c->key[0] == 0) continue;
    c->name = Copy(printers[i].pPrinterName);
    c->comment = Copy(printers[i].pComment);
    c->location = Copy(printers[i].pLocation);
    c->isDefault = wcscmp(c->name, defaultName) == 0;
    kept++;
  }
  for (DWORD i = 0; i < kept; i++)
    if (!Add(&carried[i])) failures++;
  printf("carried %lu printers, %lu failures\n", (unsigned long)kept, (unsigned long)failures);
  return failures == 0 ? 0 : 1;
}
