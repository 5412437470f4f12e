// The simulated file system: set-up and inspection for tests, and the hooks other areas use
// (the spooler loads and holds files; a restart of its service lets them go).
#pragma once

#include <string>

namespace winsim {

// Simulated processes that can hold files open or loaded.
const int kInstallerProcess = 1;
const int kSpoolerProcess = 2;

// Paths are full Windows paths ("C:\\Windows\\system32\\zelmon64.dll"), compared without case.
// Writing a file creates its missing parent directories.
void PutFile(const std::u16string& path, const std::string& contents = std::string());
void PutDirectory(const std::u16string& path);
bool FileExists(const std::u16string& path);       // a file, not a directory
bool DirectoryExists(const std::u16string& path);
std::string FileContents(const std::u16string& path);  // "" when missing
bool RemoveFile(const std::u16string& path);        // test set-up: deletes regardless of holders

// A file loaded by `process` (a module): deleting it fails with 5 and opening it for writing
// with 32 until the process lets it go.
void HoldFile(const std::u16string& path, int process);
void ReleaseFile(const std::u16string& path, int process);
void ReleaseFiles(int process);
bool IsHeld(const std::u16string& path);

}  // namespace winsim
