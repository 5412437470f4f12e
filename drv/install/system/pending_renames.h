// The system's list of renames and deletions waiting for its next start, carried out early
// where it is a plain deletion; and the build number in a file's version resource.
#pragma once

#include <cstdint>

#include "platform.h"

// Pair k: paths[2k] is the source, paths[2k + 1] the target, each a copy of the registry string
// (NT prefix included) or null for an empty string. A null target is a pending deletion.
// isFile[i] is 1 when paths[i] named an existing file, not a directory, when the table was read.
// The caller owns the table for one step and releases it with FreePendingRenames.
struct PendingRenameTable {
  WCHAR** paths;
  int32_t* isFile;
  int32_t pairCount;
};

// `path` without a leading "\??\", the NT object prefix; otherwise `path` itself.
const WCHAR* SkipNtPathPrefix(const WCHAR* path);

// Reads HKLM "...\Session Manager" value "PendingFileRenameOperations". Empty when the key or
// the value cannot be read or memory runs out.
PendingRenameTable ReadPendingRenames();

// Deletes now the source of every pending deletion that is an existing file, and clears its
// flag when that succeeds, or when the file is already gone (an earlier entry named it another
// way). A deletion carried out here leaves the registry value too: the file is gone, and at the
// next start the entry could only delete a newcomer of the same name.
// ERROR_SUCCESS, or the registry's error when the value could not be rewritten (the entries
// carried out then stay listed).
LONG ClearPendingDeletes(PendingRenameTable& table);

// Rewrites the registry value without the pending deletions (pairs with an empty target) whose
// source names one of `files`, after SkipNtPathPrefix on both and ignoring the case of ASCII
// letters. Every other pair, and whatever follows the last pair, stays byte for byte and in
// order. ERROR_SUCCESS when no such deletion is left listed, nothing written when there was
// none; otherwise the registry's error (or ERROR_NOT_ENOUGH_MEMORY), and the value is unchanged.
LONG DropPendingDeletes(const WCHAR* const* files, int32_t fileCount);

// Releases the strings and both arrays; the table is empty afterwards.
void FreePendingRenames(PendingRenameTable& table);

// The fourth number of the file's product version (0 to 65535), or -1 when the file has no
// readable version resource.
int32_t GetFileBuild(const WCHAR* path);
