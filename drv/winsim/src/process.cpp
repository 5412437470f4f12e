// Processes, named mutexes and waits on them, and the stand-in tray program. The installer is
// process kInstallerProcess with one thread; every other process is simulated here and acts
// through the clock (ScheduleAfter), never through the recorded Win32 calls.
#include <map>

#include "security.h"
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_process.h"
#include "winsim/sim_registry.h"
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
  ObjectSecurity security;
  bool event = false;   // an event holds the name: no mutex can be made or opened under it
};

struct Process {
  bool running = true;
  DWORD session = 1;
  std::u16string account = u"admin";
  bool isTray = false;
  TraySpec tray;
  bool quitting = false;
  HWND window = nullptr;
  std::vector<int> mutexes;   // one entry per reference it holds
};

enum class Kind { Mutex, Process, Thread, Token };

struct Token {
  std::u16string account;
  DWORD session;
  bool elevated;
  bool primary;
};
struct Handle {
  Kind kind;
  int object;
  DWORD access = 0;   // the rights the handle was opened with
};

struct ProcessState {
  std::map<int, Mutex> mutexes;
  int nextMutex = 1;
  std::map<int, Process> processes;
  int nextProcess = 100;   // ids below are the installer's and the spooler's
  std::map<uintptr_t, Handle> handles;   // the installer's
  uintptr_t nextHandle = 0x7000;
  DWORD installerSession = 1;
  std::u16string installerAccount = u"admin";
  std::map<DWORD, std::u16string> sessionUsers = {{1, u"admin"}};
  std::map<int, Token> tokens;
  int nextToken = 1;
  size_t environmentBlocks = 0;
  std::function<DWORD(const std::u16string&)> childRunner;
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
void EndInstaller();

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterHandleCloser(&CloseOwnHandle);
    RegisterInstallerEnd(&EndInstaller);
  }
} registrar;

HANDLE NewHandle(Kind kind, int object, DWORD access = 0) {
  uintptr_t value = State().nextHandle;
  State().nextHandle += 4;
  State().handles[value] = Handle{kind, object, access};
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

// The installer runs as the elevated administrator its manifest asks for, unless told otherwise.
std::u16string AccountOf(int process) {
  if (process == kInstallerProcess)
    return IsAdministrator() || State().installerAccount != u"admin" ? State().installerAccount : u"user";
  auto found = State().processes.find(process);
  return found == State().processes.end() ? u"admin" : found->second.account;
}

int FindMutex(const std::string& objectName) {
  for (const auto& entry : State().mutexes)
    if (entry.second.name == objectName) return entry.first;
  return 0;
}

int FindMutexFor(const char* name, int process) {
  return name && *name ? FindMutex(ObjectName(name, SessionOf(process))) : 0;
}

// Opens the named mutex for `process`, or creates it with `security` (owned when asked);
// `existed` tells which.
int OpenOrCreateMutex(const char* name, int process, bool initialOwner, bool& existed, const ObjectSecurity& security) {
  int id = FindMutexFor(name, process);
  existed = id != 0;
  if (!existed) {
    id = State().nextMutex++;
    Mutex& created = State().mutexes[id];
    created.name = name && *name ? ObjectName(name, SessionOf(process)) : "";
    created.security = security;
    if (initialOwner) {
      created.owner = process;
      created.recursion = 1;
    }
  }
  State().mutexes[id].references++;
  return id;
}

// Whether the mutex's DACL refuses `process` any of the rights asked for.
bool AccessDenied(int id, int process, DWORD access) {
  return (access & ~GrantedAccess(State().mutexes[id].security, AccountOf(process))) != 0;
}

// The security a new mutex of `process` gets from what its creator passed: the owner and DACL
// named there, each defaulting to the account's own. False with the error when the descriptor
// is not one, or names an owner the account may not set.
bool SecurityFor(LPSECURITY_ATTRIBUTES attributes, int process, ObjectSecurity& security, DWORD& error) {
  security = DefaultSecurity(AccountOf(process));
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return true;
  ObjectSecurity given;
  bool hasOwner = false, hasDacl = false;
  if (!ReadDescriptor(attributes->lpSecurityDescriptor, given, hasOwner, hasDacl)) {
    error = ERROR_INVALID_SECURITY_DESCR;
    return false;
  }
  if (hasOwner && !MayOwn(AccountOf(process), given.owner)) {
    error = ERROR_INVALID_OWNER;
    return false;
  }
  if (hasOwner) security.owner = given.owner;
  if (hasDacl) security.dacl = given.dacl;
  return true;
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

// What a process that ends still owns is abandoned: the next wait on it answers WAIT_ABANDONED.
void AbandonMutexesOf(int process) {
  for (auto& entry : State().mutexes)
    if (entry.second.owner == process) {
      entry.second.owner = 0;
      entry.second.recursion = 0;
      entry.second.abandoned = true;
    }
}

void EndProcessNow(int id) {
  Process& process = State().processes[id];
  if (!process.running) return;
  process.running = false;
  if (process.window) DestroySimWindow(process.window);
  process.window = nullptr;
  AbandonMutexesOf(id);
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
  process.isTray = true;
  process.session = setup.session;
  process.account = setup.account;
  bool existed = false;
  process.mutexes.push_back(OpenOrCreateMutex(kTrayMutexName, id, true, existed, DefaultSecurity(process.account)));
  if (existed) {
    EndProcessNow(id);
    return id;
  }
  if (!setup.programPath.empty()) HoldFile(setup.programPath, id);
  if (setup.window) {
    WindowSpec window{kTrayWindowClass, u"", [id](HWND, UINT message, WPARAM, LPARAM) { TrayReceives(id, message); },
                      setup.session};
    process.window = CreateSimWindow(window);
  }
  return id;
}

int StartMutexHolderProcess(const MutexHolderSpec& setup) {
  int id = NewProcess();
  Process& process = State().processes[id];
  process.session = setup.session;
  process.account = setup.account;
  ObjectSecurity security = DefaultSecurity(setup.account);
  if (setup.everyoneMayUse) security.dacl = {{"S-1-1-0", MUTEX_ALL_ACCESS}};
  bool existed = false;
  int mutex = OpenOrCreateMutex(setup.name.c_str(), id, true, existed, security);
  process.mutexes.push_back(mutex);
  if (existed) {
    EndProcessNow(id);
    return id;
  }
  State().mutexes[mutex].event = setup.event;
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

// What the installer owned is abandoned, as when any process dies; its handles close.
void EndInstaller() {
  AbandonMutexesOf(kInstallerProcess);
  std::vector<uintptr_t> open;
  for (const auto& entry : State().handles) open.push_back(entry.first);
  for (uintptr_t handle : open) CloseOwnHandle(reinterpret_cast<HANDLE>(handle));
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
DWORD InstallerSession() { return State().installerSession; }
void SetInstallerAccount(const std::u16string& account) { State().installerAccount = account; }
std::u16string InstallerAccount() { return State().installerAccount; }

std::vector<std::u16string> LoggedOnUsers() {
  std::vector<std::u16string> users;
  for (const auto& entry : State().sessionUsers) users.push_back(entry.second);
  return users;
}

void SetSessionUser(DWORD session, const std::u16string& user) {
  if (!user.empty()) {
    State().sessionUsers[session] = user;
    return;
  }
  // A log-off ends every program of the session.
  State().sessionUsers.erase(session);
  std::vector<int> ended;
  for (const auto& entry : State().processes)
    if (entry.second.running && entry.second.session == session) ended.push_back(entry.first);
  for (int id : ended) EndProcessNow(id);
}

void SetChildRunner(std::function<DWORD(const std::u16string& commandLine)> runner) {
  State().childRunner = std::move(runner);
}

std::vector<TrayProcess> RunningTrays() {
  std::vector<TrayProcess> trays;
  for (const auto& entry : State().processes)
    if (entry.second.running && entry.second.isTray)
      trays.push_back({entry.first, entry.second.session, entry.second.account});
  return trays;
}

size_t OpenEnvironmentBlocks() { return State().environmentBlocks; }

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
  // CreateMutexA asks for full access to a mutex that exists already; one whose DACL refuses
  // that gives no handle, and only OpenMutexA with less access may get one. A name that
  // another kind of object holds is refused whatever the access.
  int existing = winsim::FindMutexFor(name, self);
  if (existing != 0 && State().mutexes[existing].event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (existing != 0 && winsim::AccessDenied(existing, self, MUTEX_ALL_ACCESS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  winsim::ObjectSecurity owned;
  DWORD error = 0;
  if (existing == 0 && !winsim::SecurityFor(security, self, owned, error)) {
    SetLastError(error);
    return nullptr;
  }
  bool existed = false;
  int id = winsim::OpenOrCreateMutex(name, self, initialOwner != FALSE, existed, owned);
  // Windows clears the last error when it made a new mutex.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return winsim::NewHandle(winsim::Kind::Mutex, id, MUTEX_ALL_ACCESS);
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
  if (State().mutexes[id].event || winsim::AccessDenied(id, self, access)) {
    SetLastError(State().mutexes[id].event ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  State().mutexes[id].references++;
  return winsim::NewHandle(winsim::Kind::Mutex, id, access);
}

// The owner of a mutex, through a handle opened with READ_CONTROL; the rest of the descriptor
// is not simulated.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner, PSID* group,
                      void** dacl, void** sacl, PSECURITY_DESCRIPTOR* descriptor) {
  if (winsim::EnterCall("GetSecurityInfo", {winsim::Ptr(handle), std::to_string(type), winsim::Hex(wanted)}))
    return GetLastError();
  const winsim::Handle* found = winsim::FindHandle(handle);
  if (type != SE_KERNEL_OBJECT || wanted != OWNER_SECURITY_INFORMATION || group || dacl || sacl || !descriptor)
    return ERROR_INVALID_PARAMETER;
  if (found == nullptr || found->kind != winsim::Kind::Mutex) return ERROR_INVALID_HANDLE;
  if ((found->access & READ_CONTROL) == 0) return ERROR_ACCESS_DENIED;
  *descriptor = winsim::WriteDescriptor(State().mutexes[found->object].security, owner);
  return *descriptor == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
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
    ready = [target] {
      int owner = State().mutexes[target.object].owner;
      return owner == 0 || owner == winsim::kInstallerProcess;
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

namespace winsim {
namespace {

bool IsElevatedAccount(const std::u16string& account) { return account == u"SYSTEM" || account == u"admin"; }
bool InstallerIsSystem() { return State().installerAccount == u"SYSTEM"; }

Token* TokenOf(HANDLE handle) {
  const Handle* found = FindHandle(handle);
  if (found == nullptr || found->kind != Kind::Token) return nullptr;
  return &State().tokens[found->object];
}

HANDLE NewToken(const Token& token) {
  int id = State().nextToken++;
  State().tokens[id] = token;
  return NewHandle(Kind::Token, id);
}

// The installer's own program, started as a child: it runs to its end here and now, in the
// token's session and as its account.
int RunChild(const Token& token, const std::u16string& commandLine) {
  int id = NewProcess();
  State().processes[id].session = token.session;
  State().processes[id].account = token.account;
  if (State().childRunner) {
    DWORD session = State().installerSession;
    std::u16string account = State().installerAccount;
    State().installerSession = token.session;
    State().installerAccount = token.account;
    State().childRunner(commandLine);
    State().installerSession = session;
    State().installerAccount = account;
  }
  EndProcessNow(id);
  return id;
}

bool SameProgram(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? char16_t(a[i] + 32) : a[i];
    char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? char16_t(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// What CreateProcessW and CreateProcessAsUserW share once the call is recorded. The program's
// file must exist, as on Windows (relative names from the current directory; no search path).
// Any existing file starts a process, which runs until a test ends it (or, for the tray program
// when asked, until it quits).
BOOL StartProcess(const Token& token, LPCWSTR application, LPWSTR commandLine, LPSTARTUPINFOW startup,
                  LPPROCESS_INFORMATION info) {
  ProcessStart& start = State().starts.back();
  start.session = token.session;
  start.account = token.account;
  if ((application == nullptr && commandLine == nullptr) || startup == nullptr || info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  start.desktop = startup->lpDesktop ? startup->lpDesktop : u"(null)";
  // Windows writes into the command line while parsing it: a read-only one faults there.
  if (commandLine)
    for (volatile WCHAR* c = commandLine; *c; c++) *c = *c;
  std::u16string program = application ? std::u16string(application) : ProgramOf(commandLine);
  if (!FileExists(program)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  bool self = SameProgram(program, ModulePath());
  // The installer's manifest requires administrator rights.
  if (self && !token.elevated) {
    SetLastError(740);  // ERROR_ELEVATION_REQUIRED
    return FALSE;
  }
  int id = 0;
  if (self) {
    id = RunChild(token, commandLine ? commandLine : program);
  } else if (State().launchTray && IsTrayProgram(program)) {
    TraySpec setup = State().launchSpec;
    setup.programPath = program;
    setup.session = token.session;
    setup.account = token.account;
    id = StartTrayProcess(setup);
  } else {
    id = NewProcess();
    State().processes[id].session = token.session;
    State().processes[id].account = token.account;
  }
  start.started = true;
  start.process = id;
  info->hProcess = NewHandle(Kind::Process, id);
  info->hThread = NewHandle(Kind::Thread, id);
  info->dwProcessId = static_cast<DWORD>(id);
  info->dwThreadId = static_cast<DWORD>(id + 4);
  return TRUE;
}

std::vector<std::string> StartArgs(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                   LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                                   LPVOID environment, LPCWSTR currentDirectory) {
  return {Utf8(application),       Utf8(commandLine), Ptr(processAttributes), Ptr(threadAttributes),
          std::to_string(inheritHandles), Hex(flags),  Ptr(environment),       Utf8(currentDirectory)};
}

}  // namespace
}  // namespace winsim

BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  bool failed = winsim::EnterCall("CreateProcessW", winsim::StartArgs(application, commandLine, processAttributes,
                                                                       threadAttributes, inheritHandles, flags,
                                                                       environment, currentDirectory));
  State().starts.push_back(RecordStart(application, commandLine, processAttributes, threadAttributes, inheritHandles,
                                       flags, environment, currentDirectory, startup));
  if (failed) return FALSE;
  const std::u16string& account = State().installerAccount;
  winsim::Token own{account, State().installerSession, winsim::IsElevatedAccount(account), true};
  return winsim::StartProcess(own, application, commandLine, startup, info);
}

// Needs SE_ASSIGNPRIMARYTOKEN_NAME, which services (LocalSystem) hold, for any token but the
// caller's own.
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                          LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  std::vector<std::string> args = winsim::StartArgs(application, commandLine, processAttributes, threadAttributes,
                                                    inheritHandles, flags, environment, currentDirectory);
  args.insert(args.begin(), winsim::Ptr(token));
  bool failed = winsim::EnterCall("CreateProcessAsUserW", args);
  State().starts.push_back(RecordStart(application, commandLine, processAttributes, threadAttributes, inheritHandles,
                                       flags, environment, currentDirectory, startup));
  if (failed) return FALSE;
  winsim::Token* user = winsim::TokenOf(token);
  if (user == nullptr || !user->primary) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool own = user->account == State().installerAccount && user->session == State().installerSession;
  if (!own && !winsim::InstallerIsSystem()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  return winsim::StartProcess(*user, application, commandLine, startup, info);
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(intptr_t(-1)); }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  if (winsim::EnterCall("OpenProcessToken", {winsim::Ptr(process), winsim::Hex(access)})) return FALSE;
  if (process != GetCurrentProcess() || token == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::u16string& account = State().installerAccount;
  *token = winsim::NewToken({account, State().installerSession, winsim::IsElevatedAccount(account), true});
  return TRUE;
}

BOOL DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL level,
                      TOKEN_TYPE type, HANDLE* duplicate) {
  if (winsim::EnterCall("DuplicateTokenEx", {winsim::Ptr(token), winsim::Hex(access), std::to_string(level),
                                             std::to_string(type)}))
    return FALSE;
  winsim::Token* original = winsim::TokenOf(token);
  if (original == nullptr || duplicate == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  winsim::Token copy = *original;
  copy.primary = type == TokenPrimary;
  *duplicate = winsim::NewToken(copy);
  return TRUE;
}

// Only the session of a token can be set here; that needs SE_TCB_NAME, which LocalSystem holds.
BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID information, DWORD length) {
  if (winsim::EnterCall("SetTokenInformation", {winsim::Ptr(token), std::to_string(what), std::to_string(length)}))
    return FALSE;
  winsim::Token* changed = winsim::TokenOf(token);
  if (changed == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (what != TokenSessionId || information == nullptr || length != sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!winsim::InstallerIsSystem()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  changed->session = *static_cast<DWORD*>(information);
  return TRUE;
}

DWORD WTSGetActiveConsoleSessionId() {
  winsim::EnterCall("WTSGetActiveConsoleSessionId", {});
  return 1;
}

// Only LocalSystem (SE_TCB_NAME) may ask; a session nobody is logged on to has no token. The
// token is the user's own, not elevated (an administrator's is the filtered one).
BOOL WTSQueryUserToken(ULONG session, HANDLE* token) {
  if (winsim::EnterCall("WTSQueryUserToken", {std::to_string(session)})) return FALSE;
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!winsim::InstallerIsSystem()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  auto user = State().sessionUsers.find(session);
  if (user == State().sessionUsers.end()) {
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
  }
  *token = winsim::NewToken({user->second, session, false, true});
  return TRUE;
}

// Session 0 ("Services", disconnected), the console's session 1 (active with its user, else
// connected at the log-on screen), then every other session with someone logged on. One
// LocalAlloc block, names inside it, given back with WTSFreeMemory.
BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions, DWORD* count) {
  if (winsim::EnterCall("WTSEnumerateSessionsW",
                        {winsim::Ptr(server), std::to_string(reserved), std::to_string(version)}))
    return FALSE;
  if (sessions == nullptr || count == nullptr || reserved != 0 || version != 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>> list = {{0, WTSDisconnected}};
  list.push_back({1, State().sessionUsers.count(1) ? WTSActive : WTSConnected});
  for (const auto& user : State().sessionUsers)
    if (user.first > 1) list.push_back({user.first, WTSActive});
  const size_t nameChars = 16;
  size_t bytes = list.size() * (sizeof(WTS_SESSION_INFOW) + nameChars * sizeof(WCHAR));
  auto* block = static_cast<WTS_SESSION_INFOW*>(LocalAlloc(LMEM_FIXED, bytes));
  if (block == nullptr) return FALSE;
  auto* names = reinterpret_cast<WCHAR*>(block + list.size());
  for (size_t i = 0; i < list.size(); i++) {
    std::u16string name = list[i].first == 0   ? u"Services"
                          : list[i].first == 1 ? u"Console"
                                               : u"RDP-Tcp#" + winsim::Utf16(std::to_string(list[i].first));
    WCHAR* at = names + i * nameChars;
    std::copy(name.begin(), name.end(), at);
    at[name.size()] = 0;
    block[i] = {list[i].first, at, list[i].second};
  }
  *sessions = block;
  *count = static_cast<DWORD>(list.size());
  return TRUE;
}

void WTSFreeMemory(LPVOID memory) {
  winsim::EnterCall("WTSFreeMemory", {winsim::Ptr(memory)});
  if (memory != nullptr) LocalFree(memory);
}

// The user's environment: one block (its content is not simulated), given back with
// DestroyEnvironmentBlock.
BOOL CreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL inherit) {
  if (winsim::EnterCall("CreateEnvironmentBlock", {winsim::Ptr(token), std::to_string(inherit)})) return FALSE;
  if (environment == nullptr || (token != nullptr && winsim::TokenOf(token) == nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *environment = LocalAlloc(LMEM_FIXED, 4);
  if (*environment == nullptr) return FALSE;
  static_cast<WCHAR*>(*environment)[0] = 0;
  static_cast<WCHAR*>(*environment)[1] = 0;
  State().environmentBlocks++;
  return TRUE;
}

BOOL DestroyEnvironmentBlock(LPVOID environment) {
  if (winsim::EnterCall("DestroyEnvironmentBlock", {winsim::Ptr(environment)})) return FALSE;
  if (environment == nullptr || State().environmentBlocks == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State().environmentBlocks--;
  LocalFree(environment);
  return TRUE;
}
