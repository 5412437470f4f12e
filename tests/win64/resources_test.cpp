// Reads the built orvinst.exe's resources back as Windows sees them: the log window's dialog
// template, the manifest (as text and through an activation context) and the version.
#include <vector>

#include "win64_check.h"

namespace {

const WORD kUsEnglish = 1033;

// The one US English copy of a resource, as its bytes; nothing (and a failure) otherwise.
std::string Resource(HMODULE module, LPCWSTR type, WORD id, const char* what) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(
      module, type, MAKEINTRESOURCEW(id),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) -> BOOL {
        return reinterpret_cast<std::vector<WORD>*>(list)->push_back(language), TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  if (!Check(languages.size() == 1 && languages[0] == kUsEnglish, what)) return "";
  HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), kUsEnglish);
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
  return Check(data != nullptr && SizeofResource(module, found) != 0, what) ? std::string(data, SizeofResource(module, found)) : "";
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// What a user sees of the log window, as Windows builds it from the template: its size, no
// title of its own (set at run time), and a Close button (IDOK) above nothing but a read-only,
// multi-line text box (1001).
void CheckLogDialog(HMODULE module) {
  std::printf("dialog 101\n");
  std::string bytes = Resource(module, RT_DIALOG, 101, "dialog 101 exists in language 1033 only");
  if (bytes.empty()) return;
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), nullptr, Quiet, 0);
  if (!Check(dialog != nullptr, "the template makes a dialog")) return;
  RECT size = {0, 0, 451, 228}, client = {};
  MapDialogRect(dialog, &size);
  GetClientRect(dialog, &client);
  CheckEqual<LONG>(client.right, size.right, "width");
  CheckEqual<LONG>(client.bottom, size.bottom, "height");
  CheckEqual<int>(GetWindowTextLengthW(dialog), 0, "title");
  const struct {
    int id;
    const wchar_t* windowClass;
    const wchar_t* text;
    DWORD styles;
  } expected[] = {{IDOK, L"Button", L"Close", BS_DEFPUSHBUTTON},
                  {1001, L"Edit", L"", ES_MULTILINE | ES_READONLY | WS_VSCROLL}};
  int controls = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) controls++;
  CheckEqual<int>(controls, 2, "control count");
  for (const auto& control : expected) {
    HWND item = GetDlgItem(dialog, control.id);
    if (!Check(item != nullptr, "control present")) continue;
    wchar_t text[64] = L"", windowClass[64] = L"";
    GetWindowTextW(item, text, 64);
    GetClassNameW(item, windowClass, 64);
    CheckText(windowClass, control.windowClass, "control class");
    CheckText(text, control.text, "control text");
    DWORD style = static_cast<DWORD>(GetWindowLongPtrW(item, GWL_STYLE));
    CheckEqual<DWORD>(style & control.styles, control.styles, "control styles");
  }
  DestroyWindow(dialog);
}

// The loader's own reading: the manifest must be accepted, with its dependency found, and
// must ask for administrator rights; its own identity is for any processor.
void CheckManifest(HMODULE module, const std::wstring& path) {
  std::printf("manifest\n");
  std::string xml = Resource(module, MAKEINTRESOURCEW(24), 1, "manifest 1 exists in language 1033 only");
  size_t identity = xml.find("<assemblyIdentity ");
  Check(identity != std::string::npos &&
            xml.substr(identity, xml.find('>', identity) - identity).find(" processorArchitecture=\"*\"") !=
                std::string::npos,
        "any processor architecture");
  ACTCTXW request = {};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = CreateActCtxW(&request);
  if (!Check(context != INVALID_HANDLE_VALUE, "activation context from the manifest")) {
    std::printf("  error %lu\n", GetLastError());
    return;
  }
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel = {};
  SIZE_T written = 0;
  if (Check(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &runLevel,
                         sizeof runLevel, &written) != FALSE,
            "run level query")) {
    CheckEqual<int>(runLevel.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN, "requested run level");
    CheckEqual<DWORD>(runLevel.UiAccess, 0, "uiAccess");
  }
  ReleaseActCtx(context);
}

void CheckVersion(const std::wstring& path) {
  std::printf("version\n");
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (!Check(size != 0, "version resource present")) return;
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  bool read = GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
              VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) &&
              length >= sizeof *info;
  if (!Check(read, "fixed version information")) return;
  CheckEqual<DWORD>(LOWORD(info->dwProductVersionLS), 2547, "build in the product version");
  CheckEqual<DWORD>(info->dwFileVersionMS, MAKELONG(0, 1), "file version 1.0");
  CheckEqual<DWORD>(info->dwFileVersionLS, MAKELONG(2547, 0), "file version .0.2547");

  // The texts as Windows' file properties and the elevation prompt read them: through the
  // first language and code page that the translation table names.
  WORD* translation = nullptr;
  if (!Check(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                            &length) && length >= 2 * sizeof(WORD),
             "translation table"))
    return;
  CheckEqual<WORD>(translation[0], kUsEnglish, "language of the version texts");
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04x%04x", translation[0], translation[1]);
  std::wstring prefix = L"\\StringFileInfo\\" + std::wstring(hex, hex + 8) + L"\\";
  const std::pair<const wchar_t*, const wchar_t*> texts[] = {
      {L"CompanyName", L"Corvane"},          {L"ProductName", L"Orvandelle"},
      {L"FileDescription", L"Orvandelle installer"}, {L"FileVersion", L"1.0.0.2547"},
      {L"ProductVersion", L"1.0.0.2547"},    {L"OriginalFilename", L"orvinst.exe"}};
  for (const auto& text : texts) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    std::wstring query = prefix + text.first;
    bool found = VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) && chars > 0;
    CheckText(found ? std::wstring(value) : L"(none)", text.second, Narrow(text.first).c_str());
  }
}

}  // namespace

int wmain() {
  std::wstring path = InstallerPath();
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!Check(module != nullptr, "orvinst.exe loads as a data file")) return Verdict("resources");
  CheckLogDialog(module);
  CheckManifest(module, path);
  FreeLibrary(module);
  CheckVersion(path);
  return Verdict("resources");
}
