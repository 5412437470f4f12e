// The simulated file system: set-up and inspection for tests, and the hooks other areas use
// (the spooler loads and holds files; a restart of its service lets them go).
//
// One volume tree per drive letter, names compared without case (the upper-case table of the
// Latin, Greek and Cyrillic letters), "/" accepted as a separator, "." and ".." resolved,
// relative paths taken from the current directory. Full paths of MAX_PATH characters or more
// are refused as Windows does without long-path support; the "\\?\" and "\??\" prefixes are
// accepted. Files written by the program keep exactly the bytes written; a version resource
// is a block inside those bytes (see VersionResource), so it travels with every byte copy.
// A fresh machine has drive C: with the directories C:\Windows\system32\spool\drivers\x64 and
// C:\Product\drv (where the installer lies), and no files.
#pragma once

#include <cstdint>
#include <string>

#include "winsim/win32_types.h"

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
// Removes a directory with everything below it, regardless of holders and open handles.
bool RemoveDirectoryTree(const std::u16string& path);

// A file loaded by `process` (a module): deleting it fails with 5 and opening it for writing
// with 32 until the process lets it go. Reading it stays possible.
void HoldFile(const std::u16string& path, int process);
void ReleaseFile(const std::u16string& path, int process);
void ReleaseFiles(int process);
void ReleaseAllFiles();   // every process lets go of every file, as at a restart
bool IsHeld(const std::u16string& path);

// The directory relative paths start from (default "C:\\Product\\drv", where the installer lies).
void SetCurrentDirectoryPath(const std::u16string& path);

// --- Knobs for failures -----------------------------------------------------------------
// Bytes that writes may still add to the disk before it is full; a write that needs more
// stores what fits, reports that count and fails with ERROR_DISK_FULL (112). Unlimited by
// default. Reads fail through FailNext("ReadFile", ...).
void SetFreeDiskSpace(uint64_t bytes);
void SetUnlimitedDiskSpace();
// Every CreateFileW call, whether it succeeds or not, takes this much virtual time (default 0).
void SetCreateFileDuration(DWORD milliseconds);

// File handles opened with CreateFileW and not closed yet.
size_t OpenFileHandles();

// --- Version resources -------------------------------------------------------------------
// a.b.c.d as VS_FIXEDFILEINFO carries it: MS = a << 16 | b, LS = c << 16 | d.
struct VersionNumber {
  WORD a, b, c, d;
};
// The bytes of a VS_VERSIONINFO block with that product and file version and no string tables,
// laid out as a module's version resource. Put it into a file's contents (alone or after other
// bytes) to give the file version information.
std::string VersionResource(VersionNumber product, VersionNumber file);
std::string VersionResource(VersionNumber product);  // file version the same
// A VS_VERSIONINFO block without the fixed file information (wValueLength 0).
std::string VersionResourceWithoutFixedInfo();

}  // namespace winsim
