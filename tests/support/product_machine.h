// A Windows machine as the installer meets it in the field: the "Local Port" monitor every
// Windows has, and the installer in C:\Product\drv\ beside the product's components, with the
// tray program in C:\Product\.
#pragma once

#include <string>

#include "platform.h"

extern const char16_t kModuleDir[];    // C:\Product\drv\ (the installer's directory)
extern const char16_t kSystemDir[];    // C:\Windows\system32\ (with its backslash)
extern const char16_t kDriverDir[];    // ...\spool\drivers\x64\ (with its backslash)
extern const char16_t kTrayPath[];     // C:\Product\orvtray.exe

// The components beside the installer; each DLL's product version ends in `build`.
void PutInstallerFiles(WORD build = 2547);
std::string ComponentContents(const std::u16string& name, WORD build);
void PrepareProductMachine(WORD build = 2547);
