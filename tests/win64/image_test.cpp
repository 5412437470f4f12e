// The built orvinst.exe as a file: a GUI program that needs nothing beside itself and imports
// only Windows' known DLLs, which the loader never looks for in the program's own folder; no
// link time stamp.
#include <vector>

#include "win64_check.h"

namespace {

std::vector<BYTE> ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<BYTE> bytes(file == INVALID_HANDLE_VALUE ? 0 : GetFileSize(file, nullptr));
  DWORD read = 0;
  if (file != INVALID_HANDLE_VALUE && !ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
    read = 0;
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}

// A file offset for a relative virtual address, or 0 when no section holds it.
size_t FileOffset(const IMAGE_NT_HEADERS64* headers, DWORD rva) {
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections; i++, section++)
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
      return rva - section->VirtualAddress + section->PointerToRawData;
  return 0;
}

// The known DLLs that every Windows from 7 to 11 lists in the registry key
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs: the loader maps them, and
// what they import, from the system directory only. Any other name (version.dll, winspool.drv,
// a C runtime's own DLL, an api-ms-win-crt set, which an older Windows 7 keeps as plain files)
// is looked for beside the program first.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool IsKnownDll(const std::string& name) {
  for (const char* known : {"advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll",
                            "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
                            "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
                            "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll"})
    if (CompareStringOrdinal(Widen(name).c_str(), -1, Widen(known).c_str(), -1, TRUE) == CSTR_EQUAL) return true;
  return false;
}

}  // namespace

int wmain() {
  std::vector<BYTE> image = ReadWholeFile(InstallerPath());
  if (!Check(image.size() > 0x1000, "orvinst.exe is readable")) return Verdict("image");
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  auto headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  if (!Check(dos->e_magic == IMAGE_DOS_SIGNATURE && headers->Signature == IMAGE_NT_SIGNATURE &&
                 headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC,
             "a 64-bit PE image"))
    return Verdict("image");
  CheckEqual<WORD>(headers->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64, "machine");
  CheckEqual<WORD>(headers->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI, "subsystem");

  const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  size_t at = FileOffset(headers, imports.VirtualAddress);
  if (!Check(at != 0, "import table")) return Verdict("image");
  for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    if (!Check(at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= image.size(), "import table within the file")) break;
    auto descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + at);
    if (descriptor->Name == 0) break;
    size_t name = FileOffset(headers, descriptor->Name);
    std::string dll(reinterpret_cast<const char*>(image.data() + name),
                    strnlen(reinterpret_cast<const char*>(image.data() + name), image.size() - name));
    std::printf("imports %s\n", dll.c_str());
    Check(IsKnownDll(dll), "imports " + dll + ", which is not a known DLL and can be planted beside the program");
  }
  // A delay-loaded DLL is looked for in the usual search order when it is first used.
  CheckEqual<DWORD>(headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size, 0,
                    "delay-load imports");
  // Two builds of the same sources must give the same bytes.
  CheckEqual<DWORD>(headers->FileHeader.TimeDateStamp, 0, "link time stamp");
  return Verdict("image");
}
