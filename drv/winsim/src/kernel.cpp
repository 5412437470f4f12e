// Last error, the virtual clock, the process environment (command line, module path, system
// directory, version) and the text services: FormatMessageW, MultiByteToWideChar, lstr*.
#include <algorithm>
#include <cstring>
#include <map>

#include "winsim/machine.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct Event {
  uint64_t due;  // on the unwrapped clock
  uint64_t order;
  std::function<void()> run;
};

struct KernelState {
  DWORD lastError = 0;
  uint64_t clock = 0;  // unwrapped milliseconds; GetTickCount reports it modulo 2^32
  uint64_t eventOrder = 0;
  std::vector<Event> events;
  std::u16string commandLine = u"orvinst.exe";
  std::u16string modulePath = u"C:\\Product\\drv\\orvinst.exe";
  std::u16string systemDirectory = u"C:\\Windows\\system32";
  OSVERSIONINFOA version = {sizeof(OSVERSIONINFOA), 10, 0, 19045, VER_PLATFORM_WIN32_NT, {0}};
};

KernelState& Kernel() {
  static KernelState state;
  return state;
}

void Reset() { Kernel() = KernelState(); }

struct Registrar {
  Registrar() { RegisterReset(&Reset); }
} registrar;

// Runs the earliest event due at or before `until`; false when there is none.
bool RunNextEvent(uint64_t until) {
  auto& events = Kernel().events;
  auto next = std::min_element(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.due != b.due ? a.due < b.due : a.order < b.order;
  });
  if (next == events.end() || next->due > until) return false;
  Event event = std::move(*next);
  events.erase(next);
  Kernel().clock = std::max(Kernel().clock, event.due);
  event.run();
  return true;
}

}  // namespace

DWORD Now() { return static_cast<DWORD>(Kernel().clock); }

void SetTick(DWORD tick) { Kernel().clock = tick; }

void Advance(DWORD milliseconds) {
  uint64_t until = Kernel().clock + milliseconds;
  while (RunNextEvent(until)) {
  }
  Kernel().clock = until;
}

void ScheduleAfter(DWORD milliseconds, std::function<void()> event) {
  Kernel().events.push_back(Event{Kernel().clock + milliseconds, Kernel().eventOrder++, std::move(event)});
}

bool AdvanceUntil(DWORD milliseconds, const std::function<bool()>& done) {
  uint64_t until = Kernel().clock + milliseconds;
  if (done()) return true;
  while (RunNextEvent(until))
    if (done()) return true;
  Kernel().clock = until;
  return done();
}

void SetCommandLine(const std::u16string& commandLine) { Kernel().commandLine = commandLine; }
void SetModulePath(const std::u16string& path) { Kernel().modulePath = path; }
std::u16string ModulePath() { return Kernel().modulePath; }
std::u16string CommandLine() { return Kernel().commandLine; }
void SetSystemDirectory(const std::u16string& path) { Kernel().systemDirectory = path; }
std::u16string SystemDirectory() { return Kernel().systemDirectory; }

void SetWindowsVersion(DWORD major, DWORD minor, DWORD build) {
  Kernel().version.dwMajorVersion = major;
  Kernel().version.dwMinorVersion = minor;
  Kernel().version.dwBuildNumber = build;
}

namespace {

// US-English system texts, as FormatMessageW gives them (each ends in CR LF).
const std::map<DWORD, const char16_t*>& Messages() {
  static const std::map<DWORD, const char16_t*> messages = {
      {0, u"The operation completed successfully.\r\n"},
      {2, u"The system cannot find the file specified.\r\n"},
      {3, u"The system cannot find the path specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {8, u"Not enough memory resources are available to process this command.\r\n"},
      {13, u"The data is invalid.\r\n"},
      {14, u"Not enough memory resources are available to complete this operation.\r\n"},
      {19, u"The media is write protected.\r\n"},
      {23, u"Data error (cyclic redundancy check).\r\n"},
      {32, u"The process cannot access the file because it is being used by another process.\r\n"},
      {39, u"The disk is full.\r\n"},
      {50, u"The request is not supported.\r\n"},
      {80, u"The file exists.\r\n"},
      {87, u"The parameter is incorrect.\r\n"},
      {112, u"There is not enough space on the disk.\r\n"},
      {120, u"This function is not supported on this system.\r\n"},
      {122, u"The data area passed to a system call is too small.\r\n"},
      {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {126, u"The specified module could not be found.\r\n"},
      {127, u"The specified procedure could not be found.\r\n"},
      {183, u"Cannot create a file when that file already exists.\r\n"},
      {234, u"More data is available.\r\n"},
      {258, u"The wait operation timed out.\r\n"},
      {259, u"No more data is available.\r\n"},
      {1004, u"Invalid flags.\r\n"},
      {1051, u"A stop control has been sent to a service that other running services are dependent on.\r\n"},
      {1052, u"The requested control is not valid for this service.\r\n"},
      {1053, u"The service did not respond to the start or control request in a timely fashion.\r\n"},
      {1056, u"An instance of the service is already running.\r\n"},
      {1058,
       u"The service cannot be started, either because it is disabled or because it has no enabled devices "
       u"associated with it.\r\n"},
      {1215, u"The format of the specified share name is invalid.\r\n"},
      {1338, u"The security descriptor structure is invalid.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1061, u"The service cannot accept control messages at this time.\r\n"},
      {1062, u"The service has not been started.\r\n"},
      {1068, u"The dependency service or group failed to start.\r\n"},
      {1400, u"Invalid window handle.\r\n"},
      {1722, u"The RPC server is unavailable.\r\n"},
      {1780, u"A null reference pointer was passed to the stub.\r\n"},
      {1784, u"The supplied user buffer is not valid for the requested operation.\r\n"},
      {1796, u"The specified port is unknown.\r\n"},
      {1797, u"The printer driver is unknown.\r\n"},
      {1799, u"The specified separator file is invalid.\r\n"},
      {1801, u"The printer name is invalid.\r\n"},
      {1802, u"The printer already exists.\r\n"},
      {1804, u"The specified datatype is invalid.\r\n"},
      {1805, u"The environment specified is invalid.\r\n"},
      {3000, u"The specified print monitor is unknown.\r\n"},
      {3001, u"The specified printer driver is currently in use.\r\n"},
      {3002, u"The spool file was not found.\r\n"},
      {3006, u"The specified print monitor has already been installed.\r\n"},
      {3008, u"The specified print monitor is currently in use.\r\n"},
      {3009, u"The requested operation is not allowed when there are jobs queued to the printer.\r\n"},
      {0x80004005u, u"Unspecified error\r\n"},
      {0x8007000Eu, u"Not enough memory resources are available to complete this operation.\r\n"},
  };
  return messages;
}

}  // namespace
}  // namespace winsim

DWORD GetLastError() { return winsim::Kernel().lastError; }
void SetLastError(DWORD code) { winsim::Kernel().lastError = code; }

void Sleep(DWORD milliseconds) {
  winsim::EnterCall("Sleep", {std::to_string(milliseconds)});
  winsim::Advance(milliseconds);
}

DWORD GetTickCount() {
  winsim::EnterCall("GetTickCount", {});
  return winsim::Now();
}

#define ERROR_MR_MID_NOT_FOUND 317L

// Only the form the installer uses: a system message, allocated, no inserts.
DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD, void*) {
  if (winsim::EnterCall("FormatMessageW", {winsim::Hex(flags), std::to_string(messageId), std::to_string(languageId)}))
    return 0;
  const auto& messages = winsim::Messages();
  auto found = messages.find(messageId);
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || found == messages.end()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string text = found->second;
  auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
  if (block == nullptr) return 0;
  std::copy(text.begin(), text.end(), block);
  block[text.size()] = 0;
  *reinterpret_cast<LPWSTR*>(buffer) = block;
  return static_cast<DWORD>(text.size());
}

// The simulated ANSI code page is Windows-1252's lower half plus Latin-1: each byte becomes
// the code unit of the same value.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textBytes, LPWSTR out, int outChars) {
  if (winsim::EnterCall("MultiByteToWideChar", {std::to_string(codePage), std::to_string(flags)})) return 0;
  if (text == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int count = textBytes < 0 ? static_cast<int>(std::strlen(text)) + 1 : textBytes;
  if (outChars == 0) return count;
  if (outChars < count) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < count; i++) out[i] = static_cast<unsigned char>(text[i]);
  return count;
}

int lstrlenW(LPCWSTR text) {
  if (text == nullptr) return 0;
  int n = 0;
  while (text[n]) n++;
  return n;
}

int lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }

LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from) {
  int n = lstrlenW(from);
  std::copy(from, from + n + 1, to);
  return to;
}

LPWSTR lstrcatW(LPWSTR to, LPCWSTR from) {
  lstrcpyW(to + lstrlenW(to), from);
  return to;
}

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
  std::u16string x = a ? a : u"", y = b ? b : u"";
  return x < y ? -1 : x > y ? 1 : 0;
}

LPWSTR GetCommandLineW() {
  winsim::EnterCall("GetCommandLineW", {});
  return winsim::Kernel().commandLine.data();
}

namespace {

bool IsBlank(WCHAR c) { return c == u' ' || c == u'\t'; }

// Splits the way shell32 does: the program name ends at the next quote (when it starts with
// one) or blank, with no escapes; the other arguments follow the backslash-quote rules, where
// 2n backslashes and a quote give n backslashes and toggle quoting, 2n+1 give n and a literal
// quote, and a quote right after a closing quote is literal.
std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t i = 0, n = line.size();
  std::u16string program;
  if (n > 0 && line[0] == u'"') {
    for (i = 1; i < n && line[i] != u'"'; i++) program += line[i];
    if (i < n) i++;
  } else {
    for (; i < n && !IsBlank(line[i]); i++) program += line[i];
  }
  args.push_back(program);
  while (i < n && IsBlank(line[i])) i++;
  if (i >= n) return args;
  std::u16string arg;
  int quotes = 0;
  size_t backslashes = 0;
  while (i < n) {
    WCHAR c = line[i];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(arg);
      arg.clear();
      backslashes = 0;
      while (i < n && IsBlank(line[i])) i++;
      if (i >= n) return args;
      continue;
    }
    if (c == u'\\') {
      arg += c;
      backslashes++;
      i++;
      continue;
    }
    if (c == u'"') {
      if (backslashes % 2 == 0) {
        arg.resize(arg.size() - backslashes / 2);
        quotes++;
      } else {
        arg.resize(arg.size() - backslashes / 2 - 1);
        arg += u'"';
      }
      i++;
      backslashes = 0;
      while (i < n && line[i] == u'"') {
        if (++quotes == 3) {
          arg += u'"';
          quotes = 0;
        }
        i++;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    arg += c;
    backslashes = 0;
    i++;
  }
  args.push_back(arg);
  return args;
}

}  // namespace

// One LocalAlloc block: the pointer array, then the strings, as shell32 lays it out.
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count) {
  if (winsim::EnterCall("CommandLineToArgvW", {winsim::Utf8(commandLine)})) return nullptr;
  if (commandLine == nullptr || count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::u16string> args = *commandLine
                                         ? SplitCommandLine(commandLine)
                                         : std::vector<std::u16string>{winsim::Kernel().modulePath};
  size_t chars = 0;
  for (const auto& arg : args) chars += arg.size() + 1;
  size_t bytes = (args.size() + 1) * sizeof(LPWSTR) + chars * sizeof(WCHAR);
  auto* block = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
  if (block == nullptr) return nullptr;
  auto* text = reinterpret_cast<LPWSTR>(block + args.size() + 1);
  for (size_t k = 0; k < args.size(); k++) {
    block[k] = text;
    std::copy(args[k].begin(), args[k].end(), text);
    text += args[k].size();
    *text++ = 0;
  }
  block[args.size()] = nullptr;
  *count = static_cast<int>(args.size());
  return block;
}

// Like Windows: the path is cut to fit and the result is the count copied.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (winsim::EnterCall("GetModuleFileNameW", {winsim::Ptr(module), std::to_string(size)})) return 0;
  const std::u16string& path = winsim::Kernel().modulePath;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  DWORD n = static_cast<DWORD>(std::min<size_t>(path.size(), size - 1));
  std::copy(path.begin(), path.begin() + n, buffer);
  buffer[n] = 0;
  if (n < path.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return n;
}

// Too small a buffer: the size needed, terminator included, and nothing copied.
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (winsim::EnterCall("GetSystemDirectoryW", {std::to_string(size)})) return 0;
  const std::u16string& path = winsim::Kernel().systemDirectory;
  if (path.size() + 1 > size) return static_cast<UINT>(path.size() + 1);
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  return static_cast<UINT>(path.size());
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (winsim::EnterCall("GetVersionExA", {})) return FALSE;
  if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *info = winsim::Kernel().version;
  return TRUE;
}

void LimitDllSearchToSystemDirectory() { winsim::EnterCall("LimitDllSearchToSystemDirectory", {}); }
