// The one door to the platform. On Windows the real SDK headers; on the host, winsim's
// simulated machine under the same names. Everything else includes this header only.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <winspool.h>
#include <winver.h>
#include <wtsapi32.h>
#include <userenv.h>

// Wide literal of the platform's WCHAR.
#define W(s) L##s

// winspool.drv exports the default-printer pair by ordinal only (203 and 204). These names,
// like the spooler and version functions the SDK declares, are defined by system_binding.cpp,
// which binds them at run time from the system directory: the import table names only
// Windows' known DLLs, so no DLL beside the installer is loaded in their place.
extern "C" {
BOOL WINAPI SpoolerGetDefaultPrinterW(LPWSTR buffer, LPDWORD chars);
BOOL WINAPI SpoolerSetDefaultPrinterW(LPCWSTR printerName);
}

// Every DLL loaded from here on comes from the system directory, never from the installer's
// own folder or the current directory. RunCommand calls it first.
void LimitDllSearchToSystemDirectory();
#else
#include "winsim/win32.h"

#define W(s) u##s
#endif

// Every buffer the program owns, apart from text, is a zero-filled fixed global block.
inline void* AllocateZeroed(SIZE_T bytes) {
  BYTE* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes));
  if (block != nullptr)
    for (SIZE_T i = 0; i < bytes; i++) block[i] = 0;
  return block;
}
