#include "app/install_log.h"

#include "app/command_dispatch.h"
#include "app/install_context.h"
#include "spooler/spooler_queries.h"

namespace {

const int kLineCapacity = 1024;

// Where a run nobody can see leaves its log: the Application event log, under this source and
// event id. The log takes at most kMaxEventChars characters in one event, all its insertion
// strings together; a longer log is written as several events, each a numbered part.
const WCHAR kEventSource[] = W("Orvandelle Install");
const DWORD kLogEventId = 1;
const uint64_t kMaxEventChars = 31839;
const uint64_t kPartHeaderChars = 64;  // room for "Install log k of n" and its line break
// A refused event is tried again with parts half as long, down to this size.
const uint64_t kSmallestPartChars = 512;
const int kTitleCapacity = 264;
const int kMaxIndentLevels = 10;
const DWORD kUsEnglish = 1033;

// Appends into a fixed buffer, dropping whatever does not fit before the terminator.
struct LineWriter {
  WCHAR* buffer;
  int capacity;
  int length;

  void Put(WCHAR c) {
    if (length < capacity - 1) buffer[length++] = c;
  }
  void PutText(const WCHAR* text) {
    for (; *text; text++) Put(*text);
  }
  void PutNumber(uint32_t value, uint32_t base) {
    WCHAR digits[16];
    int n = 0;
    do {
      uint32_t digit = value % base;
      digits[n++] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'a' + digit - 10);
      value /= base;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
  }
};

const WCHAR* StripTrailingLineBreaks(WCHAR* text) {
  uint64_t n = TextLength(text);
  while (n > 1 && (text[n - 1] == '\r' || text[n - 1] == '\n')) text[--n] = 0;
  // The first character stays even when it is a line break itself.
  return text;
}

// Each numbered error has exactly one message; the odd spellings are the product's own.
const WCHAR* const kErrorFormats[] = {
    nullptr,
    W("Can't open service manager."),
    W("Can't open the spooler"),
    W("Can't stop the spooler"),
    W("Can't start the spooler"),
    W("ControlService failed with code %d (0x%x)"),
    W("Can`t retrieve printer driver directory."),
    W("Can`t retrieve system directory."),
    W("CopyFile(..,%s)"),
    W("Cant't open destination file: %s"),
    W("Cant't open source file: %s"),
    W("Can`t install a local port monitor'Orvandelle:'"),
    W("Can`t remove the port monitor 'Orvandelle:'"),
    W("Can`t install a printer driver 'Orvandelle printer'"),
    W("Can`t remove the printer-driver 'Orvandelle printer'"),
    W("Can`t add printer '%s'"),
    W("Can`t open printer '%s'"),
    W("Can`t delete printer '%s'"),
    // The machine's list of deletions at its next start still deletes what it must not.
    W("Can`t rewrite PendingFileRenameOperations"),
    // Another run of the installer kept the machine for the whole wait.
    W("Another installation of the product is still running; nothing was changed"),
    // A component the install would copy is missing or unreadable beside the installer.
    W("Can`t read %s; nothing was changed"),
    // A service that depends on the spooler, stopped with it, does not run again.
    W("Can`t start the service '%s' again"),
    // The spooler refused a setting of a re-created printer; the line before names which.
    W("Can`t restore the settings of printer '%s'"),
    // The record of printers being carried over; the line before says what was not done.
    W("Can`t update the record of printers being carried over"),
    W("The record of printer '%s' to carry over is damaged"),
    // The lock that keeps two runs apart could not be had safely: its name is held by something
    // that is not an installer's run, or the calls to take it failed.
    W("Can`t take the lock that keeps installations apart; nothing was changed"),
};
const int32_t kErrorCodes = sizeof(kErrorFormats) / sizeof(kErrorFormats[0]);

}  // namespace

int FormatText(WCHAR* buffer, int capacity, const WCHAR* format, va_list values) {
  LineWriter out{buffer, capacity, 0};
  if (capacity <= 0) return 0;
  for (const WCHAR* p = format; p != nullptr && *p; p++) {
    if (*p != '%' || p[1] == 0) {
      out.Put(*p);
      continue;
    }
    switch (*++p) {
      case 's': {
        const WCHAR* text = va_arg(values, const WCHAR*);
        out.PutText(text ? text : W("(null)"));
        break;
      }
      case 'd': {
        int32_t value = va_arg(values, int32_t);
        if (value < 0) out.Put('-');
        out.PutNumber(value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value), 10);
        break;
      }
      case 'x':
        out.PutNumber(va_arg(values, uint32_t), 16);
        break;
      case '%':
        out.Put('%');
        break;
      default:
        out.Put('%');
        out.Put(*p);
    }
  }
  buffer[out.length] = 0;
  return out.length;
}

void AppendLogText(InstallContext& context, const WCHAR* text) {
  if (context.Depth > 0) {
    WCHAR indent[2 * kMaxIndentLevels + 1];
    int levels = context.Depth < kMaxIndentLevels ? context.Depth : kMaxIndentLevels;
    for (int i = 0; i < 2 * levels; i++) indent[i] = ' ';
    indent[2 * levels] = 0;
    Append(context.LogText, indent);
  }
  if (text != nullptr && text[0] != 0) Append(context.LogText, text);
  Append(context.LogText, W("\r\n"));
}

void LogLine(InstallContext& context, const WCHAR* format, ...) {
  WCHAR line[kLineCapacity];
  va_list values;
  va_start(values, format);
  FormatText(line, kLineCapacity, format, values);
  va_end(values);
  AppendLogText(context, line);
}

static void FormatInto(LineWriter& out, const WCHAR* format, ...) {
  va_list values;
  va_start(values, format);
  out.length += FormatText(out.buffer + out.length, out.capacity - out.length, format, values);
  va_end(values);
}

const WCHAR* ErrorFormat(int32_t code) { return code > 0 && code < kErrorCodes ? kErrorFormats[code] : nullptr; }

static void LogErrorLine(InstallContext& context, int32_t code, const WCHAR* format, va_list values) {
  WCHAR line[kLineCapacity];
  LineWriter out{line, kLineCapacity, 0};
  FormatInto(out, W("Error(%d): "), code);
  out.length += FormatText(line + out.length, kLineCapacity - out.length, format, values);

  DWORD lastError = GetLastError();
  WCHAR* description = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, lastError, kUsEnglish, reinterpret_cast<LPWSTR>(&description), 0, nullptr);
  if (lastError != 0) {
    if (description != nullptr)
      FormatInto(out, W(" - (%s)"), StripTrailingLineBreaks(description));
    else
      FormatInto(out, W(" - ( No Description )"));
  }
  AppendLogText(context, line);
  context.ErrorCount++;
  if (description != nullptr) LocalFree(description);
}

void LogError(InstallContext& context, int32_t code, const WCHAR* format, ...) {
  va_list values;
  va_start(values, format);
  LogErrorLine(context, code, format, values);
  va_end(values);
}

void ReportError(InstallContext& context, int32_t code, ...) {
  va_list values;
  va_start(values, code);
  LogErrorLine(context, code, ErrorFormat(code), values);
  va_end(values);
}

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const InstallContext& context = *reinterpret_cast<const InstallContext*>(lParam);
    SetDlgItemTextW(dialog, kLogTextId, Chars(context.LogText));
    WCHAR title[kTitleCapacity];
    LineWriter out{title, kTitleCapacity, 0};
    FormatInto(out, W("Orvandelle build %d- Install"), kInstallerBuild);
    out.PutText(context.ErrorCount != 0 ? W(" error log!") : W(" log."));
    title[out.length] = 0;
    SetWindowTextW(dialog, title);
  } else if (message == WM_COMMAND) {
    WORD command = LOWORD(wParam);
    if (command == IDOK) EndDialog(dialog, 1);
    if (command == IDCANCEL) EndDialog(dialog, 0);
  }
  // No message is claimed as handled, so the dialog manager sets no initial focus.
  return 0;
}

namespace {

bool WindowStationIsVisible() {
  // Since Windows Vista nobody sees session 0's desktop, though a service that may interact
  // with it, or a program started there interactively, has a WSF_VISIBLE "WinSta0".
  if (InServicesSession()) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  // A station that cannot be asked is taken as one nobody sees: a window there could keep the
  // command from ever ending.
  if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
    return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

struct EventWriter {
  HANDLE source;
  WORD type;
  WCHAR* buffer;  // kMaxEventChars + 1 characters
};

// Where a part that starts at `start` and holds at most `chars` characters ends: after its last
// line break, when it has one, so that no line is cut in two.
uint64_t PartEnd(const WCHAR* log, uint64_t length, uint64_t start, uint64_t chars) {
  if (length - start <= chars) return length;
  for (uint64_t end = start + chars; end > start; end--)
    if (log[end - 1] == '\n') return end;
  return start + chars;
}

uint64_t CountParts(const WCHAR* log, uint64_t length, uint64_t start, uint64_t chars) {
  uint64_t parts = 0;
  for (uint64_t at = start; at < length; at = PartEnd(log, length, at, chars)) parts++;
  return parts;
}

LineWriter EventText(EventWriter& writer) { return LineWriter{writer.buffer, static_cast<int>(kMaxEventChars + 1), 0}; }

// What `out` holds, as one event.
bool ReportText(EventWriter& writer, const LineWriter& out) {
  writer.buffer[out.length] = 0;
  LPCWSTR strings[1] = {writer.buffer};
  return ReportEventW(writer.source, writer.type, 0, kLogEventId, nullptr, 1, 0, strings, nullptr) != FALSE;
}

// One event; a part of several begins with its number.
bool WritePart(EventWriter& writer, const WCHAR* text, uint64_t chars, uint64_t part, uint64_t parts) {
  LineWriter out = EventText(writer);
  if (parts > 1)
    FormatInto(out, W("Install log %d of %d\r\n"), static_cast<int32_t>(part), static_cast<int32_t>(parts));
  for (uint64_t i = 0; i < chars; i++) out.Put(text[i]);
  return ReportText(writer, out);
}

// The whole log, in one event when it fits. A refused event is tried again with parts half as
// long, the parts still to come numbered anew; when even the smallest is refused, a last short
// event says how much of the log is missing.
void WriteLogEvents(EventWriter& writer, const WCHAR* log, uint64_t length) {
  uint64_t chars = length <= kMaxEventChars ? kMaxEventChars : kMaxEventChars - kPartHeaderChars;
  uint64_t parts = length == 0 ? 1 : CountParts(log, length, 0, chars);
  uint64_t at = 0, written = 0;
  while (at < length || written == 0) {
    uint64_t end = length == 0 ? 0 : PartEnd(log, length, at, chars);
    if (WritePart(writer, log + at, end - at, written + 1, parts)) {
      written++;
      at = end;
      continue;
    }
    if (chars <= kSmallestPartChars) break;
    chars = chars / 2 > kSmallestPartChars ? chars / 2 : kSmallestPartChars;
    parts = written + CountParts(log, length, at, chars);
  }
  if (at >= length && written != 0) return;
  LineWriter out = EventText(writer);
  FormatInto(out, W("The install log could not be written whole: its last %d characters are missing (error %d)"),
             static_cast<int32_t>(length - at), static_cast<int32_t>(GetLastError()));
  ReportText(writer, out);
}

void ReportLogToEventLog(const InstallContext& context) {
  auto* buffer = static_cast<WCHAR*>(AllocateZeroed((kMaxEventChars + 1) * sizeof(WCHAR)));
  if (buffer == nullptr) return;
  HANDLE source = RegisterEventSourceW(nullptr, kEventSource);
  if (source != nullptr) {
    WORD type = context.ErrorCount != 0 ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    EventWriter writer{source, type, buffer};
    WriteLogEvents(writer, Chars(context.LogText), Length(context.LogText));
    DeregisterEventSource(source);
  }
  GlobalFree(buffer);
}

}  // namespace

void ShowLogWindowWhenNeeded(InstallContext& context, HWND parent) {
  // Nobody could see the window or close it, and the command would never end: the log goes to
  // the event log instead, whatever was counted, and the command goes on as if it was closed.
  if (!WindowStationIsVisible()) {
    ReportLogToEventLog(context);
    return;
  }
  // Shift is asked only when no error was counted.
  if (context.ErrorCount == 0 && (GetAsyncKeyState(VK_SHIFT) & 0x8000) == 0) return;
  DialogBoxParamW(ModuleHandle, MAKEINTRESOURCEW(kLogDialogId), parent, LogDialogProc,
                  reinterpret_cast<LPARAM>(&context));
}
