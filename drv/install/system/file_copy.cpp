#include "system/file_copy.h"

#include "app/install_context.h"
#include "app/install_log.h"

namespace {

const int kMaxOpenAttempts = 100;
const DWORD kOpenPause = 50;
const DWORD kOpenBudget = 10000;
const DWORD kCopyBufferBytes = 8192;

const WCHAR kBackslash[] = {'\\', 0};

// `directory`, a backslash unless it is empty or ends in one, and `name`. False when the heap
// refused part of it: a partly built path must not be opened.
bool JoinPath(WideText& path, const WCHAR* directory, const WCHAR* name) {
  uint64_t directoryLength = TextLength(directory);
  bool separator = directoryLength > 0 && directory[directoryLength - 1] != '\\';
  Assign(path, directory);
  if (separator) Append(path, kBackslash);
  Append(path, name);
  return Length(path) == directoryLength + (separator ? 1 : 0) + TextLength(name);
}

// A cut path would name another file, so a path that does not fit is handed back empty.
void FillOutPath(WCHAR* outPath, const WideText& path, bool joined) {
  uint64_t length = joined ? Length(path) : 0;
  if (length >= static_cast<uint64_t>(kCopyOutPathChars)) length = 0;
  for (uint64_t i = 0; i < length; i++) outPath[i] = Chars(path)[i];
  outPath[length] = 0;
}

// The copy loop. A read that fails leaves the target incomplete, so the copy has failed; like
// an unreadable source it is an error when the copy reports, or a caller that goes on without
// the file (the help file) would end a run with a missing file as a success.
HRESULT CopyBytes(InstallContext& context, HANDLE source, HANDLE target, const WCHAR* targetPath, bool report) {
  BYTE buffer[kCopyBufferBytes];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, buffer, kCopyBufferBytes, &read, nullptr)) {
      if (report) ReportError(context, 8, targetPath);
      return E_FAIL;
    }
    if (read > 0) {
      DWORD written = 0;
      WriteFile(target, buffer, read, &written, nullptr);
      if (written != read) {
        ReportError(context, 8, targetPath);
        return E_FAIL;
      }
    }
    if (read < kCopyBufferBytes) return 0;
  }
}

HRESULT CopyFileContents(InstallContext& context, const WCHAR* sourcePath, const WCHAR* targetPath,
                         const WCHAR* fileName, bool report) {
  HANDLE source = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (source == INVALID_HANDLE_VALUE) {
    if (report) ReportError(context, 10, fileName);
    return E_FAIL;
  }
  HANDLE target = OpenForWriteWithRetry(context, targetPath);
  if (target == INVALID_HANDLE_VALUE) {
    if (report) ReportError(context, 9, targetPath);
    CloseHandle(source);
    return E_FAIL;
  }
  HRESULT result = CopyBytes(context, source, target, targetPath, report);
  CloseHandle(target);
  CloseHandle(source);
  return result;
}

}  // namespace

HANDLE OpenForWriteWithRetry(InstallContext& context, const WCHAR* path) {
  DWORD start = GetTickCount();
  DWORD error = 0;
  for (int attempt = 0; attempt < kMaxOpenAttempts; attempt++) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    error = GetLastError();
    // Unsigned difference: right across the wrap of the tick count.
    if (GetTickCount() - start > kOpenBudget) {
      LogLine(context, W("CreateFile - timeout"));
      break;
    }
    Sleep(kOpenPause);
  }
  SetLastError(error);  // the caller's error line describes the open, not what followed it
  return INVALID_HANDLE_VALUE;
}

HRESULT CopyToDirectory(InstallContext& context, const WCHAR* directory, const WCHAR* fileName, WCHAR* outPath,
                        bool report) {
  LogLine(context, W(">CopyFile %s to %s [%d])"), fileName, directory, report ? 1 : 0);
  context.Depth++;
  WideText source = {nullptr};
  WideText target = {nullptr};
  bool targetJoined = JoinPath(target, directory, fileName);
  if (outPath != nullptr) FillOutPath(outPath, target, targetJoined);
  bool joined = targetJoined && JoinPath(source, Chars(context.ModuleDir), fileName);
  HRESULT result = joined ? CopyFileContents(context, Chars(source), Chars(target), fileName, report) : E_FAIL;
  LogLine(context, result == 0 ? W("Copy Succeeded :)") : W("Copy Failed :("));
  context.Depth--;
  ReleaseText(target);
  ReleaseText(source);
  return result;
}
