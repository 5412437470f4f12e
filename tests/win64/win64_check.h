// What the Windows test programs share: a failure count with a printed reason per failed check.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline int checkFailures = 0;

inline std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
  return result;
}

inline bool Check(bool ok, const std::string& what) {
  if (!ok) std::printf("FAILED: %s\n", what.c_str());
  checkFailures += ok ? 0 : 1;
  return ok;
}

// The test's verdict as its exit code: 0 when every check passed.
inline int Verdict(const char* name) {
  std::printf("%s: %s (%d failed)\n", name, checkFailures == 0 ? "passed" : "FAILED", checkFailures);
  std::fflush(stdout);
  return checkFailures == 0 ? 0 : 1;
}
