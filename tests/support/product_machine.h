// A Windows machine as the installer meets it in the field: the "Local Port" monitor every
// Windows has, and the installer in C:\Product\drv\ beside the product's components, with the
// tray program in C:\Product\.
#pragma once

#include <string>
#include <vector>

#include "platform.h"
#include "support/sim_test.h"
#include "winsim/sim_spooler.h"

extern const char16_t kModuleDir[];    // C:\Product\drv\ (the installer's directory)
extern const char16_t kSystemDir[];    // C:\Windows\system32\ (with its backslash)
extern const char16_t kDriverDir[];    // ...\spool\drivers\x64\ (with its backslash)
extern const char16_t kTrayPath[];     // C:\Product\orvtray.exe
extern const char16_t kProductDriver[];  // "Orvandelle printer"

// The components beside the installer; each DLL's product version ends in `build`.
void PutInstallerFiles(WORD build = 2547);
std::string ComponentContents(const std::u16string& name, WORD build);
void PrepareProductMachine(WORD build = 2547);

// The installer run with "orvinst.exe " and `arguments`; its exit code.
int32_t RunInstaller(const std::u16string& arguments);
// The same for a run whose process may die (winsim::DieAtCall, DieWhen): kDied when it did,
// after the process was ended as Windows ends one.
const int32_t kDied = -1;
int32_t RunInstallerThatMayDie(const std::u16string& arguments);

// Whether the spooler has "Orvandelle:" registered; whether it has the product's driver.
bool OwnMonitorRegistered();
bool ProductDriverInstalled();
// Printer, key, file, service, mutex and process handles open now (event sources not counted).
size_t OpenHandles();

// A printer record on `driver` printing to `ports`, the rest as the simulated spooler's defaults.
winsim::SimPrinter PrinterOn(const std::u16string& name, const std::u16string& driver, const std::u16string& ports);

// A product printer a user made, printing to the product port: its own comment ("comment of "
// + name) and location ("room of " + name), its settings key `key` as plain printer data and
// under "DsUser", and the product's per-user registry key for it with one setting in it.
void AddProductPrinter(const std::u16string& name, const std::string& key);
// Another maker's driver and its printer "Office" on LPT1:, which the installer must leave be.
void AddOtherMakersPrinter();

// Whole commands on the product's machine: each test ends with no handle of any kind left open
// and the spooler running, on top of SimTest's memory checks.
class ProductMachineTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};
