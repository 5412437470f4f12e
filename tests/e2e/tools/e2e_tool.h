// What the end-to-end helper programs share: UTF-8 output of wide texts, the names the
// installer and the tray program agree on, and the build number read from a file's version.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace e2e {

const wchar_t kTrayMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kTrayWindowClass[] = L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const wchar_t kEnvironment[] = L"Windows x64";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"OrvandelleTray";
const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kSettingsRoot[] = L"Software\\Corvane\\Orvandelle\\Orvandelles";

inline std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], size, nullptr,
                        nullptr);
  return result;
}

inline std::wstring Widen(const std::string& text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(size > 0 ? size : 0, L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], size);
  return result;
}

// One field of a tab-separated line: a null text and control characters stay visible, so
// every record is exactly one line.
inline std::string Field(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  std::string out;
  for (char c : Narrow(text)) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

inline std::string Field(const std::wstring& text) { return Field(text.c_str()); }

// The last number of the product version, as the installer reads it; -1 without a version.
inline int FileBuild(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return -1;
  std::string block(size, '\0');
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, &block[0]) ||
      !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return -1;
  return static_cast<int>(info->dwProductVersionLS & 0xFFFF);
}

inline void Out(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace e2e
