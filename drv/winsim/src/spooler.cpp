// The local print spooler: its driver directory per environment.
#include <algorithm>
#include <string>

#include "winsim/machine.h"
#include "winsim/sim_spooler.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct SpoolerState {
  std::u16string driverDirectory = u"C:\\Windows\\system32\\spool\\drivers\\x64";
};

SpoolerState& Spooler() {
  static SpoolerState state;
  return state;
}

void Reset() { Spooler() = SpoolerState(); }

struct Registrar {
  Registrar() { RegisterReset(&Reset); }
} registrar;

}  // namespace
}  // namespace winsim

// Level 1 only; the size is in bytes, terminator included. Too small a buffer: 122 and the
// size needed.
BOOL GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                                LPDWORD needed) {
  if (winsim::EnterCall("GetPrinterDriverDirectoryW",
                        {winsim::Utf8(name), winsim::Utf8(environment), std::to_string(level), winsim::Ptr(buffer),
                         std::to_string(size)}))
    return FALSE;
  if (level != 1) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  const std::u16string& directory = winsim::Spooler().driverDirectory;
  DWORD bytes = static_cast<DWORD>((directory.size() + 1) * sizeof(WCHAR));
  if (needed) *needed = bytes;
  if (buffer == nullptr || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* out = reinterpret_cast<WCHAR*>(buffer);
  std::copy(directory.begin(), directory.end(), out);
  out[directory.size()] = 0;
  return TRUE;
}

namespace winsim {

void SpoolerServiceStopped() {}
void SpoolerServiceStarted() {}
void SetDriverDirectory(const std::u16string& path) { Spooler().driverDirectory = path; }

}  // namespace winsim
