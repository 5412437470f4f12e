// Checks of the printer-data calls the installer keeps a printer's settings key with: the sizes
// GetPrinterDataA and GetPrinterDataExA answer around a 64-byte buffer, and a missing value. The
// checks write values of their own name into the printer they are given (plain and under
// "DsUser", the key the installer uses), and need a spooler that lets them open it with
// PRINTER_ALL_ACCESS.
#pragma once

#include <string>

#include "conformance/conformance_check.h"
#include "platform.h"

namespace conformance {

const DWORD kDataBufferBytes = 64;

// One way of reading and writing a value: plain, or under a printer-data key.
struct DataKey {
  const char* key;  // null for GetPrinterDataA and SetPrinterDataA
  const char* label;
};

inline DWORD SetValue(HANDLE printer, const DataKey& where, const char* name, const std::string& text) {
  BYTE* data = reinterpret_cast<BYTE*>(const_cast<char*>(text.c_str()));
  DWORD bytes = static_cast<DWORD>(text.size() + 1);
  if (where.key == nullptr) return SetPrinterDataA(printer, const_cast<char*>(name), REG_SZ, data, bytes);
  return SetPrinterDataExA(printer, where.key, name, REG_SZ, data, bytes);
}

inline DWORD GetValue(HANDLE printer, const DataKey& where, const char* name, DWORD* type, BYTE* buffer,
                      DWORD* needed) {
  if (where.key == nullptr)
    return GetPrinterDataA(printer, const_cast<char*>(name), type, buffer, kDataBufferBytes, needed);
  return GetPrinterDataExA(printer, where.key, name, type, buffer, kDataBufferBytes, needed);
}

inline std::string Line(const DataKey& where, const char* what) { return std::string(where.label) + ": " + what; }

// A value never written: 2. A 63-character value in the 64-byte buffer: 0, needed 64, type
// REG_SZ, the text. A 64-character value: 234 (ERROR_MORE_DATA), needed 65.
inline void CheckValueSizes(Failures& failures, HANDLE printer, const DataKey& where) {
  BYTE buffer[kDataBufferBytes] = {0};
  DWORD type = 0, needed = 0;
  DWORD status = GetValue(printer, where, "ConformanceNeverWritten", &type, buffer, &needed);
  ExpectNumber(failures, status, ERROR_FILE_NOT_FOUND, Line(where, "a missing value").c_str());

  const std::string fits(kDataBufferBytes - 1, 'k');
  ExpectNumber(failures, SetValue(printer, where, "ConformanceSize", fits), ERROR_SUCCESS,
               Line(where, "63 characters written").c_str());
  status = GetValue(printer, where, "ConformanceSize", &type, buffer, &needed);
  ExpectNumber(failures, status, ERROR_SUCCESS, Line(where, "63 characters in 64 bytes").c_str());
  ExpectNumber(failures, needed, kDataBufferBytes, Line(where, "63 characters need 64 bytes").c_str());
  ExpectNumber(failures, type, REG_SZ, Line(where, "read back as REG_SZ").c_str());
  Expect(failures, status == ERROR_SUCCESS && std::string(reinterpret_cast<char*>(buffer)) == fits,
         Line(where, "63 characters read back").c_str());

  const std::string tooLong(kDataBufferBytes, 'k');
  ExpectNumber(failures, SetValue(printer, where, "ConformanceSize", tooLong), ERROR_SUCCESS,
               Line(where, "64 characters written").c_str());
  needed = 0;
  status = GetValue(printer, where, "ConformanceSize", &type, buffer, &needed);
  ExpectNumber(failures, status, ERROR_MORE_DATA, Line(where, "64 characters in 64 bytes").c_str());
  ExpectNumber(failures, needed, kDataBufferBytes + 1, Line(where, "64 characters need 65 bytes").c_str());
}

inline Failures RunPrinterDataChecks(const WCHAR* printerName) {
  Failures failures;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(printerName), &printer, &defaults)) {
    Expect(failures, false, "printer data: printer opened with all access");
    return failures;
  }
  CheckValueSizes(failures, printer, DataKey{nullptr, "GetPrinterDataA"});
  CheckValueSizes(failures, printer, DataKey{"DsUser", "GetPrinterDataExA DsUser"});
  ClosePrinter(printer);
  return failures;
}

}  // namespace conformance
