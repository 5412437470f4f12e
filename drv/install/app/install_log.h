// The in-memory install log, numbered error lines and the log window.
#pragma once

#include <cstdarg>

#include "platform.h"

struct InstallContext;

// Formats printf-style with %s (UTF-16 text), %d (signed 32-bit), %x (unsigned 32-bit, lower
// case) and %% into `buffer` of `capacity` characters, terminator included; a longer result is
// cut at the buffer's end. Returns the characters written.
int FormatText(WCHAR* buffer, int capacity, const WCHAR* format, va_list values);

void AppendLogText(InstallContext& context, const WCHAR* text);
void LogLine(InstallContext& context, const WCHAR* format, ...);
void LogError(InstallContext& context, int32_t code, const WCHAR* format, ...);
// LogError with the one message that belongs to `code` (1 to 25) and the values it takes.
void ReportError(InstallContext& context, int32_t code, ...);
const WCHAR* ErrorFormat(int32_t code);  // null outside the numbered errors

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the log window for `context`, owned by `parent` (or nobody), and waits for it to close,
// when an error was counted or, failing that, when the Shift key is held at this moment.
// In a window station nobody sees (a service's, SYSTEM's), no window is shown: the whole log
// goes to the Application event log as one event instead (source "Orvandelle Install", event
// 1, error type when an error was counted, information type otherwise).
void ShowLogWindowWhenNeeded(InstallContext& context, HWND parent);

// The log window's dialog resource and its text box.
const int kLogDialogId = 101;
const int kLogTextId = 1001;
