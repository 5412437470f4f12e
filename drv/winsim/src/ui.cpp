// Top-level windows, posted messages, the Shift key and modal dialogs run from a script.
#include <map>

#include "winsim/machine.h"
#include "winsim/sim_process.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct Window {
  WindowSpec setup;
};

struct OpenDialog {
  bool ended = false;
  INT_PTR result = 0;
  size_t run = 0;  // index into dialogs
};

// The Application log takes at most this many characters in one event, all its insertion
// strings together (Windows documents 31,839 for one string; an event of several strings that
// together pass it is refused too).
const size_t kMaxEventChars = 31839;
HWINSTA const kStation = reinterpret_cast<HWINSTA>(uintptr_t(0x7C0));

struct UiState {
  uintptr_t nextHandle = 0x10010;
  bool stationVisible = true;
  std::vector<LoggedEvent> events;
  std::map<HANDLE, std::u16string> eventSources;
  uintptr_t nextEventSource = 0x7E000;
  std::map<HWND, Window> windows;
  std::vector<PostedMessage> posted;
  bool shiftHeld = false;
  std::vector<WPARAM> dialogScript = {IDOK};
  std::function<void(LPARAM)> dialogHook;
  std::vector<DialogRun> dialogs;
  std::map<HWND, OpenDialog> openDialogs;
};

UiState& Ui() {
  static UiState state;
  return state;
}

void Reset() { Ui() = UiState(); }

void EndInstaller() { Ui().eventSources.clear(); }

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterInstallerEnd(&EndInstaller);
  }
} registrar;

}  // namespace

HWND CreateSimWindow(const WindowSpec& setup) {
  HWND window = reinterpret_cast<HWND>(Ui().nextHandle);
  Ui().nextHandle += 0x10;
  Ui().windows[window] = Window{setup};
  return window;
}

void DestroySimWindow(HWND window) { Ui().windows.erase(window); }
bool WindowExists(HWND window) { return Ui().windows.count(window) != 0; }
size_t WindowCount() { return Ui().windows.size(); }
const std::vector<PostedMessage>& PostedMessages() { return Ui().posted; }
void SetShiftHeld(bool held) { Ui().shiftHeld = held; }
void SetDialogScript(std::vector<WPARAM> commands) { Ui().dialogScript = std::move(commands); }
void SetDialogHook(std::function<void(LPARAM init)> hook) { Ui().dialogHook = std::move(hook); }
const std::vector<DialogRun>& Dialogs() { return Ui().dialogs; }

std::u16string DialogItemText(const DialogRun& run, int id) {
  std::u16string text;
  for (const auto& item : run.itemTexts)
    if (item.first == id) text = item.second;
  return text;
}

void SetWindowStationVisible(bool visible) { Ui().stationVisible = visible; }
const std::vector<LoggedEvent>& LoggedEvents() { return Ui().events; }
size_t OpenEventSources() { return Ui().eventSources.size(); }

HWND OpenHelpWindow(bool closes) {
  WindowSpec setup{u"HH Parent", u"Orvandelle Help", nullptr};
  if (closes)
    setup.onPost = [](HWND window, UINT message, WPARAM wParam, LPARAM) {
      if (message == WM_SYSCOMMAND && wParam == SC_CLOSE) DestroySimWindow(window);
    };
  return CreateSimWindow(setup);
}

}  // namespace winsim

using winsim::Ui;

HWND FindWindowW(LPCWSTR className, LPCWSTR title) {
  if (winsim::EnterCall("FindWindowW", {winsim::Utf8(className), winsim::Utf8(title)})) return nullptr;
  for (const auto& entry : Ui().windows) {
    const winsim::WindowSpec& setup = entry.second.setup;
    if (className && setup.className != className) continue;
    if (title && setup.title != title) continue;
    // Each session has its own window station and desktop: another session's windows are not there.
    if (setup.session != winsim::InstallerSession()) continue;
    return entry.first;
  }
  SetLastError(0);
  return nullptr;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (winsim::EnterCall("PostMessageW", {winsim::Ptr(window), std::to_string(message), std::to_string(wParam),
                                         std::to_string(lParam)}))
    return FALSE;
  auto found = Ui().windows.find(window);
  if (found == Ui().windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Ui().posted.push_back(winsim::PostedMessage{window, message, wParam, lParam, winsim::Now()});
  auto onPost = found->second.setup.onPost;
  if (onPost) onPost(window, message, wParam, lParam);
  return TRUE;
}

BOOL IsWindow(HWND window) {
  winsim::EnterCall("IsWindow", {winsim::Ptr(window)});
  return Ui().windows.count(window) ? TRUE : FALSE;
}

SHORT GetAsyncKeyState(int key) {
  winsim::EnterCall("GetAsyncKeyState", {std::to_string(key)});
  return (key == VK_SHIFT && Ui().shiftHeld) ? static_cast<SHORT>(0x8000) : 0;
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM init) {
  uintptr_t id = reinterpret_cast<uintptr_t>(templateName);
  if (Ui().dialogHook) Ui().dialogHook(init);
  if (winsim::EnterCall("DialogBoxParamW",
                        {winsim::Ptr(instance), std::to_string(id), winsim::Ptr(parent), winsim::Ptr(reinterpret_cast<void*>(init))}))
    return -1;
  HWND dialog = winsim::CreateSimWindow(winsim::WindowSpec{u"#32770", u"", nullptr});
  Ui().dialogs.push_back(winsim::DialogRun{id, parent, u"", {}, {}, 0});
  size_t run = Ui().dialogs.size() - 1;
  Ui().openDialogs[dialog] = winsim::OpenDialog{false, 0, run};
  Ui().dialogs[run].procResults.push_back(proc(dialog, WM_INITDIALOG, 0, init));
  // Nobody sees a window on a station without a display surface, so nobody closes it.
  std::vector<WPARAM> script = Ui().stationVisible ? Ui().dialogScript : std::vector<WPARAM>();
  INT_PTR result = -1;
  for (WPARAM command : script) {
    if (Ui().openDialogs[dialog].ended) break;
    Ui().dialogs[run].procResults.push_back(proc(dialog, WM_COMMAND, command, 0));
  }
  if (Ui().openDialogs[dialog].ended) result = Ui().openDialogs[dialog].result;
  Ui().dialogs[run].result = result;
  Ui().openDialogs.erase(dialog);
  winsim::DestroySimWindow(dialog);
  return result;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  if (winsim::EnterCall("SetDlgItemTextW", {winsim::Ptr(dialog), std::to_string(id)})) return FALSE;
  auto found = Ui().openDialogs.find(dialog);
  if (found == Ui().openDialogs.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Ui().dialogs[found->second.run].itemTexts.emplace_back(id, text ? text : u"");
  return TRUE;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  if (winsim::EnterCall("SetWindowTextW", {winsim::Ptr(window), winsim::Utf8(text)})) return FALSE;
  auto found = Ui().windows.find(window);
  if (found == Ui().windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  found->second.setup.title = text ? text : u"";
  auto dialog = Ui().openDialogs.find(window);
  if (dialog != Ui().openDialogs.end()) Ui().dialogs[dialog->second.run].title = found->second.setup.title;
  return TRUE;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  winsim::EnterCall("EndDialog", {winsim::Ptr(dialog), std::to_string(result)});
  auto found = Ui().openDialogs.find(dialog);
  if (found == Ui().openDialogs.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  found->second.ended = true;
  found->second.result = result;
  return TRUE;
}

HWINSTA GetProcessWindowStation() {
  if (winsim::EnterCall("GetProcessWindowStation", {})) return nullptr;
  return winsim::kStation;
}

// Only the flags of the process's window station are simulated.
BOOL GetUserObjectInformationW(HANDLE object, int index, LPVOID info, DWORD length, LPDWORD needed) {
  if (winsim::EnterCall("GetUserObjectInformationW",
                        {winsim::Ptr(object), std::to_string(index), winsim::Ptr(info), std::to_string(length)}))
    return FALSE;
  if (object != winsim::kStation) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (index != UOI_FLAGS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (needed) *needed = sizeof(USEROBJECTFLAGS);
  if (info == nullptr || length < sizeof(USEROBJECTFLAGS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  USEROBJECTFLAGS flags = {FALSE, FALSE, Ui().stationVisible ? DWORD(WSF_VISIBLE) : 0u};
  *static_cast<USEROBJECTFLAGS*>(info) = flags;
  return TRUE;
}

// Any source name is accepted and writes to the Application log, as on Windows for a source
// that no message file describes.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  if (winsim::EnterCall("RegisterEventSourceW", {winsim::Utf8(server), winsim::Utf8(source)})) return nullptr;
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(Ui().nextEventSource);
  Ui().nextEventSource += 4;
  Ui().eventSources[handle] = source;
  return handle;
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
                  DWORD dataSize, LPCWSTR* strings, LPVOID data) {
  if (winsim::EnterCall("ReportEventW", {winsim::Ptr(eventLog), std::to_string(type), std::to_string(category),
                                         std::to_string(eventId), winsim::Ptr(user), std::to_string(stringCount),
                                         std::to_string(dataSize)}))
    return FALSE;
  auto source = Ui().eventSources.find(eventLog);
  if (source == Ui().eventSources.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((stringCount > 0 && strings == nullptr) || (dataSize > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  winsim::LoggedEvent event{source->second, type, category, eventId, {}};
  size_t chars = 0;
  for (WORD i = 0; i < stringCount; i++) {
    event.strings.push_back(strings[i] ? strings[i] : u"");
    chars += event.strings.back().size();
  }
  if (chars > winsim::kMaxEventChars) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Ui().events.push_back(event);
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (winsim::EnterCall("DeregisterEventSource", {winsim::Ptr(eventLog)})) return FALSE;
  if (Ui().eventSources.erase(eventLog) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
