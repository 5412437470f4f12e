// Checks of the system calls outside the spooler that the installer relies on: how
// CommandLineToArgvW splits a command line, how MoveFileExW records a deletion at the next
// start, what a desktop session's window station reports, and that a missing program does not
// start. Framework-free like the spooler checks, so they run against winsim and under Wine.
#pragma once

#include <string>
#include <vector>

#include "conformance/conformance_check.h"
#include "platform.h"
#include "text/wide_text.h"

namespace conformance {

struct SplitCase {
  const WCHAR* line;
  std::vector<const WCHAR*> args;
  const char* what;
};

// Windows' quoting rules: the program name ends at the next space, or at the closing quote, and
// knows no escapes; 2n backslashes before a quote give n and the quote delimits, 2n+1 give n and
// a literal quote; other backslashes are literal; a doubled quote inside quotes is literal.
inline std::vector<SplitCase> SplitCases() {
  return {
      {W("prog a b"), {W("prog"), W("a"), W("b")}, "plain words"},
      {W("\"C:\\Program Files\\x.exe\" in"), {W("C:\\Program Files\\x.exe"), W("in")}, "quoted program name"},
      {W("C:\\a\\\"b c"), {W("C:\\a\\\"b"), W("c")}, "no escapes in the program name"},
      {W("p \"a b\" c"), {W("p"), W("a b"), W("c")}, "quoted argument"},
      {W("p a\\\\b"), {W("p"), W("a\\\\b")}, "backslashes not before a quote are literal"},
      {W("p a\\\"b"), {W("p"), W("a\"b")}, "an escaped quote"},
      {W("p a\\\\\"b c\""), {W("p"), W("a\\b c")}, "two backslashes before a quote"},
      {W("p a\\\\\\\"b"), {W("p"), W("a\\\"b")}, "three backslashes before a quote"},
      {W("p \"a\"\"b\""), {W("p"), W("a\"b")}, "a doubled quote inside quotes is literal"},
      {W("p \"\" x"), {W("p"), W(""), W("x")}, "an empty quoted argument"},
      {W("p\t a  \t"), {W("p"), W("a")}, "tabs and trailing blanks"},
  };
}

inline bool SplitsInto(const WCHAR* line, const std::vector<const WCHAR*>& expected) {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(line, &count);
  if (args == nullptr) return false;
  bool same = count == static_cast<int>(expected.size());
  for (int i = 0; same && i < count; i++) same = TextEquals(args[i], expected[i]);
  LocalFree(args);
  return same;
}

// An empty command line gives the program's own path.
inline void CheckCommandLineSplitting(Failures& failures) {
  for (const SplitCase& one : SplitCases())
    Expect(failures, SplitsInto(one.line, one.args), (std::string("CommandLineToArgvW: ") + one.what).c_str());
  WCHAR self[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  Expect(failures, SplitsInto(W(""), {self}), "CommandLineToArgvW: an empty line gives the module path");
}

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR kPendingRenamesValue[] = W("PendingFileRenameOperations");

// The value's UTF-16 units, and whether it was there.
struct PendingValue {
  bool present;
  DWORD type;
  Text units;
};

inline PendingValue ReadPending(HKEY key) {
  PendingValue value{false, 0, Text()};
  DWORD size = 0;
  if (RegQueryValueExW(key, kPendingRenamesValue, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
    return value;
  value.units.assign(size / sizeof(WCHAR), 0);
  value.present = RegQueryValueExW(key, kPendingRenamesValue, nullptr, &value.type,
                                   reinterpret_cast<BYTE*>(&value.units[0]), &size) == ERROR_SUCCESS;
  value.units.resize(size / sizeof(WCHAR));
  return value;
}

inline void RestorePending(HKEY key, const PendingValue& before) {
  if (!before.present) {
    RegDeleteValueA(key, "PendingFileRenameOperations");
    return;
  }
  RegSetValueExW(key, kPendingRenamesValue, 0, before.type, reinterpret_cast<const BYTE*>(before.units.data()),
                 static_cast<DWORD>(before.units.size() * sizeof(WCHAR)));
}

// MoveFileExW(path, null, MOVEFILE_DELAY_UNTIL_REBOOT) on an existing file appends "\??\path"
// and an empty string to the REG_MULTI_SZ list at once, which still ends in an empty string.
// `path` is a full path of a file the check may create and delete; the list is put back as it
// was, so nothing is carried out at the next start.
inline void CheckDeletionAtReboot(Failures& failures, const WCHAR* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS) {
    Expect(failures, false, "MoveFileExW: the session manager's key opened");
    return;
  }
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  Expect(failures, file != INVALID_HANDLE_VALUE, "MoveFileExW: the file to delete made");
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  PendingValue before = ReadPending(key);
  Answer answer = Answered(MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  PendingValue after = ReadPending(key);
  RestorePending(key, before);
  RegCloseKey(key);
  DeleteFileW(path);

  Text expected = before.units;
  if (!expected.empty() && expected.back() == 0) expected.pop_back();  // the list's closing empty string
  expected += TextOf(W("\\??\\")) + TextOf(path);
  expected.push_back(0);
  expected.push_back(0);  // the empty target
  expected.push_back(0);  // the list's end
  Expect(failures, answer.ok, "MoveFileExW: a deletion at the next start recorded");
  ExpectNumber(failures, after.type, REG_MULTI_SZ, "MoveFileExW: the list is REG_MULTI_SZ");
  Expect(failures, after.present && after.units == expected,
         "MoveFileExW: \"\\??\\\" and the path, then an empty string, appended to the list");
}

// The window station of a process in a desktop session has a display surface (WSF_VISIBLE).
// (A buffer too small: Windows documents 122, Wine answers 111; the installer passes a whole one.)
inline void CheckWindowStationFlags(Failures& failures) {
  HWINSTA station = GetProcessWindowStation();
  Expect(failures, station != nullptr, "GetProcessWindowStation: a station");
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  Answer answer = Answered(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed));
  Expect(failures, answer.ok, "GetUserObjectInformationW(UOI_FLAGS): answered");
  ExpectNumber(failures, flags.dwFlags & WSF_VISIBLE, WSF_VISIBLE, "GetUserObjectInformationW: WSF_VISIBLE");
}

// A program whose file is missing does not start; `missing` names no file.
inline void CheckMissingProgram(Failures& failures, const WCHAR* missing) {
  Text commandLine = TextOf(W("\"")) + TextOf(missing) + TextOf(W("\""));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  Answer answer = Answered(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                                          nullptr, nullptr, &startup, &process));
  ExpectFailure(failures, answer, ERROR_FILE_NOT_FOUND, "CreateProcessW: a missing program file");
  if (answer.ok) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

inline Failures RunSystemChecks(const WCHAR* scratchFile) {
  Failures failures;
  CheckCommandLineSplitting(failures);
  CheckDeletionAtReboot(failures, scratchFile);
  CheckWindowStationFlags(failures);
  CheckMissingProgram(failures, scratchFile);  // deleted again by the check before
  return failures;
}

}  // namespace conformance
