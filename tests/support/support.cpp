#include "app/command_dispatch.h"
#include "app/install_log.h"
#include "support/product_machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_services.h"

Lines SplitLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

Lines LogLines(const InstallContext& context) { return SplitLines(winsim::Utf8(Chars(context.LogText))); }

Lines ShownLogLines() {
  std::string text = winsim::Utf8(winsim::DialogItemText(winsim::Dialogs().back(), kLogTextId));
  EXPECT_TRUE(text.empty() || text.substr(text.size() - 2) == "\r\n") << "every line ends in CR LF";
  return SplitLines(text);
}

std::vector<std::u16string> PendingRenameStrings(const char16_t* name) {
  auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, name);
  return value ? winsim::SplitMultiString(value->data) : std::vector<std::u16string>();
}

std::u16string NtPath(const std::u16string& path) { return u"\\??\\" + path; }
std::u16string DelayedDeletion(const std::u16string& path) { return u"*1" + NtPath(path); }

const char16_t kModuleDir[] = u"C:\\Product\\drv\\";
const char16_t kSystemDir[] = u"C:\\Windows\\system32\\";
const char16_t kDriverDir[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const char16_t kTrayPath[] = u"C:\\Product\\orvtray.exe";
const char16_t kProductDriver[] = u"Orvandelle printer";

std::string ComponentContents(const std::u16string& name, WORD build) {
  // a file version of its own, which the installer must not take for the build
  return "MZ " + std::string(name.begin(), name.end()) + " " + winsim::VersionResource({1, 0, 0, build}, {9, 9, 9, 9});
}

void PutInstallerFiles(WORD build) {
  winsim::PutFile(std::u16string(kModuleDir) + u"orvinst.exe", "MZ orvinst");
  for (const char16_t* name : {u"zelmon64.dll", u"zeldrv64.dll", u"zelui64.dll"})
    winsim::PutFile(std::u16string(kModuleDir) + name, ComponentContents(name, build));
  winsim::PutFile(std::u16string(kModuleDir) + u"zelhelp.chm", "ITSF help");
  winsim::PutFile(kTrayPath, "MZ orvtray");
}

static int32_t RunCommandLine(const std::u16string& commandLine) {
  winsim::SetCommandLine(commandLine);
  return RunCommand(reinterpret_cast<HINSTANCE>(0x400000));
}

void PrepareProductMachine(WORD build) {
  winsim::SetModulePath(std::u16string(kModuleDir) + u"orvinst.exe");
  // A copy of the installer started in another session runs the real program there.
  winsim::SetChildRunner([](const std::u16string& commandLine) {
    std::u16string parent = winsim::CommandLine();
    DWORD code = static_cast<DWORD>(RunCommandLine(commandLine));
    winsim::SetCommandLine(parent);
    return code;
  });
  winsim::AddLocalPortMonitor();
  PutInstallerFiles(build);
}

int32_t RunInstaller(const std::u16string& arguments) { return RunCommandLine(u"orvinst.exe " + arguments); }

int32_t RunInstallerThatMayDie(const std::u16string& arguments) {
  try {
    return RunInstaller(arguments);
  } catch (const winsim::ProcessDied&) {
    winsim::EndInstallerProcess();
    return kDied;
  }
}

winsim::SimPrinter PrinterOn(const std::u16string& name, const std::u16string& driver, const std::u16string& ports) {
  winsim::SimPrinter printer;
  printer.name = name;
  printer.driverName = driver;
  printer.portName = ports;
  return printer;
}

void AddProductPrinter(const std::u16string& name, const std::string& key) {
  winsim::SimPrinter printer = PrinterOn(name, kProductDriver, u"Orvandelle:");
  printer.comment = u"comment of " + name;
  printer.location = u"room of " + name;
  std::vector<BYTE> data(key.begin(), key.end());
  data.push_back(0);
  printer.data = {{winsim::kPlainPrinterDataKey, "SubKey", REG_SZ, data}, {"DsUser", "SubKey", REG_SZ, data}};
  winsim::AddSimPrinter(printer);
  winsim::PutString(HKEY_CURRENT_USER, winsim::Utf16("Software\\Corvane\\Orvandelle\\Orvandelles\\" + key), u"Paper",
                    u"A4");
}

bool OwnMonitorRegistered() {
  for (const auto& monitor : winsim::SimMonitors())
    if (monitor.name == u"Orvandelle:") return true;
  return false;
}

bool ProductDriverInstalled() {
  for (const auto& driver : winsim::SimDrivers())
    if (driver.name == kProductDriver) return true;
  return false;
}

size_t OpenHandles() {
  return winsim::OpenPrinterHandles() + winsim::OpenKeyHandles() + winsim::OpenFileHandles() +
         winsim::OpenServiceHandles() + winsim::OpenProcessAreaHandles();
}

void AddOtherMakersPrinter() {
  winsim::SimDriver other;
  other.name = u"Other driver";
  winsim::AddSimDriver(other);
  winsim::AddSimPrinter(PrinterOn(u"Office", u"Other driver", u"LPT1:"));
}

void ProductMachineTest::SetUp() {
  SimTest::SetUp();
  PrepareProductMachine();
}

void PutHeld(const std::u16string& path, const std::string& contents) {
  winsim::PutFile(path, contents);
  winsim::HoldFile(path, winsim::kSpoolerProcess);
}

void ExpectNoHandlesOpen() {
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u) << "printer handles left open";
  EXPECT_EQ(winsim::OpenKeyHandles(), 0u) << "registry keys left open";
  EXPECT_EQ(winsim::OpenFileHandles(), 0u) << "file handles left open";
  EXPECT_EQ(winsim::OpenServiceHandles(), 0u) << "a manager or service handle left open";
  EXPECT_EQ(winsim::OpenProcessAreaHandles(), 0u) << "mutex or process handles left open";
  EXPECT_EQ(winsim::OpenEventSources(), 0u) << "event sources left open";
  EXPECT_EQ(winsim::OpenEnvironmentBlocks(), 0u) << "environment blocks left";
}

void ProductMachineTest::TearDown() {
  ExpectNoHandlesOpen();
  EXPECT_EQ(winsim::ServiceState(u"spooler"), DWORD(SERVICE_RUNNING)) << "the spooler is left running";
  SimTest::TearDown();
}
