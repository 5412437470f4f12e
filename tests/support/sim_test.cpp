#include "support/sim_test.h"

#include "app/install_log.h"
#include "winsim/sim_registry.h"

Lines SplitLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string LogOf(const InstallContext& context) { return winsim::Utf8(Chars(context.LogText)); }

Lines LogLines(const InstallContext& context) { return SplitLines(LogOf(context)); }

Lines ShownLogLines() {
  std::string text = winsim::Utf8(winsim::DialogItemText(winsim::Dialogs().back(), kLogTextId));
  EXPECT_TRUE(text.empty() || text.substr(text.size() - 2) == "\r\n") << "every line ends in CR LF";
  return SplitLines(text);
}

Lines DeferredPaths(const InstallContext& context) {
  Lines paths;
  for (const DeferredDelete* node = context.DeferredDeletes; node != nullptr; node = node->next)
    paths.push_back(winsim::Utf8(node->path));
  return paths;
}

std::vector<std::u16string> PendingRenameStrings() {
  auto value = winsim::ReadValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue);
  return value ? winsim::SplitMultiString(value->data) : std::vector<std::u16string>();
}

void SetPendingRenames(const std::vector<std::u16string>& strings) {
  winsim::PutMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenamesValue, strings);
}

std::u16string NtPath(const std::u16string& path) { return u"\\??\\" + path; }

InstallContext EmptyContext() {
  InstallContext context{};
  return context;
}

void FreeEmptyContext(InstallContext& context) { ReleaseText(context.LogText); }
