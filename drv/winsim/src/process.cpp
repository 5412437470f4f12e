// Processes, named mutexes and waits on them, and the stand-in tray program. The installer is
// process kInstallerProcess with one thread; every other process is simulated here and acts
// through the clock (ScheduleAfter), never through the recorded Win32 calls.
#include <map>

#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/win32_api.h"

namespace winsim {

const char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char16_t kTrayWindowClass[] = u"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";

namespace {

const DWORD kNotOwner = 288;          // ERROR_NOT_OWNER
const DWORD kPossibleDeadlock = 1131; // ERROR_POSSIBLE_DEADLOCK

// Like Windows: the object lives while any process has a handle to it, and closing a handle
// does not give up ownership.
struct Mutex {
  std::string name;   // the object's name in its namespace; "" for an unnamed one
  int owner = 0;      // process id
  int recursion = 0;
  bool abandoned = false;
  int references = 0;
  int creator = 0;
  bool othersMayOnlyWait = false;   // see MutexHolderSpec
};

struct Process {
  bool running = true;
  DWORD session = 1;
  TraySpec tray;
  bool quitting = false;
  HWND window = nullptr;
  std::vector<int> mutexes;   // one entry per reference it holds
};

enum class Kind { Mutex, Process, Thread };
struct Handle {
  Kind kind;
  int object;
};

struct ProcessState {
  std::map<int, Mutex> mutexes;
  int nextMutex = 1;
  std::map<int, Process> processes;
  int nextProcess = 100;   // ids below are the installer's and the spooler's
  std::map<uintptr_t, Handle> handles;   // the installer's
  uintptr_t nextHandle = 0x7000;
  DWORD installerSession = 1;
  bool launchTray = false;
  TraySpec launchSpec;
  std::vector<ProcessStart> starts;
};

ProcessState& State() {
  static ProcessState state;
  return state;
}

void Reset() { State() = ProcessState(); }

bool CloseOwnHandle(HANDLE handle);

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterHandleCloser(&CloseOwnHandle);
  }
} registrar;

HANDLE NewHandle(Kind kind, int object) {
  uintptr_t value = State().nextHandle;
  State().nextHandle += 4;
  State().handles[value] = Handle{kind, object};
  return reinterpret_cast<HANDLE>(value);
}

const Handle* FindHandle(HANDLE handle) {
  auto found = State().handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == State().handles.end() ? nullptr : &found->second;
}

DWORD SessionOf(int process) {
  if (process == kInstallerProcess) return State().installerSession;
  auto found = State().processes.find(process);
  return found == State().processes.end() ? State().installerSession : found->second.session;
}

// Where a name a process passes lands, as Windows' object manager resolves it: "Global\" is
// the machine-wide namespace; "Local\" and a bare name are the caller's session's, except that
// session 0 (services, SYSTEM) has the machine-wide one as its own. The prefixes are matched
// exactly.
std::string ObjectName(const std::string& name, DWORD session) {
  const std::string global = "Global\\", local = "Local\\";
  if (name.compare(0, global.size(), global) == 0) return "\\BaseNamedObjects\\" + name.substr(global.size());
  std::string rest = name.compare(0, local.size(), local) == 0 ? name.substr(local.size()) : name;
  if (session == 0) return "\\BaseNamedObjects\\" + rest;
  return "\\Sessions\\" + std::to_string(session) + "\\BaseNamedObjects\\" + rest;
}

int FindMutex(const std::string& objectName) {
  for (const auto& entry : State().mutexes)
    if (entry.second.name == objectName) return entry.first;
  return 0;
}

int FindMutexFor(const char* name, int process) {
  return name && *name ? FindMutex(ObjectName(name, SessionOf(process))) : 0;
}

// Opens the named mutex for `process`, or creates it (owned when asked); `existed` tells which.
int OpenOrCreateMutex(const char* name, int process, bool initialOwner, bool& existed) {
  int id = FindMutexFor(name, process);
  existed = id != 0;
  if (!existed) {
    id = State().nextMutex++;
    Mutex& created = State().mutexes[id];
    created.name = name && *name ? ObjectName(name, SessionOf(process)) : "";
    created.creator = process;
    if (initialOwner) {
      created.owner = process;
      created.recursion = 1;
    }
  }
  State().mutexes[id].references++;
  return id;
}

// A mutex made under another account with that account's default security: others may wait on
// it and release it, and nothing more.
bool AccessDenied(int id, int process, DWORD access) {
  const Mutex& mutex = State().mutexes[id];
  return mutex.othersMayOnlyWait && mutex.creator != process && (access & ~DWORD(SYNCHRONIZE)) != 0;
}

void DropMutexReference(int id) {
  auto found = State().mutexes.find(id);
  if (found != State().mutexes.end() && --found->second.references == 0) State().mutexes.erase(found);
}

// Takes a free (or already own) mutex for `process`; WAIT_ABANDONED once after an owner died.
DWORD Acquire(Mutex& mutex, int process) {
  mutex.owner = process;
  mutex.recursion++;
  if (!mutex.abandoned) return WAIT_OBJECT_0;
  mutex.abandoned = false;
  return WAIT_ABANDONED;
}

void Release(Mutex& mutex) {
  if (--mutex.recursion == 0) mutex.owner = 0;
}

void EndProcessNow(int id) {
  Process& process = State().processes[id];
  if (!process.running) return;
  process.running = false;
  if (process.window) DestroySimWindow(process.window);
  process.window = nullptr;
  for (auto& entry : State().mutexes)
    if (entry.second.owner == id) {
      entry.second.owner = 0;
      entry.second.recursion = 0;
      entry.second.abandoned = true;
    }
  std::vector<int> held;
  held.swap(process.mutexes);
  for (int mutex : held) DropMutexReference(mutex);
  ReleaseFiles(id);
}

void TrayQuits(int id) {
  Process& process = State().processes[id];
  if (!process.running) return;
  if (process.tray.answer == TrayAnswer::Quits)
    for (auto& entry : State().mutexes)
      if (entry.second.owner == id) Release(entry.second);
  EndProcessNow(id);
}

void TrayReceives(int id, UINT message) {
  Process& process = State().processes[id];
  if (message != kTrayQuitMessage || process.quitting || process.tray.answer == TrayAnswer::NeverAnswers) return;
  process.quitting = true;
  // A posted message is handled by the tray's own loop, never inside the poster's call.
  ScheduleAfter(process.tray.quitDelay, [id] { TrayQuits(id); });
}

int NewProcess() {
  int id = State().nextProcess;
  State().nextProcess += 8;   // the thread id is id + 4
  State().processes[id] = Process();
  return id;
}

int StartTrayProcess(const TraySpec& setup) {
  int id = NewProcess();
  Process& process = State().processes[id];
  process.tray = setup;
  bool existed = false;
  process.mutexes.push_back(OpenOrCreateMutex(kTrayMutexName, id, true, existed));
  if (existed) {
    EndProcessNow(id);
    return id;
  }
  if (!setup.programPath.empty()) HoldFile(setup.programPath, id);
  if (setup.window) {
    WindowSpec window{kTrayWindowClass, u"", [id](HWND, UINT message, WPARAM, LPARAM) { TrayReceives(id, message); }};
    process.window = CreateSimWindow(window);
  }
  return id;
}

int StartMutexHolderProcess(const MutexHolderSpec& setup) {
  int id = NewProcess();
  Process& process = State().processes[id];
  process.session = setup.session;
  bool existed = false;
  int mutex = OpenOrCreateMutex(setup.name.c_str(), id, true, existed);
  process.mutexes.push_back(mutex);
  if (existed) {
    EndProcessNow(id);
    return id;
  }
  State().mutexes[mutex].othersMayOnlyWait = setup.othersMayOnlyWait;
  if (setup.holdFor == INFINITE) return id;
  MutexHolderSpec kept = setup;
  ScheduleAfter(setup.holdFor, [id, mutex, kept] {
    if (!State().processes[id].running) return;
    if (kept.beforeLettingGo) kept.beforeLettingGo();
    if (!kept.dies) Release(State().mutexes[mutex]);
    EndProcessNow(id);
  });
  return id;
}

bool CloseOwnHandle(HANDLE handle) {
  const Handle* found = FindHandle(handle);
  if (found == nullptr) return false;
  Handle closed = *found;
  State().handles.erase(reinterpret_cast<uintptr_t>(handle));
  if (closed.kind == Kind::Mutex) DropMutexReference(closed.object);
  return true;
}

// The file part of a program path is "orvtray.exe", ignoring the case of ASCII letters.
bool IsTrayProgram(const std::u16string& program) {
  size_t slash = program.find_last_of(u"\\/");
  std::u16string file = slash == std::u16string::npos ? program : program.substr(slash + 1);
  for (char16_t& c : file)
    if (c >= u'A' && c <= u'Z') c = char16_t(c + (u'a' - u'A'));
  return file == u"orvtray.exe";
}

// The program a command line names: up to the closing quote, or to the first blank.
std::u16string ProgramOf(const std::u16string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == u'"') {
    size_t end = commandLine.find(u'"', 1);
    return commandLine.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
  }
  size_t end = commandLine.find_first_of(u" \t");
  return commandLine.substr(0, end);
}

}  // namespace

int StartTray(const TraySpec& setup) { return StartTrayProcess(setup); }

int StartMutexHolder(const MutexHolderSpec& setup) { return StartMutexHolderProcess(setup); }

void EndProcess(int process) {
  if (State().processes.count(process)) EndProcessNow(process);
}

void SetInstallerSession(DWORD session) { State().installerSession = session; }

void LaunchTrayOnStart(const TraySpec& setup) {
  State().launchTray = true;
  State().launchSpec = setup;
}

void EndAllProcesses() {
  std::vector<int> running;
  for (const auto& entry : State().processes)
    if (entry.second.running) running.push_back(entry.first);
  for (int id : running) EndProcessNow(id);
}

bool ProcessRunning(int process) {
  auto found = State().processes.find(process);
  return found != State().processes.end() && found->second.running;
}

const std::vector<ProcessStart>& ProcessStarts() { return State().starts; }

bool MutexExists(const std::string& name) { return FindMutexFor(name.c_str(), kInstallerProcess) != 0; }

bool MutexOwnedByInstaller(const std::string& name) {
  int id = FindMutexFor(name.c_str(), kInstallerProcess);
  return id != 0 && State().mutexes[id].owner == kInstallerProcess;
}

size_t OpenProcessAreaHandles() { return State().handles.size(); }

}  // namespace winsim

using winsim::State;

DWORD GetCurrentProcessId() {
  winsim::EnterCall("GetCurrentProcessId", {});
  return static_cast<DWORD>(winsim::kInstallerProcess);
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
  if (winsim::EnterCall("ProcessIdToSessionId", {std::to_string(processId)})) return FALSE;
  int id = static_cast<int>(processId);
  if (sessionId == nullptr || (id != winsim::kInstallerProcess && !State().processes.count(id))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *sessionId = winsim::SessionOf(id);
  return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) {
  if (winsim::EnterCall("CreateMutexA", {winsim::Ptr(security), std::to_string(initialOwner), name ? name : "(null)"}))
    return nullptr;
  const int self = winsim::kInstallerProcess;
  // CreateMutexA asks for full access to a mutex that exists already; one that another account
  // made refuses that, and only OpenMutexA with less access gets a handle.
  int existing = winsim::FindMutexFor(name, self);
  if (existing != 0 && winsim::AccessDenied(existing, self, MUTEX_ALL_ACCESS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  bool existed = false;
  int id = winsim::OpenOrCreateMutex(name, self, initialOwner != FALSE, existed);
  // Windows clears the last error when it made a new mutex.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return winsim::NewHandle(winsim::Kind::Mutex, id);
}

HANDLE OpenMutexA(DWORD access, BOOL inheritHandle, LPCSTR name) {
  if (winsim::EnterCall("OpenMutexA", {winsim::Hex(access), std::to_string(inheritHandle), name ? name : "(null)"}))
    return nullptr;
  const int self = winsim::kInstallerProcess;
  int id = winsim::FindMutexFor(name, self);
  if (id == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (winsim::AccessDenied(id, self, access)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  State().mutexes[id].references++;
  return winsim::NewHandle(winsim::Kind::Mutex, id);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (winsim::EnterCall("WaitForSingleObject", {winsim::Ptr(handle), std::to_string(milliseconds)})) return WAIT_FAILED;
  const winsim::Handle* found = winsim::FindHandle(handle);
  if (found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  winsim::Handle target = *found;
  const int self = winsim::kInstallerProcess;
  std::function<bool()> ready;
  if (target.kind == winsim::Kind::Mutex)
    ready = [target, self] {
      int owner = State().mutexes[target.object].owner;
      return owner == 0 || owner == self;
    };
  else
    ready = [target] { return !State().processes[target.object].running; };
  // An endless wait that nothing ends would hang on Windows; here it fails once the clock has
  // run 2^32 - 1 ms without an end.
  if (!winsim::AdvanceUntil(milliseconds, ready)) {
    if (milliseconds != INFINITE) return WAIT_TIMEOUT;
    SetLastError(winsim::kPossibleDeadlock);
    return WAIT_FAILED;
  }
  if (target.kind != winsim::Kind::Mutex) return WAIT_OBJECT_0;
  return winsim::Acquire(State().mutexes[target.object], self);
}

BOOL ReleaseMutex(HANDLE mutex) {
  if (winsim::EnterCall("ReleaseMutex", {winsim::Ptr(mutex)})) return FALSE;
  const winsim::Handle* found = winsim::FindHandle(mutex);
  if (found == nullptr || found->kind != winsim::Kind::Mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  winsim::Mutex& object = State().mutexes[found->object];
  if (object.owner != winsim::kInstallerProcess) {
    SetLastError(winsim::kNotOwner);
    return FALSE;
  }
  winsim::Release(object);
  return TRUE;
}

namespace {

winsim::ProcessStart RecordStart(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                 LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                                 LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startup) {
  winsim::ProcessStart start{};
  start.application = application ? application : u"(null)";
  start.commandLine = commandLine ? commandLine : u"(null)";
  start.processAttributes = processAttributes != nullptr;
  start.threadAttributes = threadAttributes != nullptr;
  start.inheritHandles = inheritHandles;
  start.flags = flags;
  start.environment = environment != nullptr;
  start.currentDirectory = currentDirectory ? currentDirectory : u"(null)";
  if (startup) start.startup = *startup;
  return start;
}

}  // namespace

// The program's file must exist, as on Windows (relative names from the current directory; no
// search path). Any existing file starts a process, which runs until a test ends it (or, for
// the tray program when asked, until it quits).
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  bool failed = winsim::EnterCall("CreateProcessW", {winsim::Utf8(application), winsim::Utf8(commandLine),
                                                     winsim::Ptr(processAttributes), winsim::Ptr(threadAttributes),
                                                     std::to_string(inheritHandles), winsim::Hex(flags),
                                                     winsim::Ptr(environment), winsim::Utf8(currentDirectory)});
  State().starts.push_back(RecordStart(application, commandLine, processAttributes, threadAttributes, inheritHandles,
                                       flags, environment, currentDirectory, startup));
  if (failed) return FALSE;
  winsim::ProcessStart& start = State().starts.back();
  if ((application == nullptr && commandLine == nullptr) || startup == nullptr || info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows writes into the command line while parsing it: a read-only one faults there.
  if (commandLine)
    for (volatile WCHAR* c = commandLine; *c; c++) *c = *c;
  std::u16string program = application ? std::u16string(application) : winsim::ProgramOf(commandLine);
  if (!winsim::FileExists(program)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  int id = 0;
  if (State().launchTray && winsim::IsTrayProgram(program)) {
    winsim::TraySpec setup = State().launchSpec;
    setup.programPath = program;
    id = winsim::StartTrayProcess(setup);
  } else {
    id = winsim::NewProcess();
  }
  start.started = true;
  start.process = id;
  info->hProcess = winsim::NewHandle(winsim::Kind::Process, id);
  info->hThread = winsim::NewHandle(winsim::Kind::Thread, id);
  info->dwProcessId = static_cast<DWORD>(id);
  info->dwThreadId = static_cast<DWORD>(id + 4);
  return TRUE;
}
