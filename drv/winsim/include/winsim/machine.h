// The simulated Windows machine behind winsim's Win32 calls: what a test sets up before it runs
// the installer, and what it reads back afterwards. One machine per process; ResetMachine()
// gives a fresh one (every test starts with it).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "winsim/win32_types.h"

namespace winsim {

// A fresh machine: empty heap accounting, clock at 0, no call record, no faults, and every area
// (windows, services, files, registry, spooler, processes) back to its initial state.
void ResetMachine();

// Areas register what ResetMachine() must put back; each area's source does it once at start-up.
void RegisterReset(void (*reset)());

// Kernel handles (files, mutexes, processes) are closed through one CloseHandle, which asks
// each area's closer in turn; a closer answers true when the handle was its own and is now
// closed. An area gives its handles values that no other area uses.
void RegisterHandleCloser(bool (*closer)(HANDLE handle));

// --- Call record -------------------------------------------------------------------------
// Every simulated Win32 call is recorded with its arguments rendered as text (UTF-8 for wide
// text, decimal for numbers unless the call says otherwise) and the tick at which it was made.
struct Call {
  std::string name;
  std::vector<std::string> args;
  DWORD tick;
};
const std::vector<Call>& Calls();
std::vector<Call> CallsOf(const std::string& name);
size_t CountCalls(const std::string& name);
void ClearCalls();

// --- Fault injection ---------------------------------------------------------------------
// The next `count` calls of `name` (after letting `skip` calls through) fail with `error` as
// their last-error code and their documented failure result. A count of -1 fails every call.
void FailNext(const std::string& name, int count, DWORD error, int skip = 0);
// The call that will stand at `index` in the call record (counting from the last ClearCalls or
// ResetMachine) fails with `error`, whatever its name. One such fault at a time.
void FailCallAt(size_t index, DWORD error);
void ClearFaults();

// --- The installer's process dying --------------------------------------------------------
// Thrown out of the simulated call before which the installer's process dies: nothing more of
// the run happens. Whoever runs the installer catches it and calls EndInstallerProcess().
struct ProcessDied {};
// The process dies just before the call that would stand at `index` in the call record
// (counting as FailCallAt does), or before the first call at which `condition` answers true
// (asked as each call is entered). One death at a time; ClearFaults() disarms it.
void DieAtCall(size_t index);
void DieWhen(std::function<bool()> condition);
// Ends the installer's process as Windows ends one that died: every handle it held is closed
// (printers, registry keys, files, services, event sources, mutexes and processes), the mutexes
// it owned are abandoned, and its heap, global and local blocks are given back. The machine
// stays as the process left it: files, registry, spooler objects, a stopped spooler stopped.
void EndInstallerProcess();
// Each area registers how it lets go of what the installer's process held.
void RegisterInstallerEnd(void (*end)());

// Used by the simulated calls: records the call and answers whether an injected fault applies,
// in which case the last error has been set and the call must return its failure value.
bool EnterCall(const char* name, std::vector<std::string> args);

// --- Text helpers ------------------------------------------------------------------------
std::string Utf8(const WCHAR* text);            // null gives "(null)"
std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& utf8);
std::string Hex(uint64_t value);                // "0x..." lower case
std::string Ptr(const void* p);                 // "null" or "0x..."

// --- Memory accounting -------------------------------------------------------------------
enum class Allocator { Heap, Global, Local };
size_t LiveBlocks(Allocator allocator);
size_t LiveBlocks();                            // all three
size_t AllocationCount(Allocator allocator);    // blocks handed out by fresh allocations
size_t ReallocationCount();
size_t BadReleases();                           // frees of unknown blocks or with the wrong allocator
size_t BlockSize(const void* block);            // 0 when not a live block
// Makes the next `count` allocations of that allocator fail (after `skip` succeed).
void FailAllocations(Allocator allocator, int count, int skip = 0);

// --- Virtual clock -----------------------------------------------------------------------
// Time passes only through Sleep, waits, and Advance. Events scheduled on the clock run, in
// time order, when the clock reaches them.
DWORD Now();
void SetTick(DWORD tick);                        // for wrap-around tests
void Advance(DWORD milliseconds);
void ScheduleAfter(DWORD milliseconds, std::function<void()> event);
// Runs every event due up to `deadline` (relative to now, in ms) but stops early, at the event
// time, as soon as `done` answers true; returns whether it did. Used by waits.
bool AdvanceUntil(DWORD milliseconds, const std::function<bool()>& done);

// --- Process environment -----------------------------------------------------------------
void SetCommandLine(const std::u16string& commandLine);
void SetModulePath(const std::u16string& path);
std::u16string ModulePath();                            // both read without a call record
std::u16string CommandLine();
void SetSystemDirectory(const std::u16string& path);   // GetSystemDirectoryW's answer
std::u16string SystemDirectory();                       // the same, read without a call record
void SetShiftHeld(bool held);
void SetWindowsVersion(DWORD major, DWORD minor, DWORD build);

// --- Windows -----------------------------------------------------------------------------
struct WindowSpec {
  std::u16string className;
  std::u16string title;
  // Called for each message posted to the window (the message is recorded either way).
  std::function<void(HWND, UINT, WPARAM, LPARAM)> onPost;
  DWORD session = 1;  // whose desktop it is on: FindWindowW finds it from that session only
};
HWND CreateSimWindow(const WindowSpec& setup);
void DestroySimWindow(HWND window);
bool WindowExists(HWND window);
size_t WindowCount();
struct PostedMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD tick;
};
const std::vector<PostedMessage>& PostedMessages();

// A help viewer window ("HH Parent", "Orvandelle Help") that closes when it receives
// WM_SYSCOMMAND/SC_CLOSE, or never when `closes` is false.
HWND OpenHelpWindow(bool closes = true);

// --- Dialogs -----------------------------------------------------------------------------
// DialogBoxParamW runs the dialog procedure with WM_INITDIALOG, then sends the scripted
// WM_COMMAND values one by one until the procedure calls EndDialog. The default script is
// {IDOK} (the user presses Close). A script that never ends the dialog makes DialogBoxParamW
// return -1 instead of hanging.
void SetDialogScript(std::vector<WPARAM> commands);
// Called as DialogBoxParamW is entered (before any injected fault applies) with the value the
// caller passes for WM_INITDIALOG: lets a test look at what the caller shows while it is alive.
void SetDialogHook(std::function<void(LPARAM init)> hook);
struct DialogRun {
  uintptr_t templateId;
  HWND parent;
  std::u16string title;
  std::vector<std::pair<int, std::u16string>> itemTexts;
  std::vector<INT_PTR> procResults;   // what the procedure answered, message by message
  INT_PTR result;
};
const std::vector<DialogRun>& Dialogs();
std::u16string DialogItemText(const DialogRun& run, int id);   // last text set, or u""

// --- Window station and event log --------------------------------------------------------
// The process's window station: visible (WSF_VISIBLE, an interactive session) by default.
// A service's station, or one made with CreateWindowStationW, is not visible: a window there
// is seen by nobody. A modal dialog there would wait forever: DialogBoxParamW records it (in
// Dialogs(), after WM_INITDIALOG) but runs no script and returns -1, as nobody can close it.
void SetWindowStationVisible(bool visible);
// Each event ReportEventW wrote to the Application log, with the source it was registered as.
struct LoggedEvent {
  std::u16string source;
  WORD type;
  WORD category;
  DWORD eventId;
  std::vector<std::u16string> strings;
};
const std::vector<LoggedEvent>& LoggedEvents();
// Event-log handles from RegisterEventSourceW not yet given back with DeregisterEventSource.
size_t OpenEventSources();

// --- Restart -----------------------------------------------------------------------------
// The machine starts again, as after a reboot: every simulated process ends (letting go of its
// files and mutexes, closing its windows); the system carries out "PendingFileRenameOperations"
// in order (a deletion removes a file; a rename moves a file, over an existing target only with
// the "!" mark) and removes the value; and the spooler service runs again, loading the monitor
// DLLs and driver files that are there. Programs named in the Run key are not started. Files,
// registry, spooler objects, the call record, the clock and the knobs stay.
void RestartMachine();

}  // namespace winsim
