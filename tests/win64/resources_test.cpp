// Reads the built orvinst.exe's resources back as Windows uses them: the log window made from
// its dialog, the manifest through an activation context, and the version texts.
#include <vector>

#include "win64_check.h"

namespace {

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The log window as the program makes it: a Close button (IDOK) and the read-only, multi-line
// text box (1001) that the log goes to.
void CheckLogDialog(HMODULE module) {
  HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(101), nullptr, Quiet, 0);
  if (!Check(dialog != nullptr, "dialog 101 makes a window")) return;
  const struct {
    int id;
    const wchar_t* windowClass;
    DWORD styles;
  } controls[] = {{IDOK, L"Button", BS_DEFPUSHBUTTON}, {1001, L"Edit", ES_MULTILINE | ES_READONLY | WS_VSCROLL}};
  for (const auto& control : controls) {
    HWND item = GetDlgItem(dialog, control.id);
    wchar_t windowClass[64] = L"";
    GetClassNameW(item, windowClass, 64);
    Check(item != nullptr && std::wstring(windowClass) == control.windowClass &&
              (GetWindowLongPtrW(item, GWL_STYLE) & control.styles) == control.styles,
          "control " + std::to_string(control.id) + " is a " + Narrow(control.windowClass) + " with its styles");
  }
  DestroyWindow(dialog);
}

// The loader's own reading: the manifest must be accepted, with its dependency found, and
// must ask for administrator rights.
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

// The build that the installer compares, and the texts as Windows' file properties and the
// elevation prompt read them: through the first language and code page of the translation table.
void CheckVersion(const std::wstring& path) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> block(size + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  WORD* translation = nullptr;
  UINT length = 0, words = 0;
  if (!Check(size != 0 && GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
                 VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) &&
                 length >= sizeof *info &&
                 VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                &words) && words >= 2 * sizeof(WORD),
             "version resource with its fixed part and translation table"))
    return;
  CheckEqual<DWORD>(info->dwProductVersionMS, MAKELONG(0, 1), "product version 1.0");
  CheckEqual<DWORD>(info->dwProductVersionLS, MAKELONG(2547, 0), "product version .0.2547");
  Check(info->dwFileVersionMS == info->dwProductVersionMS && info->dwFileVersionLS == info->dwProductVersionLS,
        "file version as the product version");
  CheckEqual<WORD>(translation[0], 1033, "language of the version texts");
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04x%04x", translation[0], translation[1]);
  std::wstring prefix = L"\\StringFileInfo\\" + std::wstring(hex, hex + 8) + L"\\";
  const std::pair<const wchar_t*, const wchar_t*> texts[] = {
      {L"CompanyName", L"Corvane"}, {L"ProductName", L"Orvandelle"}, {L"FileDescription", L"Orvandelle installer"},
      {L"ProductVersion", L"1.0.0.2547"}, {L"OriginalFilename", L"orvinst.exe"}};
  for (const auto& text : texts) {
    wchar_t* value = nullptr;
    bool found = VerQueryValueW(block.data(), (prefix + text.first).c_str(),
                                reinterpret_cast<void**>(&value), &length) && length > 0;
    std::string got = found ? Narrow(value) : "(none)";
    Check(found && std::wstring(value) == text.second,
          Narrow(text.first) + ": \"" + got + "\", expected \"" + Narrow(text.second) + "\"");
  }
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
