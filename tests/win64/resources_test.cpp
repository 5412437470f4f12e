// Reads the built orvinst.exe's resources back as Windows uses them: the log window made from
// its dialog, the manifest through an activation context, and the version that file
// properties and the elevation prompt show.
#include <vector>

#include "win64_check.h"

namespace {

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The scenarios read the log from text box 1001 and close the window with IDOK; what they
// cannot see is that the user may scroll the log but not edit it.
void CheckLogDialog(HMODULE module) {
  HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(101), nullptr, Quiet, 0);
  if (!Check(dialog != nullptr, "dialog 101 makes a window")) return;
  const DWORD styles = ES_MULTILINE | ES_READONLY | WS_VSCROLL;
  HWND text = GetDlgItem(dialog, 1001);
  Check(text != nullptr && (GetWindowLongPtrW(text, GWL_STYLE) & styles) == styles,
        "text box 1001 is multi-line, read-only and scrolls");
  Check(GetDlgItem(dialog, IDOK) != nullptr, "the dialog has its Close button");
  DestroyWindow(dialog);
}

// The loader must accept the manifest, its dependency found, and ask for administrator rights.
void CheckManifest(const std::wstring& path) {
  ACTCTXW request = {};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = CreateActCtxW(&request);
  if (!Check(context != INVALID_HANDLE_VALUE, "activation context from manifest 1: error " +
                                                  std::to_string(GetLastError())))
    return;
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel = {};
  SIZE_T written = 0;
  Check(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &runLevel, sizeof runLevel,
                     &written) &&
            runLevel.RunLevel == ACTCTX_RUN_LEVEL_REQUIRE_ADMIN && runLevel.UiAccess == 0,
        "the manifest asks for administrator rights without uiAccess");
  ReleaseActCtx(context);
}

// The build the installer compares, and the description read as Windows reads the texts:
// through the first language and code page of the translation table.
void CheckVersion(const std::wstring& path) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> block(size + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  WORD* translation = nullptr;
  wchar_t* description = nullptr;
  UINT length = 0;
  if (!Check(size != 0 && GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
                 VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) &&
                 length >= sizeof *info &&
                 VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                &length) && length >= 2 * sizeof(WORD),
             "version resource with its fixed part and translation table"))
    return;
  Check(info->dwProductVersionLS == MAKELONG(2547, 0), "product version 1.0.0.2547: build " +
                                                          std::to_string(LOWORD(info->dwProductVersionLS)));
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04x%04x", translation[0], translation[1]);
  std::wstring query = L"\\StringFileInfo\\" + std::wstring(hex, hex + 8) + L"\\FileDescription";
  Check(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&description), &length) && length > 0 &&
            std::wstring(description) == L"Orvandelle installer",
        "FileDescription \"Orvandelle installer\" in the language the translation table names");
}

}  // namespace

int wmain() {
  wchar_t self[MAX_PATH];
  std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"orvinst.exe";  // the build puts it beside this test
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!Check(module != nullptr, "orvinst.exe loads as a data file")) return Verdict("resources");
  CheckLogDialog(module);
  FreeLibrary(module);
  CheckManifest(path);
  CheckVersion(path);
  return Verdict("resources");
}
