// What the Windows test programs share: a failure count with a printed reason per failed
// check, and the path of orvinst.exe, which the build puts beside every test program.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

inline int& FailureCount() {
  static int failures = 0;
  return failures;
}

inline std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
  return result;
}

inline bool Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    FailureCount()++;
  }
  return ok;
}

template <typename T>
bool CheckEqual(T actual, T expected, const char* what) {
  if (actual == expected) return true;
  std::printf("FAILED: %s: got %lld (0x%llx), expected %lld (0x%llx)\n", what, (long long)actual,
              (unsigned long long)actual, (long long)expected, (unsigned long long)expected);
  FailureCount()++;
  return false;
}

inline bool CheckText(const std::wstring& actual, const std::wstring& expected, const char* what) {
  if (actual == expected) return true;
  std::printf("FAILED: %s: got \"%s\", expected \"%s\"\n", what, Narrow(actual).c_str(),
              Narrow(expected).c_str());
  FailureCount()++;
  return false;
}

// The test's verdict as its exit code: 0 when every check passed.
inline int Verdict(const char* name) {
  std::printf("%s: %s (%d failed)\n", name, FailureCount() == 0 ? "passed" : "FAILED", FailureCount());
  std::fflush(stdout);
  return FailureCount() == 0 ? 0 : 1;
}

inline std::wstring InstallerPath() {
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"orvinst.exe";
}
