// Reads the built orvinst.exe's resources back as Windows sees them: the log window's dialog
// template, the manifest (as text and through an activation context) and the version.
#include <vector>

#include "win64_check.h"

namespace {

const WORD kUsEnglish = 1033;

// A bounds-checked cursor over a resource block; running past the end marks it broken.
struct Cursor {
  const BYTE* start;
  const BYTE* at;
  const BYTE* end;
  bool broken;

  bool Take(void* into, size_t bytes) {
    if (broken || static_cast<size_t>(end - at) < bytes) {
      broken = true;
      std::memset(into, 0, bytes);
      return false;
    }
    std::memcpy(into, at, bytes);
    at += bytes;
    return true;
  }
  template <typename T>
  T Read() {
    T value;
    Take(&value, sizeof value);
    return value;
  }
  std::wstring Text() {
    std::wstring text;
    for (WCHAR c = Read<WCHAR>(); c != 0 && !broken; c = Read<WCHAR>()) text += c;
    return text;
  }
  void AlignToDword() {
    while (!broken && (at - start) % 4 != 0) at++;
  }
};

// A name-or-ordinal field: 0 for none, 0xFFFF and a number, or a text.
struct NameOrOrdinal {
  bool none;
  WORD ordinal;  // 0 when it is a text
  std::wstring text;
};

NameOrOrdinal ReadNameOrOrdinal(Cursor& in) {
  WORD first = in.Read<WORD>();
  if (first == 0) return {true, 0, L""};
  if (first == 0xFFFF) return {false, in.Read<WORD>(), L""};
  std::wstring text(1, static_cast<wchar_t>(first));
  return {false, 0, text + in.Text()};
}

std::vector<WORD> Languages(HMODULE module, LPCWSTR type, LPCWSTR name) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(
      module, type, name,
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) -> BOOL {
        reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

// The one US English copy of a resource; an empty cursor (and a failure) otherwise.
Cursor Resource(HMODULE module, LPCWSTR type, WORD id, const char* what) {
  std::vector<WORD> languages = Languages(module, type, MAKEINTRESOURCEW(id));
  bool onlyEnglish = languages.size() == 1 && languages[0] == kUsEnglish;
  if (!Check(onlyEnglish, what)) return {nullptr, nullptr, nullptr, true};
  HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), kUsEnglish);
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  DWORD size = SizeofResource(module, found);
  Check(data != nullptr && size != 0, what);
  return {data, data, data + size, data == nullptr};
}

struct ControlExpectation {
  const char* name;
  WORD classOrdinal;
  const wchar_t* text;
  DWORD id;
  short x, y, cx, cy;
  DWORD style;
};

void CheckControl(Cursor& in, const ControlExpectation& expected) {
  std::printf("control %s\n", expected.name);
  in.AlignToDword();
  CheckEqual<DWORD>(in.Read<DWORD>(), 0, "help id");
  CheckEqual<DWORD>(in.Read<DWORD>(), 0, "extended style");
  CheckEqual<DWORD>(in.Read<DWORD>(), expected.style, "style");
  CheckEqual<short>(in.Read<short>(), expected.x, "x");
  CheckEqual<short>(in.Read<short>(), expected.y, "y");
  CheckEqual<short>(in.Read<short>(), expected.cx, "width");
  CheckEqual<short>(in.Read<short>(), expected.cy, "height");
  CheckEqual<DWORD>(in.Read<DWORD>(), expected.id, "id");
  NameOrOrdinal windowClass = ReadNameOrOrdinal(in);
  CheckEqual<WORD>(windowClass.ordinal, expected.classOrdinal, "predefined window class");
  NameOrOrdinal text = ReadNameOrOrdinal(in);
  Check(text.ordinal == 0, "text is not an ordinal");
  CheckText(text.text, expected.text, "text");
  WORD extra = in.Read<WORD>();
  CheckEqual<WORD>(extra, 0, "creation data");
  in.at += extra;
}

void CheckLogDialog(HMODULE module) {
  std::printf("dialog 101\n");
  Cursor in = Resource(module, RT_DIALOG, 101, "dialog 101 exists in language 1033 only");
  if (in.broken) return;
  CheckEqual<WORD>(in.Read<WORD>(), 1, "template version");
  CheckEqual<WORD>(in.Read<WORD>(), 0xFFFF, "extended template signature");
  CheckEqual<DWORD>(in.Read<DWORD>(), 0, "help id");
  CheckEqual<DWORD>(in.Read<DWORD>(), 0, "extended style");
  CheckEqual<DWORD>(in.Read<DWORD>(), 0x80C808C8, "style");
  WORD controls = in.Read<WORD>();
  CheckEqual<short>(in.Read<short>(), 0, "x");
  CheckEqual<short>(in.Read<short>(), 0, "y");
  CheckEqual<short>(in.Read<short>(), 451, "width");
  CheckEqual<short>(in.Read<short>(), 228, "height");
  Check(ReadNameOrOrdinal(in).none, "no menu");
  Check(ReadNameOrOrdinal(in).none, "default window class");
  CheckText(in.Text(), L"", "title");
  CheckEqual<WORD>(in.Read<WORD>(), 8, "font size");
  CheckEqual<WORD>(in.Read<WORD>(), 400, "font weight");
  CheckEqual<BYTE>(in.Read<BYTE>(), 0, "italic");
  CheckEqual<BYTE>(in.Read<BYTE>(), 1, "character set");
  CheckText(in.Text(), L"MS Shell Dlg", "font");
  if (!CheckEqual<WORD>(controls, 2, "control count")) return;
  CheckControl(in, {"Close", 0x0080, L"Close", 1, 394, 207, 50, 14, 0x50010001});
  CheckControl(in, {"log text", 0x0081, L"", 1001, 7, 7, 437, 194, 0x50A108C4});
  Check(!in.broken, "dialog template lies within its resource");
}

// The elements of a small XML text with their attributes and the names of their ancestors;
// enough to read a manifest without an XML library.
struct Element {
  std::string path;  // ancestors and name, joined with '/', namespace prefixes dropped
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;  // the text directly after the start tag
};

std::string LocalName(const std::string& name) { return name.substr(name.find(':') + 1); }

std::vector<Element> ParseElements(const std::string& xml) {
  std::vector<Element> elements;
  std::vector<std::string> open;
  size_t at = 0;
  while ((at = xml.find('<', at)) != std::string::npos) {
    size_t close = xml.find('>', at);
    if (close == std::string::npos) break;
    std::string tag = xml.substr(at + 1, close - at - 1);
    at = close + 1;
    if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
    if (tag[0] == '/') {
      if (!open.empty()) open.pop_back();
      continue;
    }
    bool empty = tag.back() == '/';
    if (empty) tag.pop_back();
    size_t nameEnd = tag.find_first_of(" \t\r\n");
    std::string name = LocalName(tag.substr(0, nameEnd));
    Element element;
    for (const std::string& ancestor : open) element.path += ancestor + "/";
    element.path += name;
    for (size_t pos = nameEnd; pos != std::string::npos && pos < tag.size();) {
      size_t equals = tag.find('=', pos);
      if (equals == std::string::npos) break;
      size_t nameStart = tag.find_first_not_of(" \t\r\n", pos);
      char quote = tag[equals + 1];
      size_t valueEnd = tag.find(quote, equals + 2);
      if (valueEnd == std::string::npos) break;
      element.attributes.push_back({tag.substr(nameStart, equals - nameStart),
                                    tag.substr(equals + 2, valueEnd - equals - 2)});
      pos = valueEnd + 1;
    }
    element.text = xml.substr(at, xml.find('<', at) - at);
    elements.push_back(element);
    if (!empty) open.push_back(name);
  }
  return elements;
}

const Element* Find(const std::vector<Element>& elements, const std::string& path) {
  for (const Element& element : elements)
    if (element.path == path) return &element;
  return nullptr;
}

void CheckAttributes(const std::vector<Element>& elements, const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& expected) {
  const Element* element = Find(elements, path);
  if (!Check(element != nullptr, path.c_str())) return;
  for (const auto& attribute : expected) {
    std::string found = "(none)";
    for (const auto& actual : element->attributes)
      if (actual.first == attribute.first) found = actual.second;
    if (found != attribute.second) {
      std::printf("FAILED: %s %s: got \"%s\", expected \"%s\"\n", path.c_str(), attribute.first.c_str(),
                  found.c_str(), attribute.second.c_str());
      FailureCount()++;
    }
  }
}

void CheckManifestText(HMODULE module) {
  std::printf("manifest text\n");
  Cursor in = Resource(module, MAKEINTRESOURCEW(24), 1, "manifest 1 exists in language 1033 only");
  if (in.broken) return;
  std::vector<Element> elements = ParseElements(std::string(in.start, in.end));
  CheckAttributes(elements, "assembly/assemblyIdentity",
                  {{"name", "Orvandelle.Install"}, {"version", "1.0.0.0"}, {"type", "win32"},
                   {"processorArchitecture", "*"}});
  const Element* description = Find(elements, "assembly/description");
  if (Check(description != nullptr, "description"))
    Check(description->text == "File viewer/translator", "description text");
  CheckAttributes(elements, "assembly/dependency/dependentAssembly/assemblyIdentity",
                  {{"type", "win32"}, {"name", "Microsoft.Windows.Common-Controls"},
                   {"version", "6.0.0.0"}, {"processorArchitecture", "*"},
                   {"publicKeyToken", "6595b64144ccf1df"}, {"language", "*"}});
  CheckAttributes(elements,
                  "assembly/trustInfo/security/requestedPrivileges/requestedExecutionLevel",
                  {{"level", "requireAdministrator"}, {"uiAccess", "false"}});
}

// The loader's own reading: the manifest must be accepted, with its dependency found, and
// must ask for administrator rights.
void CheckManifestAsLoaded(const std::wstring& path) {
  std::printf("manifest as loaded\n");
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

std::wstring Hex4(WORD value) {
  std::wstring digits;
  for (int shift = 12; shift >= 0; shift -= 4) digits += L"0123456789abcdef"[(value >> shift) & 0xF];
  return digits;
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
  CheckEqual<DWORD>(info->dwSignature, 0xFEEF04BD, "fixed version signature");
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
  std::wstring prefix = L"\\StringFileInfo\\" + Hex4(translation[0]) + Hex4(translation[1]) + L"\\";
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
  CheckManifestText(module);
  FreeLibrary(module);
  CheckManifestAsLoaded(path);
  CheckVersion(path);
  return Verdict("resources");
}
