// Checks of the spooler queries that must hold against any spooler that behaves as Windows'
// does: built into the host tests against winsim, and into a program run under Wine against its
// spooler. They use only the platform's calls and the queries themselves; the caller sets the
// spooler up, describes it in a SpoolerFixture and collects the failures. Where Wine answers
// otherwise than Windows documents (the environment of every monitor, no
// PRINTER_ATTRIBUTE_LOCAL), no check looks at the field.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/install_context.h"
#include "conformance/conformance_check.h"
#include "platform.h"
#include "spooler/spooler_queries.h"
#include "text/wide_text.h"

namespace conformance {

// What the set-up put into the spooler.
struct SpoolerFixture {
  const WCHAR* printerName;     // an existing printer whose driver is installed
  const WCHAR* defaultPrinter;  // the default printer, or null when none is set
  bool ownMonitorInstalled;
  bool ownDriverInstalled;
};

// Every string pointer of `count` entries lies behind the entries and inside `needed` bytes.
inline bool StringsInside(const BYTE* buffer, DWORD count, size_t entrySize, DWORD needed,
                          const std::vector<size_t>& offsets) {
  for (DWORD i = 0; i < count; i++)
    for (size_t offset : offsets) {
      const BYTE* text = *reinterpret_cast<BYTE* const*>(buffer + i * entrySize + offset);
      if (text == nullptr) continue;
      if (text < buffer + count * entrySize || text >= buffer + needed) return false;
    }
  return true;
}

// A driver list of any level, built with the two calls the queries make.
inline DriverList DriversAtLevel(DWORD level) {
  DriverList list{nullptr, level, 0};
  DWORD needed = 0, returned = 0;
  if (EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &returned) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return list;
  list.buffer = static_cast<BYTE*>(AllocateZeroed(needed));
  if (!EnumPrinterDriversW(nullptr, nullptr, level, list.buffer, needed, &needed, &list.count)) FreeDriverList(list);
  return list;
}

inline void CheckMonitorList(Failures& failures, const SpoolerFixture& fixture) {
  InstallContext context{};
  MonitorList list;
  EnumMonitorList(list, context);
  DWORD needed = 0, returned = 0;
  EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned);
  Expect(failures, list.level == 2, "monitor list: level 2");
  Expect(failures, StringsInside(list.buffer, list.count, sizeof(MONITOR_INFO_2W), needed,
                                 {offsetof(MONITOR_INFO_2W, pName), offsetof(MONITOR_INFO_2W, pEnvironment),
                                  offsetof(MONITOR_INFO_2W, pDLLName)}),
         "monitor list: strings lie behind the entries, inside the size asked for");
  Expect(failures, (FindOwnMonitor(list) >= 0) == fixture.ownMonitorInstalled, "monitor list: own monitor found");
  Expect(failures, Length(context.LogText) == 0 || list.count == 0, "monitor list: a filled list logs nothing");
  FreeMonitorList(list);
  ReleaseText(context.LogText);
}

// The same driver is found at every level from 1 to 6; a level the search does not know
// never matches.
inline void CheckDriverLevels(Failures& failures, const SpoolerFixture& fixture) {
  DriverList six;
  EnumDriverList(six, W("Windows x64"));
  int32_t expected = FindOwnDriver(six);
  Expect(failures, six.level == 6, "driver list: level 6");
  Expect(failures, (expected >= 0) == fixture.ownDriverInstalled, "driver list: own driver found");
  for (DWORD level = 1; level <= 6; level++) {
    DriverList list = DriversAtLevel(level);
    Expect(failures, FindOwnDriver(list) == expected, "driver list: the same index at levels 1 to 6");
    FreeDriverList(list);
  }
  six.level = 7;
  Expect(failures, FindOwnDriver(six) == -1, "driver list: level 7 never matches");
  FreeDriverList(six);
}

// The snapshot holds what EnumPrintersW lists, in a block 32 zero bytes longer; the default
// printer's entries, and only those, are marked.
inline void CheckSnapshot(Failures& failures, const SpoolerFixture& fixture) {
  InstallContext context{};
  MarkDefaultPrinter(context);
  PrinterSnapshot& snapshot = context.Printers;
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
  Expect(failures, snapshot.count > 0 && snapshot.buffer != nullptr, "snapshot: printers listed");
  bool slackZero = snapshot.buffer != nullptr;
  for (DWORD i = 0; slackZero && i < 32; i++) slackZero = snapshot.buffer[needed + i] == 0;
  Expect(failures, slackZero, "snapshot: the 32 bytes behind the spooler's answer stay zero");
  Expect(failures, StringsInside(snapshot.buffer, snapshot.count, sizeof(PRINTER_INFO_2W), needed,
                                 {offsetof(PRINTER_INFO_2W, pPrinterName), offsetof(PRINTER_INFO_2W, pPortName),
                                  offsetof(PRINTER_INFO_2W, pDriverName)}),
         "snapshot: strings lie behind the entries");
  bool marksRight = true;
  for (DWORD i = 0; i < snapshot.count; i++) {
    const PRINTER_INFO_2W* entry = SnapshotEntry(snapshot, i);
    bool isDefault = fixture.defaultPrinter != nullptr && TextEquals(entry->pPrinterName, fixture.defaultPrinter);
    marksRight = marksRight && ((entry->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0) == isDefault;
  }
  Expect(failures, marksRight, "snapshot: exactly the default printer is marked");
  FreePrinterSnapshot(snapshot);
  ReleaseText(context.LogText);
}

// One printer's settings and driver, and a buffer one byte short of the size asked for.
inline void CheckSinglePrinter(Failures& failures, const SpoolerFixture& fixture) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(fixture.printerName), &printer, nullptr)) {
    Expect(failures, false, "single printer: opened");
    return;
  }
  PrinterInfo2 info;
  GetPrinterInfo2(info, printer);
  const auto* entry = reinterpret_cast<const PRINTER_INFO_2W*>(info.buffer);
  Expect(failures, entry != nullptr && TextEquals(entry->pPrinterName, fixture.printerName),
         "single printer: its own name");
  if (info.buffer != nullptr) {
    DWORD needed = 0;
    BYTE* shortBuffer = static_cast<BYTE*>(AllocateZeroed(info.size));
    BOOL fitted = GetPrinterW(printer, 2, shortBuffer, info.size - 1, &needed);
    Expect(failures, !fitted && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed == info.size,
           "single printer: one byte short gives 122 and the same size");
    GlobalFree(shortBuffer);
  }
  BYTE* driver = GetDriverInfo2(printer);
  const auto* driverInfo = reinterpret_cast<const DRIVER_INFO_2W*>(driver);
  Expect(failures, driverInfo != nullptr && entry != nullptr && TextEquals(driverInfo->pName, entry->pDriverName),
         "single printer: its driver");
  Expect(failures, ClosePrinterHandle(printer) != FALSE, "single printer: closed");
  if (driver != nullptr) GlobalFree(driver);
  if (info.buffer != nullptr) GlobalFree(info.buffer);
}

// A size query (no buffer) fails with ERROR_INSUFFICIENT_BUFFER and names a size; the queries
// allocate only after that answer.
inline void ExpectSizeAnswer(Failures& failures, const Answer& answer, DWORD needed, const char* what) {
  ExpectFailure(failures, answer, ERROR_INSUFFICIENT_BUFFER, what);
  Expect(failures, needed > 0, (std::string(what) + " names a size").c_str());
}

inline void CheckSizeQueries(Failures& failures, const SpoolerFixture& fixture) {
  WCHAR* environment = const_cast<WCHAR*>(W("Windows x64"));
  DWORD needed = 0, returned = 0;
  Answer answer = Answered(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned));
  ExpectSizeAnswer(failures, answer, needed, "size query: EnumMonitorsW");
  needed = 0;
  answer = Answered(EnumPrinterDriversW(nullptr, environment, 6, nullptr, 0, &needed, &returned));
  ExpectSizeAnswer(failures, answer, needed, "size query: EnumPrinterDriversW");
  needed = 0;
  answer = Answered(EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed,
                                  &returned));
  ExpectSizeAnswer(failures, answer, needed, "size query: EnumPrintersW");
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(fixture.printerName), &printer, nullptr)) {
    Expect(failures, false, "size query: printer opened");
    return;
  }
  needed = 0;
  answer = Answered(GetPrinterW(printer, 2, nullptr, 0, &needed));
  ExpectSizeAnswer(failures, answer, needed, "size query: GetPrinterW");
  needed = 0;
  answer = Answered(GetPrinterDriverW(printer, environment, 2, nullptr, 0, &needed));
  ExpectSizeAnswer(failures, answer, needed, "size query: GetPrinterDriverW");
  ClosePrinter(printer);
}

// The ordinal GetDefaultPrinterW: with no default FALSE and ERROR_FILE_NOT_FOUND; otherwise the
// name and its length with the terminator, and for a buffer one character short FALSE,
// ERROR_INSUFFICIENT_BUFFER and that same length.
inline void CheckDefaultPrinter(Failures& failures, const SpoolerFixture& fixture) {
  WCHAR name[256] = {0};
  DWORD chars = 256;
  Answer answer = Answered(SpoolerGetDefaultPrinterW(name, &chars));
  if (fixture.defaultPrinter == nullptr) {
    ExpectFailure(failures, answer, ERROR_FILE_NOT_FOUND, "default printer: none set");
    return;
  }
  DWORD length = static_cast<DWORD>(TextLength(fixture.defaultPrinter));
  Expect(failures, answer.ok && TextEquals(name, fixture.defaultPrinter), "default printer: its name");
  ExpectNumber(failures, chars, length + 1, "default printer: its length with the terminator");
  chars = length;
  answer = Answered(SpoolerGetDefaultPrinterW(name, &chars));
  ExpectFailure(failures, answer, ERROR_INSUFFICIENT_BUFFER, "default printer: one character short");
  ExpectNumber(failures, chars, length + 1, "default printer: one character short asks for the length");
}

inline Failures RunSpoolerQueryChecks(const SpoolerFixture& fixture) {
  Failures failures;
  CheckSizeQueries(failures, fixture);
  CheckMonitorList(failures, fixture);
  CheckDriverLevels(failures, fixture);
  CheckSnapshot(failures, fixture);
  CheckSinglePrinter(failures, fixture);
  CheckDefaultPrinter(failures, fixture);
  return failures;
}

}  // namespace conformance
