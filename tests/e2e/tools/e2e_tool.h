// What the end-to-end helper programs share: UTF-8 output and the role a program's name picks.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace e2e {

inline std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], size, nullptr,
                        nullptr);
  return result;
}

inline void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// This program's file name is `name` (one source is built under several names).
inline bool Is(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {0};
  std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  return CompareStringOrdinal(path.substr(path.find_last_of(L"\\/") + 1).c_str(), -1, name, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace e2e
