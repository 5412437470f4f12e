// Checks of the answers the installer relies on when it changes the machine: files another
// process holds, the spooler service's control answers, printers, monitors and drivers added
// and deleted, and the default printer after its printer is deleted. One source for winsim and
// Wine like the query checks; what differs per platform (how a file comes to be held, how the
// service is made to refuse) is the caller's set-up hook. Where Wine answers otherwise than
// Windows, the check names Wine's answer in place, accepts only that one under Wine and adds a
// line to `wineNotes`.
#pragma once

#include <string>

#include "conformance/conformance_check.h"
#include "platform.h"
#include "text/wide_text.h"

namespace conformance {

enum class Hold { Loaded, OpenedUnshared, OpenedForReading };
enum class Refusal { IgnoresStop, Disabled };

// The platform's part. `hold` creates `path` and has another process hold it as told;
// `refuse` makes the "spooler" service refuse from now on, `withdraw` puts it back as it was.
struct Machine {
  bool (*hold)(const WCHAR* path, Hold how);
  void (*release)(const WCHAR* path);
  bool (*refuse)(Refusal refusal);
  void (*withdraw)(Refusal refusal);
};

// Windows' failure with `windowsError` is required; under Wine, where the call succeeds instead,
// that success is, and the difference is noted.
inline void ExpectAnswer(Failures& failures, bool wine, const Answer& answer, DWORD windowsError, const char* what) {
  if (!wine) return ExpectFailure(failures, answer, windowsError, what);
  if (!answer.ok)
    return ExpectNumber(failures, answer.error, 0, (std::string(what) + " (Wine succeeds)").c_str());
  failures.wineNotes.push_back(std::string(what) + ": Wine succeeds (Windows: " + std::to_string(windowsError) + ")");
}

// Before each call, so that an error read after a failure cannot be a stale one.
inline void Poisoned() { SetLastError(0xdeadbeef); }

// --- Held files -------------------------------------------------------------------------------
// A loaded module: deleting it gives 5, writing 32, reading works. An open without sharing:
// 32 for all three. An open that shares reading: 32 for deleting and writing. Once let go, the
// file can be deleted.
inline void CheckHeldFile(Failures& failures, const Machine& machine, const WCHAR* path, Hold how,
                          const std::string& label) {
  if (!machine.hold(path, how)) {
    Expect(failures, false, (label + ": set up").c_str());
    return;
  }
  Poisoned();
  Answer answer = Answered(DeleteFileW(path));
  ExpectFailure(failures, answer, how == Hold::Loaded ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION,
                (label + ": DeleteFileW").c_str());
  const DWORD modes[2][3] = {{GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS},
                             {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING}};
  for (const DWORD* mode : modes) {
    bool reading = mode[0] == GENERIC_READ;
    Poisoned();
    HANDLE file = CreateFileW(path, mode[0], mode[1], nullptr, mode[2], FILE_ATTRIBUTE_NORMAL, nullptr);
    Answer open{file != INVALID_HANDLE_VALUE, file != INVALID_HANDLE_VALUE ? 0 : GetLastError()};
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    std::string what = label + (reading ? ": opened for reading" : ": opened for writing");
    if (reading && how != Hold::OpenedUnshared)
      Expect(failures, open.ok, what.c_str());
    else
      ExpectFailure(failures, open, ERROR_SHARING_VIOLATION, what.c_str());
  }
  machine.release(path);
  Expect(failures, DeleteFileW(path) != FALSE, (label + ": deleted once let go").c_str());
}

inline void CheckHeldFiles(Failures& failures, const Machine& machine, const WCHAR* path) {
  CheckHeldFile(failures, machine, path, Hold::Loaded, "held file (loaded)");
  CheckHeldFile(failures, machine, path, Hold::OpenedUnshared, "held file (opened, share 0)");
  CheckHeldFile(failures, machine, path, Hold::OpenedForReading, "held file (opened, share read)");
}

// --- The spooler service ------------------------------------------------------------------------
inline bool ReachesState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status = {};
  for (int poll = 0; poll <= 100; poll++) {
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
    Sleep(200);
  }
  return false;
}

inline void ExpectStop(Failures& failures, SC_HANDLE service, const char* what) {
  SERVICE_STATUS status = {};
  Expect(failures, ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE, what);
  Expect(failures, ReachesState(service, SERVICE_STOPPED), (std::string(what) + ": stopped").c_str());
}

inline void ExpectStart(Failures& failures, SC_HANDLE service, const char* what) {
  Expect(failures, StartServiceW(service, 0, nullptr) != FALSE, what);
  Expect(failures, ReachesState(service, SERVICE_RUNNING), (std::string(what) + ": running").c_str());
}

// Starting a running service: 1056. Stopping a stopped one: 1062, with the status filled. A
// disabled one does not start: 1058. One that does not accept STOP: 1052, and it keeps running.
// The service is left running, with the refusals withdrawn.
inline void CheckServiceAnswers(Failures& failures, const Machine& machine) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, W("spooler"), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)
                              : nullptr;
  if (service == nullptr) {
    Expect(failures, false, "service: spooler opened");
    CloseServiceHandle(manager);
    return;
  }
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING)
    ExpectStart(failures, service, "service: set up running");
  Poisoned();
  ExpectFailure(failures, Answered(StartServiceW(service, 0, nullptr)), ERROR_SERVICE_ALREADY_RUNNING,
                "service: starting a running one");
  ExpectStop(failures, service, "service: stopped");
  status.dwCurrentState = 0;
  Poisoned();
  ExpectFailure(failures, Answered(ControlService(service, SERVICE_CONTROL_STOP, &status)), ERROR_SERVICE_NOT_ACTIVE,
                "service: stopping a stopped one");
  ExpectNumber(failures, status.dwCurrentState, SERVICE_STOPPED, "service: stopping a stopped one fills the status");

  if (Expect(failures, machine.refuse(Refusal::Disabled), "service: disabled")) {
    Poisoned();
    ExpectFailure(failures, Answered(StartServiceW(service, 0, nullptr)), ERROR_SERVICE_DISABLED,
                  "service: starting a disabled one");
    machine.withdraw(Refusal::Disabled);
  }
  if (Expect(failures, machine.refuse(Refusal::IgnoresStop), "service: made to ignore STOP")) {
    ExpectStart(failures, service, "service: started ignoring STOP");
    Poisoned();
    ExpectFailure(failures, Answered(ControlService(service, SERVICE_CONTROL_STOP, &status)),
                  ERROR_INVALID_SERVICE_CONTROL, "service: a stop it does not accept");
    Expect(failures, QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING,
           "service: still running after the refused stop");
    machine.withdraw(Refusal::IgnoresStop);
  }
  // Withdrawn, the refusals leave a service that stops and starts as before.
  if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
    ExpectStart(failures, service, "service: started after the refusals");
  ExpectStop(failures, service, "service: stops after the refusals");
  ExpectStart(failures, service, "service: starts after the refusals");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// --- Printers and the default printer -----------------------------------------------------------
inline Answer AddPrinterAnswer(const WCHAR* name, const WCHAR* port, const WCHAR* driver, HANDLE* added) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<WCHAR*>(name);
  info.pPortName = const_cast<WCHAR*>(port);
  info.pDriverName = const_cast<WCHAR*>(driver);
  info.pPrintProcessor = const_cast<WCHAR*>(W("WinPrint"));
  info.pDatatype = const_cast<WCHAR*>(W("RAW"));
  Poisoned();
  *added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  return Answer{*added != nullptr, *added != nullptr ? 0 : GetLastError()};
}

inline bool DeleteNamedPrinter(const WCHAR* name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<WCHAR*>(name), &printer, &defaults)) return false;
  bool deleted = DeletePrinter(printer) != FALSE;
  ClosePrinter(printer);
  return deleted;
}

inline Text DefaultPrinterName() {
  WCHAR name[256] = {0};
  DWORD chars = 256;
  return SpoolerGetDefaultPrinterW(name, &chars) ? Text(name) : Text();
}

inline Text FirstListedPrinter() {
  DWORD needed = 0, returned = 0;
  const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &returned);
  BYTE* buffer = static_cast<BYTE*>(AllocateZeroed(needed + 1));
  Text first;
  if (buffer != nullptr && EnumPrintersW(flags, nullptr, 2, buffer, needed, &needed, &returned) && returned > 0)
    first = TextOf(reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pPrinterName);
  if (buffer != nullptr) GlobalFree(buffer);
  return first;
}

// An unknown driver: 1797. A name that exists: 1802. A port no monitor provides: 1796. A
// deleted printer no longer opens: 1801. After the default printer is deleted there is no
// default or another printer is it, never the deleted one (Windows documents neither; Wine
// makes the first listed printer the default). `driver` is installed, "FILE:" is a port.
inline void CheckPrinterChanges(Failures& failures, bool wine, const WCHAR* driver) {
  const WCHAR* kept = W("Conformance kept");
  const WCHAR* deleted = W("Conformance deleted");
  HANDLE added = nullptr;
  ExpectFailure(failures, AddPrinterAnswer(W("Conformance unknown driver"), W("FILE:"), W("No such driver"), &added),
                ERROR_UNKNOWN_PRINTER_DRIVER, "AddPrinterW: an unknown driver");
  if (added != nullptr) ClosePrinter(added);
  for (const WCHAR* name : {kept, deleted}) {
    Expect(failures, AddPrinterAnswer(name, W("FILE:"), driver, &added).ok, "AddPrinterW: a new name");
    if (added != nullptr) ClosePrinter(added);
  }
  ExpectAnswer(failures, wine, AddPrinterAnswer(kept, W("FILE:"), driver, &added), ERROR_PRINTER_ALREADY_EXISTS,
               "AddPrinterW: a name that exists");
  if (added != nullptr) ClosePrinter(added);
  ExpectAnswer(failures, wine, AddPrinterAnswer(W("Conformance no port"), W("NOPORT9:"), driver, &added),
               ERROR_UNKNOWN_PORT, "AddPrinterW: a port no monitor provides");
  if (added != nullptr) {
    ClosePrinter(added);
    DeleteNamedPrinter(W("Conformance no port"));
  }

  Expect(failures, SpoolerSetDefaultPrinterW(deleted) != FALSE, "default printer: set");
  Expect(failures, DeleteNamedPrinter(deleted), "DeletePrinter: the default printer");
  HANDLE gone = nullptr;
  Poisoned();
  ExpectFailure(failures, Answered(OpenPrinterW(const_cast<WCHAR*>(deleted), &gone, nullptr)),
                ERROR_INVALID_PRINTER_NAME, "OpenPrinterW: a deleted printer");
  if (gone != nullptr) ClosePrinter(gone);
  Text after = DefaultPrinterName();
  Expect(failures, after != TextOf(deleted), "default printer: not the deleted one");
  HANDLE named = nullptr;
  Expect(failures, after.empty() || OpenPrinterW(&after[0], &named, nullptr), "default printer: none or one that exists");
  if (named != nullptr) ClosePrinter(named);
  if (wine) {
    Expect(failures, !after.empty() && after == FirstListedPrinter(), "default printer: Wine makes the first listed one it");
    failures.wineNotes.push_back("default printer: the first listed printer becomes the default after a deletion");
  }
  Expect(failures, DeleteNamedPrinter(kept), "DeletePrinter: a printer");
}

// --- Monitors and drivers -------------------------------------------------------------------------
// The product's monitor, installed, with `printer` on its port and the product's driver: adding
// it again gives 3006, deleting an unknown monitor 3000, deleting it while the printer uses the
// port 3008 (Wine deletes it), deleting the driver while the printer uses it 3001 (Wine: 87
// with DPD_DELETE_ALL_FILES, and flag 0 deletes it). Under Wine both are gone afterwards.
inline void CheckMonitorAndDriverChanges(Failures& failures, bool wine, const WCHAR* monitorDll,
                                         const WCHAR* driver) {
  WCHAR* environment = const_cast<WCHAR*>(W("Windows x64"));
  MONITOR_INFO_2W info = {const_cast<WCHAR*>(W("Orvandelle:")), environment, const_cast<WCHAR*>(monitorDll)};
  Poisoned();
  ExpectFailure(failures, Answered(AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))),
                ERROR_PRINT_MONITOR_ALREADY_INSTALLED, "AddMonitorW: installed already");
  Poisoned();
  ExpectFailure(failures, Answered(DeleteMonitorW(nullptr, environment, const_cast<WCHAR*>(W("No such monitor")))),
                ERROR_UNKNOWN_PRINT_MONITOR, "DeleteMonitorW: an unknown monitor");
  Poisoned();
  Answer deletion = Answered(DeletePrinterDriverExW(nullptr, environment, const_cast<WCHAR*>(driver),
                                                    DPD_DELETE_ALL_FILES, 0));
  if (wine) {
    ExpectFailure(failures, deletion, ERROR_INVALID_PARAMETER, "DeletePrinterDriverExW: with files, in use (Wine: 87)");
    failures.wineNotes.push_back("DeletePrinterDriverExW: DPD_DELETE_ALL_FILES gives 87 (Windows: 3001 in use)");
  } else {
    ExpectFailure(failures, deletion, ERROR_PRINTER_DRIVER_IN_USE, "DeletePrinterDriverExW: with files, in use");
  }
  Poisoned();
  ExpectAnswer(failures, wine, Answered(DeletePrinterDriverExW(nullptr, environment, const_cast<WCHAR*>(driver), 0, 0)),
               ERROR_PRINTER_DRIVER_IN_USE, "DeletePrinterDriverExW: without files, in use");
  Poisoned();
  ExpectAnswer(failures, wine, Answered(DeleteMonitorW(nullptr, environment, const_cast<WCHAR*>(W("Orvandelle:")))),
               ERROR_PRINT_MONITOR_IN_USE, "DeleteMonitorW: its port in use");
}

}  // namespace conformance
