// The system's list of renames and deletions waiting for its next start, carried out early
// where it is a plain deletion; and the build number in a file's version resource.
#pragma once

#include <cstdint>

#include "platform.h"

// The system keeps two lists, "PendingFileRenameOperations" and "PendingFileRenameOperations2",
// and carries out both at its next start; the table holds the pairs of the first, then those of
// the second. Pair k: paths[2k] is the source, paths[2k + 1] the target, each a copy of the
// registry string (marker and NT prefix included) or null for an empty string. A null target is
// a pending deletion. isFile[i] is 1 when paths[i] named an existing file, not a directory, when
// the table was read. The caller owns the table for one step and releases it with
// FreePendingRenames.
struct PendingRenameTable {
  WCHAR** paths;
  int32_t* isFile;
  int32_t pairCount;
};

// `path` without a leading "\??\", the NT object prefix; otherwise `path` itself.
const WCHAR* SkipNtPathPrefix(const WCHAR* path);

// The file a pending entry names, read as the session manager reads it: without a leading "*"
// and its digits (the marker current Windows writes before a delayed deletion), then, on a
// target, "!" or "@", then "\??\". Null for a form the installer does not understand (a "*"
// without digits, a marker not followed by the NT prefix, "!" or "@" on a source, a path that
// does not begin with a drive, a colon and a slash of either kind): such an entry is never compared with a
// file name and never carried out.
const WCHAR* PendingEntryPath(const WCHAR* entry, bool isTarget);

// Reads HKLM "...\Session Manager" values "PendingFileRenameOperations" and
// "PendingFileRenameOperations2". A value that cannot be read adds nothing; empty when memory
// runs out.
PendingRenameTable ReadPendingRenames();

// Deletes now the source of every pending deletion that is an existing file, and clears its
// flag when that succeeds, or when the file is already gone (an earlier entry named it another
// way). A deletion carried out here leaves the registry value too: the file is gone, and at the
// next start the entry could only delete a newcomer of the same name.
// ERROR_SUCCESS, or the registry's error when the value could not be rewritten (the entries
// carried out then stay listed).
LONG ClearPendingDeletes(PendingRenameTable& table);

// Rewrites each of the two values, in its own place, without the pending deletions (pairs with
// an empty target) whose source names one of `files` (a plain path, or an entry of the list):
// PendingEntryPath of both, ignoring the case of ASCII letters. Every other pair, markers
// included, and whatever follows the last pair, stays byte for byte and in order.
// ERROR_SUCCESS when no such deletion is left listed, nothing written to a value that had
// none; otherwise the registry's first error (or ERROR_NOT_ENOUGH_MEMORY), and that value is
// unchanged.
LONG DropPendingDeletes(const WCHAR* const* files, int32_t fileCount);

// Releases the strings and both arrays; the table is empty afterwards.
void FreePendingRenames(PendingRenameTable& table);

// The fourth number of the file's product version (0 to 65535), or -1 when the file has no
// readable version resource.
int32_t GetFileBuild(const WCHAR* path);
