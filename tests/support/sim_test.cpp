#include "support/sim_test.h"

std::string LogOf(const InstallContext& context) { return winsim::Utf8(Chars(context.LogText)); }

std::vector<std::string> LogLines(const InstallContext& context) {
  std::vector<std::string> lines;
  std::string log = LogOf(context);
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(log.substr(start, end - start));
  if (start < log.size()) lines.push_back(log.substr(start));
  return lines;
}

InstallContext EmptyContext() {
  InstallContext context{};
  return context;
}

void FreeEmptyContext(InstallContext& context) { ReleaseText(context.LogText); }
