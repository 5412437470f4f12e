// What the spooler's two sources share: its state, its handles and the checks every call makes.
// spooler.cpp holds the queries and the state's set-up; spooler_changes.cpp the calls that add,
// change and delete monitors, drivers, printers and printer data.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/sim_spooler.h"
#include "winsim/win32_types.h"

namespace winsim {

struct StoredPrinter {
  int id;  // a deleted and re-added printer of the same name is another printer
  SimPrinter printer;
};

struct OpenHandle {
  int printerId;
  ACCESS_MASK access;  // generic rights already mapped to the printer's own
};

// Where Wine's spooler answers differently and a test wants Wine's answer.
struct WineModes {
  bool driverDeletion = false;  // DeletePrinterDriverExW: flags other than 0 fail with 87
  bool nullDatatype = false;    // AddPrinterW: a null data type fails with 1801
  bool purge = false;           // SetPrinterW: PRINTER_CONTROL_PURGE fails with 124
};

struct SpoolerState {
  bool running = true;
  std::u16string driverDirectory = u"C:\\Windows\\system32\\spool\\drivers\\x64";
  std::vector<SimMonitor> monitors;
  std::vector<SimDriver> drivers;
  std::vector<StoredPrinter> printers;
  int nextPrinterId = 1;
  std::u16string defaultPrinter;
  std::map<uintptr_t, OpenHandle> handles;
  uintptr_t nextHandle = 0x5F000000;  // printer handles are no kernel handles: apart from those
  WineModes wine;
  bool keepDeletedMonitorsLoaded = false;
  std::vector<SimPrinterValue> driverWrittenData;  // what a driver writes into each new printer
};

SpoolerState& Spooler();

const int kServerHandle = 0;  // the printer id of a handle on the print server itself

// Names of the spooler's objects are compared without case (ASCII letters only here).
bool SameName(const std::u16string& a, const std::u16string& b);
bool SameName(const std::string& a, const std::string& b);
// The environment a call names (none: "Windows x64"); empty when Windows knows no such name.
std::u16string ResolveEnvironment(LPCWSTR environment);

// Each sets the last error and answers true when the call must fail.
bool SpoolerDown();                 // RPC_S_SERVER_UNAVAILABLE while the service is stopped
bool RemoteServer(LPCWSTR name);    // ERROR_INVALID_NAME for any server but the local one
bool Fail(DWORD error);             // sets the error, answers false

StoredPrinter* PrinterNamed(const std::u16string& name);
StoredPrinter* PrinterWithId(int id);
// The printer behind an open handle; null with ERROR_INVALID_HANDLE for an unknown handle, one
// on the print server or one whose printer is gone.
StoredPrinter* PrinterOf(HANDLE handle);
OpenHandle* HandleOf(HANDLE handle);
const SimDriver* DriverNamed(const std::u16string& name, const std::u16string& environment);
bool KnownDatatype(LPCWSTR datatype);
ACCESS_MASK MappedAccess(ACCESS_MASK desired);
HANDLE NewPrinterHandle(int printerId, ACCESS_MASK access);

// A running spooler holds the modules it loaded until its service stops.
void HoldIfPresent(const std::u16string& path);
void HoldDriverFiles(const SimDriver& driver);

}  // namespace winsim
