// The file system: directories and files per drive, handles with access and share modes, files
// held by processes, deletion at the next start through the registry, version resources.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "case_fold.h"
#include "winsim/machine.h"
#include "winsim/sim_files.h"
#include "winsim/sim_registry.h"
#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct Node {
  std::u16string path;  // full path as first written; a drive's root is "C:"
  bool directory = false;
  bool readOnly = false;
  std::string contents;
  std::set<int> holders;
};

struct OpenFile {
  std::shared_ptr<Node> node;  // stays valid when the name is deleted while the handle is open
  bool read;
  bool write;
  bool remove;
  DWORD share;
  uint64_t position;
};

struct FileState {
  // Keyed by the folded full path without a trailing separator: "C:", "C:\WINDOWS".
  std::map<std::u16string, std::shared_ptr<Node>> nodes;
  std::map<HANDLE, std::unique_ptr<OpenFile>> handles;
  std::u16string currentDirectory = u"C:\\Product\\drv";
  bool diskLimited = false;
  uint64_t freeSpace = 0;
  DWORD createDuration = 0;
};

FileState& Files() {
  static FileState state;
  return state;
}

[[noreturn]] void BadSetUp(const char* what, const std::u16string& path) {
  std::fprintf(stderr, "winsim files: %s: %s\n", what, Utf8(path).c_str());
  std::abort();
}

// --- Paths ---------------------------------------------------------------------------------

struct Resolved {
  DWORD error = 0;       // 0 when the path names a place; else why it cannot
  std::u16string path;   // "C:\Dir\File" (a root is "C:")
  std::u16string key;    // folded path
  std::u16string parent; // folded path of the parent, empty for a root
};

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
  return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

bool ValidNameChar(char16_t c) {
  return c >= 32 && c != u'<' && c != u'>' && c != u':' && c != u'"' && c != u'|' && c != u'?' && c != u'*';
}

// The absolute form of a path, "/" turned into "\", before its components are checked.
// Empty when the path cannot be made absolute.
std::u16string Absolute(std::u16string text, bool verbatim) {
  std::replace(text.begin(), text.end(), u'/', u'\\');
  const std::u16string& current = Files().currentDirectory;
  if (text.size() >= 2 && IsLetter(text[0]) && text[1] == u':') {
    if (text.size() >= 3 && text[2] == u'\\') return text;
    // Drive-relative ("C:name"): from the current directory when it is on that drive.
    if (FoldCase(text[0]) == FoldCase(current[0])) return current + u"\\" + text.substr(2);
    return text.substr(0, 2) + u"\\" + text.substr(2);
  }
  if (verbatim || StartsWith(text, u"\\\\")) return u"";  // relative after a prefix, or a network path
  if (!text.empty() && text[0] == u'\\') return current.substr(0, 2) + text;
  return current + u"\\" + text;
}

// `checkNames` off: only the form is worked out, as the system does for the pending rename list.
Resolved Resolve(const WCHAR* raw, bool checkNames = true) {
  Resolved r;
  std::u16string text = raw ? raw : u"";
  if (text.empty()) {
    r.error = ERROR_PATH_NOT_FOUND;
    return r;
  }
  bool verbatim = StartsWith(text, u"\\\\?\\") || StartsWith(text, u"\\??\\");
  std::u16string full = Absolute(verbatim ? text.substr(4) : text, verbatim);
  if (full.empty()) {
    r.error = verbatim ? ERROR_INVALID_NAME : ERROR_BAD_NETPATH;
    return r;
  }
  if (checkNames && !verbatim && full.size() >= MAX_PATH) {
    r.error = ERROR_PATH_NOT_FOUND;
    return r;
  }
  std::vector<std::u16string> parts;
  size_t start = 3;
  while (start <= full.size()) {
    size_t end = full.find(u'\\', start);
    if (end == std::u16string::npos) end = full.size();
    std::u16string part = full.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    if (checkNames && !std::all_of(part.begin(), part.end(), ValidNameChar)) {
      r.error = ERROR_INVALID_NAME;
      return r;
    }
    parts.push_back(part);
  }
  r.path = std::u16string(1, char16_t(FoldCase(full[0]))) + u":";
  for (size_t i = 0; i < parts.size(); i++) {
    if (i + 1 == parts.size()) r.parent = FoldCase(r.path);
    r.path += u"\\" + parts[i];
  }
  r.key = FoldCase(r.path);
  return r;
}

// A path for the set-up functions, which take only full paths.
Resolved ResolveForSetUp(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  if (r.error != 0) BadSetUp("not a usable path", path);
  return r;
}

std::shared_ptr<Node> NodeAt(const std::u16string& key) {
  auto found = Files().nodes.find(key);
  return found == Files().nodes.end() ? nullptr : found->second;
}

struct Found {
  DWORD error;  // 0, or 2 (the parent exists, the name not), 3, 123, 53
  Resolved where;
  std::shared_ptr<Node> node;
};

Found Find(const WCHAR* path) {
  Found f{0, Resolve(path), nullptr};
  if (f.where.error != 0) {
    f.error = f.where.error;
    return f;
  }
  f.node = NodeAt(f.where.key);
  if (f.node) return f;
  std::shared_ptr<Node> parent = f.where.parent.empty() ? nullptr : NodeAt(f.where.parent);
  f.error = parent && parent->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  return f;
}

// Every directory from the drive's root down to `r`'s parent; aborts when a file is in the way.
void MakeParents(const Resolved& r) {
  for (size_t at = r.path.find(u'\\'); at != std::u16string::npos; at = r.path.find(u'\\', at + 1)) {
    std::u16string prefix = r.path.substr(0, at);
    std::u16string key = FoldCase(prefix);
    std::shared_ptr<Node> node = NodeAt(key);
    if (node && !node->directory) BadSetUp("a file stands where a directory is needed", prefix);
    if (node) continue;
    node = std::make_shared<Node>();
    node->path = prefix;
    node->directory = true;
    Files().nodes[key] = node;
  }
}

std::shared_ptr<Node> MakeNode(const Resolved& r, bool directory) {
  MakeParents(r);
  auto node = std::make_shared<Node>();
  node->path = r.path;
  node->directory = directory;
  Files().nodes[r.key] = node;
  return node;
}

// --- Handles and sharing -------------------------------------------------------------------

bool WantsRead(DWORD access) { return access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA); }
bool WantsWrite(DWORD access) {
  return access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
}
bool WantsDelete(DWORD access) { return access & (DELETE | GENERIC_ALL); }

// Whether an open with this access and share mode collides with a handle open on `node`.
// An open for attributes only (no read, write or delete) is never refused.
bool ShareConflict(const Node* node, bool read, bool write, bool remove, DWORD share) {
  if (!read && !write && !remove) return false;
  for (const auto& entry : Files().handles) {
    const OpenFile& open = *entry.second;
    if (open.node.get() != node) continue;
    if ((read && !(open.share & FILE_SHARE_READ)) || (write && !(open.share & FILE_SHARE_WRITE)) ||
        (remove && !(open.share & FILE_SHARE_DELETE)))
      return true;
    if ((open.read && !(share & FILE_SHARE_READ)) || (open.write && !(share & FILE_SHARE_WRITE)) ||
        (open.remove && !(share & FILE_SHARE_DELETE)))
      return true;
  }
  return false;
}

OpenFile* FileOf(HANDLE handle) {
  auto found = Files().handles.find(handle);
  return found == Files().handles.end() ? nullptr : found->second.get();
}

bool CloseFile(HANDLE handle) { return Files().handles.erase(handle) > 0; }

void Reset() {
  Files() = FileState();
  for (const char16_t* directory : {u"C:\\Windows\\system32\\spool\\drivers\\x64", u"C:\\Product\\drv"}) {
    Resolved r = Resolve(directory);
    MakeNode(r, true);
  }
}

void EndInstaller() { Files().handles.clear(); }

struct Registrar {
  Registrar() {
    RegisterReset(&Reset);
    RegisterHandleCloser(&CloseFile);
    RegisterInstallerEnd(&EndInstaller);
    Reset();
  }
} registrar;

// --- Version resources ---------------------------------------------------------------------

const size_t kVersionHeader = 6;   // wLength, wValueLength, wType
const size_t kVersionValue = 40;   // the key "VS_VERSION_INFO" and its terminator, padded to 4 bytes
const char16_t kVersionKey[] = u"VS_VERSION_INFO";

void PutWord(std::string& bytes, size_t at, WORD value) {
  bytes[at] = char(value & 0xFF);
  bytes[at + 1] = char(value >> 8);
}

WORD WordAt(const BYTE* bytes) { return WORD(bytes[0] | (bytes[1] << 8)); }

std::string VersionBlock(const VS_FIXEDFILEINFO* info) {
  size_t length = kVersionValue + (info ? sizeof(VS_FIXEDFILEINFO) : 0);
  std::string block(length, '\0');
  PutWord(block, 0, WORD(length));
  PutWord(block, 2, info ? WORD(sizeof(VS_FIXEDFILEINFO)) : 0);
  for (size_t i = 0; kVersionKey[i]; i++) PutWord(block, kVersionHeader + 2 * i, kVersionKey[i]);
  if (info) std::memcpy(&block[kVersionValue], info, sizeof(VS_FIXEDFILEINFO));
  return block;
}

// Where a file's VS_VERSIONINFO block starts and how long it is; false when it has none.
bool FindVersionBlock(const std::string& contents, size_t* start, size_t* length) {
  std::string key = Utf16Bytes(std::u16string(kVersionKey, 16));  // with its terminator
  for (size_t at = contents.find(key); at != std::string::npos; at = contents.find(key, at + 1)) {
    if (at < kVersionHeader) continue;
    const BYTE* block = reinterpret_cast<const BYTE*>(contents.data()) + at - kVersionHeader;
    size_t total = WordAt(block), value = WordAt(block + 2);
    bool fixed = value == sizeof(VS_FIXEDFILEINFO) && total >= kVersionValue + value;
    if ((value == 0 || fixed) && total >= kVersionValue && at - kVersionHeader + total <= contents.size()) {
      *start = at - kVersionHeader;
      *length = total;
      return true;
    }
  }
  return false;
}

// The file a version call reads, or null with the last error set.
std::shared_ptr<Node> VersionSource(LPCWSTR path) {
  Found f = Find(path);
  if (f.error != 0) {
    SetLastError(f.error);
    return nullptr;
  }
  if (f.node->directory) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (ShareConflict(f.node.get(), true, false, false, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  return f.node;
}

}  // namespace

// --- Test-facing API -------------------------------------------------------------------------

void PutFile(const std::u16string& path, const std::string& contents) {
  Resolved r = ResolveForSetUp(path);
  std::shared_ptr<Node> node = NodeAt(r.key);
  if (node && node->directory) BadSetUp("a directory stands where a file is put", path);
  if (!node) node = MakeNode(r, false);
  node->contents = contents;
}

void PutDirectory(const std::u16string& path) {
  Resolved r = ResolveForSetUp(path);
  std::shared_ptr<Node> node = NodeAt(r.key);
  if (node && !node->directory) BadSetUp("a file stands where a directory is put", path);
  if (!node) MakeNode(r, true);
}

bool FileExists(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  return node && !node->directory;
}

bool DirectoryExists(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  return node && node->directory;
}

std::string FileContents(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  return node && !node->directory ? node->contents : std::string();
}

bool RemoveFile(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  if (!node || node->directory) return false;
  Files().nodes.erase(r.key);
  return true;
}

bool RemoveDirectoryTree(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  if (!node || !node->directory) return false;
  auto& nodes = Files().nodes;
  std::u16string below = r.key + u"\\";
  for (auto it = nodes.begin(); it != nodes.end();)
    it = it->first == r.key || StartsWith(it->first, below.c_str()) ? nodes.erase(it) : std::next(it);
  return true;
}

void HoldFile(const std::u16string& path, int process) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  if (node && !node->directory) node->holders.insert(process);
}

void ReleaseFile(const std::u16string& path, int process) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  if (node) node->holders.erase(process);
}

void ReleaseFiles(int process) {
  for (auto& entry : Files().nodes) entry.second->holders.erase(process);
}

void ReleaseAllFiles() {
  for (auto& entry : Files().nodes) entry.second->holders.clear();
}

bool IsHeld(const std::u16string& path) {
  Resolved r = Resolve(path.c_str());
  std::shared_ptr<Node> node = r.error ? nullptr : NodeAt(r.key);
  return node && !node->holders.empty();
}

void SetCurrentDirectoryPath(const std::u16string& path) {
  Resolved r = ResolveForSetUp(path);
  Files().currentDirectory = r.path;
}

void SetFreeDiskSpace(uint64_t bytes) {
  Files().diskLimited = true;
  Files().freeSpace = bytes;
}

void SetUnlimitedDiskSpace() { Files().diskLimited = false; }

void SetCreateFileDuration(DWORD milliseconds) { Files().createDuration = milliseconds; }

size_t OpenFileHandles() { return Files().handles.size(); }

std::string VersionResource(VersionNumber product, VersionNumber file) {
  VS_FIXEDFILEINFO info = {};
  info.dwSignature = VS_FFI_SIGNATURE;
  info.dwStrucVersion = VS_FFI_STRUCVERSION;
  info.dwFileVersionMS = DWORD(file.a) << 16 | file.b;
  info.dwFileVersionLS = DWORD(file.c) << 16 | file.d;
  info.dwProductVersionMS = DWORD(product.a) << 16 | product.b;
  info.dwProductVersionLS = DWORD(product.c) << 16 | product.d;
  info.dwFileFlagsMask = 0x3F;
  info.dwFileOS = 0x40004;  // VOS_NT_WINDOWS32
  info.dwFileType = 2;      // VFT_DLL
  return VersionBlock(&info);
}

std::string VersionResource(VersionNumber product) { return VersionResource(product, product); }

std::string VersionResourceWithoutFixedInfo() { return VersionBlock(nullptr); }

}  // namespace winsim


namespace winsim {
namespace {

HANDLE FailedOpen(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Overwriting dispositions write to the file whatever access was asked for.
bool Writes(DWORD access, DWORD disposition) {
  return WantsWrite(access) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
}

// Whether an open of an existing file may go ahead: 0, or the error it fails with.
DWORD CheckOpenExisting(const Node& node, DWORD access, DWORD share, DWORD disposition) {
  bool write = Writes(access, disposition);
  if (node.directory) return ERROR_ACCESS_DENIED;
  if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (disposition == TRUNCATE_EXISTING && !WantsWrite(access)) return ERROR_INVALID_PARAMETER;
  if (node.readOnly && (write || WantsDelete(access))) return ERROR_ACCESS_DENIED;
  if (!node.holders.empty() && write) return ERROR_SHARING_VIOLATION;  // a loaded module's image
  if (ShareConflict(&node, WantsRead(access), write, WantsDelete(access), share)) return ERROR_SHARING_VIOLATION;
  return 0;
}

HANDLE OpenHandle(const std::shared_ptr<Node>& node, DWORD access, DWORD share) {
  auto open = std::make_unique<OpenFile>(OpenFile{node, WantsRead(access), WantsWrite(access), WantsDelete(access),
                                                  share, 0});
  HANDLE handle = open.get();
  Files().handles[handle] = std::move(open);
  return handle;
}

HANDLE Open(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return FailedOpen(ERROR_INVALID_PARAMETER);
  Found f = Find(path);
  if (f.error != 0 && f.error != ERROR_FILE_NOT_FOUND) return FailedOpen(f.error);
  if (f.node) {
    DWORD refused = CheckOpenExisting(*f.node, access, share, disposition);
    if (refused != 0) return FailedOpen(refused);
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) f.node->contents.clear();
    SetLastError(disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
    return OpenHandle(f.node, access, share);
  }
  if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return FailedOpen(ERROR_FILE_NOT_FOUND);
  std::shared_ptr<Node> node = MakeNode(f.where, false);
  node->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  SetLastError(0);
  return OpenHandle(node, access, share);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailTransfer(LPDWORD count, DWORD error) {
  if (count) *count = 0;
  return Fail(error);
}

// DeleteFileW's rules, shared with MoveFileExW without a new name.
BOOL Delete(LPCWSTR path) {
  Found f = Find(path);
  if (f.error != 0) return Fail(f.error);
  if (f.node->directory || f.node->readOnly || !f.node->holders.empty()) return Fail(ERROR_ACCESS_DENIED);
  // Deleting opens the file for DELETE, sharing everything.
  if (ShareConflict(f.node.get(), false, false, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_SHARING_VIOLATION);
  Files().nodes.erase(f.where.key);
  return TRUE;
}

// The NT form of a path as the system writes it into the pending rename list: "\??\" and the
// full path, or a prefixed path as it stands. Empty when the path cannot be converted.
std::u16string NtPath(LPCWSTR path) {
  std::u16string text = path ? path : u"";
  if (StartsWith(text, u"\\\\?\\") || StartsWith(text, u"\\??\\")) return u"\\??\\" + text.substr(4);
  Resolved r = Resolve(path, false);
  return r.error != 0 ? u"" : u"\\??\\" + r.path;
}

BOOL RegisterAtReboot(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (flags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER);
  std::u16string source = NtPath(from);
  std::u16string target = to ? NtPath(to) : u"";
  if (source.empty() || (to && target.empty())) return Fail(ERROR_PATH_NOT_FOUND);
  if (to && (flags & MOVEFILE_REPLACE_EXISTING)) target = u"!" + target;
  // Windows 10 and 11 mark a delayed deletion's source; older systems and Wine do not.
  if (!to) source = u"*1" + source;
  LONG error = AppendPendingRename(source, target);
  return error == ERROR_SUCCESS ? TRUE : Fail(DWORD(error));
}

}  // namespace
}  // namespace winsim

using winsim::Files;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD attributes, HANDLE) {
  DWORD duration = Files().createDuration;
  if (winsim::EnterCall("CreateFileW", {winsim::Utf8(path), winsim::Hex(access), winsim::Hex(share),
                                        std::to_string(disposition), winsim::Hex(attributes)})) {
    DWORD error = GetLastError();
    winsim::Advance(duration);
    return winsim::FailedOpen(error);
  }
  HANDLE result = winsim::Open(path, access, share, disposition, attributes);
  DWORD error = GetLastError();
  winsim::Advance(duration);  // events that run meanwhile must not change this call's answer
  SetLastError(error);
  return result;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (winsim::EnterCall("ReadFile", {winsim::Ptr(file), std::to_string(toRead)}))
    return winsim::FailTransfer(read, GetLastError());
  winsim::OpenFile* open = winsim::FileOf(file);
  if (open == nullptr) return winsim::FailTransfer(read, ERROR_INVALID_HANDLE);
  if (read == nullptr || overlapped != nullptr) return winsim::FailTransfer(read, ERROR_INVALID_PARAMETER);
  if (!open->read) return winsim::FailTransfer(read, ERROR_ACCESS_DENIED);
  if (buffer == nullptr && toRead > 0) return winsim::FailTransfer(read, ERROR_NOACCESS);
  const std::string& contents = open->node->contents;
  uint64_t available = open->position < contents.size() ? contents.size() - open->position : 0;
  DWORD count = DWORD(std::min<uint64_t>(toRead, available));
  if (count > 0) std::memcpy(buffer, contents.data() + open->position, count);
  open->position += count;
  *read = count;
  return TRUE;
}

// A write that the disk cannot hold stores what fits and fails with ERROR_DISK_FULL.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  if (winsim::EnterCall("WriteFile", {winsim::Ptr(file), std::to_string(toWrite)}))
    return winsim::FailTransfer(written, GetLastError());
  winsim::OpenFile* open = winsim::FileOf(file);
  if (open == nullptr) return winsim::FailTransfer(written, ERROR_INVALID_HANDLE);
  if (written == nullptr || overlapped != nullptr) return winsim::FailTransfer(written, ERROR_INVALID_PARAMETER);
  if (!open->write) return winsim::FailTransfer(written, ERROR_ACCESS_DENIED);
  if (buffer == nullptr && toWrite > 0) return winsim::FailTransfer(written, ERROR_NOACCESS);
  std::string& contents = open->node->contents;
  uint64_t inPlace = open->position < contents.size() ? std::min<uint64_t>(toWrite, contents.size() - open->position) : 0;
  uint64_t growth = toWrite - inPlace;
  if (Files().diskLimited) growth = std::min(growth, Files().freeSpace);
  DWORD stored = DWORD(inPlace + growth);
  if (open->position + stored > contents.size()) contents.resize(open->position + stored);
  if (stored > 0) std::memcpy(&contents[open->position], buffer, stored);
  if (Files().diskLimited) Files().freeSpace -= growth;
  open->position += stored;
  *written = stored;
  if (stored < toWrite) return winsim::Fail(ERROR_DISK_FULL);
  return TRUE;
}

// One level: the parent must be there (3); a file or directory of the name gives 183.
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  if (winsim::EnterCall("CreateDirectoryW", {winsim::Utf8(path)})) return FALSE;
  winsim::Found f = winsim::Find(path);
  if (f.node) return winsim::Fail(ERROR_ALREADY_EXISTS);
  if (f.error != ERROR_FILE_NOT_FOUND) return winsim::Fail(f.error);
  winsim::MakeNode(f.where, true);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (winsim::EnterCall("DeleteFileW", {winsim::Utf8(path)})) return FALSE;
  return winsim::Delete(path);
}

// With MOVEFILE_DELAY_UNTIL_REBOOT nothing is checked on the disk: the request goes into the
// registry (which needs administrator rights) and the system carries it out at its next start.
// Renames that take effect at once are not simulated: the installer makes none.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (winsim::EnterCall("MoveFileExW", {winsim::Utf8(from), winsim::Utf8(to), winsim::Hex(flags)})) return FALSE;
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return winsim::RegisterAtReboot(from, to, flags);
  if (to == nullptr) return winsim::Delete(from);
  winsim::BadSetUp("MoveFileExW renames at once are not simulated", from ? from : u"");
}

DWORD GetFileAttributesW(LPCWSTR path) {
  if (winsim::EnterCall("GetFileAttributesW", {winsim::Utf8(path)})) return INVALID_FILE_ATTRIBUTES;
  winsim::Found f = winsim::Find(path);
  if (f.error != 0) {
    SetLastError(f.error);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (f.node->directory) return FILE_ATTRIBUTE_DIRECTORY;
  return FILE_ATTRIBUTE_ARCHIVE | (f.node->readOnly ? FILE_ATTRIBUTE_READONLY : 0);
}

// The size Windows asks for: twice the resource and 4 bytes, room it uses for ANSI copies.
DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  if (winsim::EnterCall("GetFileVersionInfoSizeW", {winsim::Utf8(path)})) return 0;
  if (handle) *handle = 0;
  std::shared_ptr<winsim::Node> node = winsim::VersionSource(path);
  if (!node) return 0;
  size_t start = 0, length = 0;
  if (!winsim::FindVersionBlock(node->contents, &start, &length)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  SetLastError(0);
  return DWORD(length * 2 + 4);
}

// Copies the resource (as much as fits) and, when there is room, the "FE2X" mark behind it.
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) {
  if (winsim::EnterCall("GetFileVersionInfoW", {winsim::Utf8(path), std::to_string(size)})) return FALSE;
  if (data == nullptr) return winsim::Fail(ERROR_INVALID_DATA);
  std::shared_ptr<winsim::Node> node = winsim::VersionSource(path);
  if (!node) return FALSE;
  size_t start = 0, length = 0;
  if (!winsim::FindVersionBlock(node->contents, &start, &length)) return winsim::Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  std::memcpy(data, node->contents.data() + start, std::min<size_t>(length, size));
  if (size >= length + 4) std::memcpy(static_cast<BYTE*>(data) + length, "FE2X", 4);
  SetLastError(0);
  return TRUE;
}

// Only the root block ("\") exists in the simulated resources: its value is the fixed file
// information, or an empty value when the resource has none.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
  if (winsim::EnterCall("VerQueryValueW", {winsim::Ptr(block), winsim::Utf8(subBlock)})) return FALSE;
  if (block == nullptr || buffer == nullptr) return FALSE;
  std::u16string name = subBlock ? subBlock : u"";
  if (name.find_first_not_of(u'\\') != std::u16string::npos) {
    if (length) *length = 0;
    return winsim::Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  const BYTE* bytes = static_cast<const BYTE*>(block);
  WORD valueLength = winsim::WordAt(bytes + 2);
  size_t keyEnd = winsim::kVersionHeader + 2 * (sizeof(winsim::kVersionKey) / 2 - 1);
  *buffer = const_cast<BYTE*>(bytes + (valueLength ? winsim::kVersionValue : keyEnd));
  if (length) *length = valueLength;
  return TRUE;
}
