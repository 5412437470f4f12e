// The product's printers: deleted with their settings key remembered, re-created newest first
// with name, comment, location, settings key and default status, or one printer "Orvandelle".
#include "spooler/printers.h"

#include <algorithm>

#include "support/product_machine.h"
#include "support/sim_test.h"
#include "winsim/sim_registry.h"
#include "winsim/sim_spooler.h"

namespace {

const char16_t kMarksKey[] = u"Software\\Corvane\\Orvandelle\\Orvandelles\\";

// REG_SZ data as the product stores it: the 8-bit text and its terminator.
std::vector<BYTE> Sz(const std::string& text) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

void AddDriver(const std::u16string& name) {
  winsim::SimDriver driver;
  driver.name = name;
  winsim::AddSimDriver(driver);
}

class PrintersTest : public SimTest {
 protected:
  InstallContext context = EmptyContext();

  void SetUp() override {
    SimTest::SetUp();
    winsim::AddLocalPortMonitor();
    winsim::AddSimMonitor({u"Orvandelle:", u"Windows x64", u"zelmon64.dll", {u"Orvandelle:"}});
    AddDriver(kProductDriver);
    AddDriver(u"Other driver");
  }

  void TearDown() override {
    FreeSavedPrinters(context.SavedPrinters);
    FreePrinterSnapshot(context.Printers);
    FreeEmptyContext(context);
    EXPECT_EQ(winsim::OpenPrinterHandles(), 0u) << "printer handles left open";
    EXPECT_EQ(winsim::OpenKeyHandles(), 0u) << "registry keys left open";
    SimTest::TearDown();
  }

  static void AddPrinter(const std::u16string& name, const std::u16string& driver = kProductDriver,
                         const std::u16string& comment = u"", const std::u16string& location = u"") {
    winsim::SimPrinter printer = PrinterOn(name, driver, driver == kProductDriver ? u"Orvandelle:" : u"FILE:");
    printer.comment = comment;
    printer.location = location;
    winsim::AddSimPrinter(printer);
  }

  // The settings key as plain printer data ("PrinterDriverData") or under "DsUser".
  static void PutKey(const std::u16string& printer, const std::string& dataKey, std::vector<BYTE> data,
                     DWORD type = REG_SZ) {
    winsim::SetSimPrinterValue(printer, {dataKey, "SubKey", type, std::move(data)});
  }
  static void PutBothKeys(const std::u16string& printer, const std::string& key) {
    PutKey(printer, winsim::kPlainPrinterDataKey, Sz(key));
    PutKey(printer, "DsUser", Sz(key));
  }
  // A product printer with its settings key in both places.
  static void AddKeyed(const std::u16string& name, const std::string& key, const std::u16string& comment = u"",
                       const std::u16string& location = u"") {
    AddPrinter(name, kProductDriver, comment, location);
    PutBothKeys(name, key);
  }
  // The stored data and type, or "(none)".
  static std::string KeyOf(const std::u16string& printer, const std::string& dataKey) {
    auto value = winsim::SimPrinterValueOf(printer, dataKey, "SubKey");
    if (!value) return "(none)";
    return (value->type == REG_SZ ? "" : "type " + std::to_string(value->type) + ": ") +
           std::string(value->data.begin(), value->data.end());
  }
  static std::string Stored(const std::string& key) { return key + std::string(1, '\0'); }

  // The product's per-printer registry key with its "deleted" mark and one setting of its own.
  static void MarkDeleted(const std::string& key) {
    std::u16string path = kMarksKey + winsim::Utf16(key);
    winsim::PutString(HKEY_CURRENT_USER, path, u"deleted", u"1");
    winsim::PutString(HKEY_CURRENT_USER, path, u"Resolution", u"600");
  }
  static bool MarkLeft(const std::string& key) {
    return winsim::ReadValue(HKEY_CURRENT_USER, kMarksKey + winsim::Utf16(key), u"deleted").has_value();
  }

  static std::vector<std::string> AddedNames() {
    std::vector<std::string> names;
    for (const auto& call : winsim::CallsOf("AddPrinterW")) names.push_back(call.args[2]);
    return names;
  }
  static std::vector<std::u16string> PrinterNames() {
    std::vector<std::u16string> names;
    for (const auto& printer : winsim::SimPrinters()) names.push_back(printer.name);
    return names;
  }
  static bool OpenedByName(const std::string& name) {
    for (const auto& call : winsim::CallsOf("OpenPrinterW"))
      if (call.args[0] == name) return true;
    return false;
  }

  // The snapshot with its default mark, as the context holds it, and the product's printers deleted.
  void DeleteSaved() {
    MarkDefaultPrinter(context);
    DeleteAllPrinters(context);
  }
};

TEST_F(PrintersTest, CarriesThreePrintersAcrossNewestFirstAndLeavesOthersAlone) {
  struct Own {
    std::u16string name, comment, location;
    std::string key;
  };
  const Own own[] = {{u"A", u"comment A", u"floor 1", "keyA"},
                     {u"B", u"comment B", u"floor 2", "keyB"},
                     {u"C", u"comment C", u"floor 3", "keyC"}};
  AddKeyed(own[0].name, own[0].key, own[0].comment, own[0].location);
  AddPrinter(u"Other", u"Other driver", u"theirs", u"basement");
  for (int i = 1; i < 3; i++) AddKeyed(own[i].name, own[i].key, own[i].comment, own[i].location);
  PutBothKeys(u"Other", "keyOther");
  MarkDeleted("keyA");
  MarkDeleted("keyB");
  MarkDeleted("keyOther");
  winsim::SetSimDefaultPrinter(u"B");

  DeleteSaved();
  EXPECT_EQ(PrinterNames(), (std::vector<std::u16string>{u"Other"}));
  RestorePrinters(context);

  EXPECT_EQ(AddedNames(), (Lines{"C", "B", "A"}));
  for (const Own& expected : own) {
    SCOPED_TRACE(expected.key);
    auto printer = winsim::FindSimPrinter(expected.name);
    ASSERT_TRUE(printer.has_value());
    EXPECT_EQ(printer->comment, expected.comment);
    EXPECT_EQ(printer->location, expected.location);
    EXPECT_EQ(printer->portName, u"Orvandelle:");
    EXPECT_EQ(printer->driverName, kProductDriver);
    EXPECT_EQ(printer->printProcessor, u"WinPrint");
    EXPECT_EQ(printer->datatype, u"RAW");
    EXPECT_EQ(KeyOf(expected.name, winsim::kPlainPrinterDataKey), Stored(expected.key));
    EXPECT_EQ(KeyOf(expected.name, "DsUser"), Stored(expected.key));
  }
  EXPECT_EQ(winsim::SimDefaultPrinter(), u"B");
  EXPECT_FALSE(MarkLeft("keyA") || MarkLeft("keyB"));
  EXPECT_TRUE(winsim::ReadValue(HKEY_CURRENT_USER, kMarksKey + std::u16string(u"keyA"), u"Resolution").has_value())
      << "only the mark goes";
  EXPECT_FALSE(winsim::KeyExists(HKEY_CURRENT_USER, kMarksKey + std::u16string(u"keyC"))) << "never created";
  EXPECT_TRUE(MarkLeft("keyOther"));
  EXPECT_FALSE(OpenedByName("Other"));
  EXPECT_EQ(winsim::FindSimPrinter(u"Other").value_or(winsim::SimPrinter()).comment, u"theirs");
  EXPECT_FALSE(winsim::FindSimPrinter(u"Orvandelle").has_value());
  EXPECT_EQ(context.ErrorCount, 0);

  // Each deletion: opened for DELETE and administration, jobs purged, then deleted.
  Lines steps;
  for (const auto& call : winsim::Calls()) {
    if (call.name == "OpenPrinterW" && call.args[2] != "(no defaults)") steps.push_back("open " + call.args[2]);
    if (call.name == "SetPrinterW" && call.args[1] == "0") steps.push_back("purge " + call.args[2]);
    if (call.name == "DeletePrinter") steps.push_back("delete");
  }
  Lines one = {"open 0x10004", "purge 3", "delete"};
  Lines three;
  for (int i = 0; i < 3; i++) three.insert(three.end(), one.begin(), one.end());
  EXPECT_EQ(steps, three);
  auto opens = winsim::CallsOf("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_EQ(opens[0].args, (Lines{"HKCU", "Software\\Corvane\\Orvandelle\\Orvandelles\\keyC", "0", "0xf003f"}));
}

TEST_F(PrintersTest, TheMonitorCheckOnlyInformsTheLog) {
  winsim::ResetMachine();
  AddDriver(kProductDriver);
  EXPECT_EQ(AddOwnPrinter(context, u"P"), nullptr);
  winsim::AddLocalPortMonitor();
  EXPECT_EQ(AddOwnPrinter(context, u"Q"), nullptr);
  EXPECT_EQ(LogLines(context),
            (Lines{">AddPrinter(P)", "  Let's check our port monitors", "  1. EnumMonitors returns true",
                   "  No Orvandelle port monitor was found.", "  BTW, there is no port monitors on this system.",
                   "  Error(15): Can`t add printer 'P' - (The specified port is unknown.)",
                   ">AddPrinter(Q)", "  Let's check our port monitors", "  No Orvandelle port monitor was found.",
                   "  ------- 1 existing monitors ----------", "  1. Local Port",
                   "  ---------------------------------------",
                   "  Error(15): Can`t add printer 'Q' - (The specified port is unknown.)"}));
  EXPECT_EQ(winsim::CountCalls("AddPrinterW"), 2u) << "added in either case";
  EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Global), 0u) << "the monitor lists are released";
}

}  // namespace
