// Component files copied byte for byte from the installer's directory into place, with the
// opening of the target retried while another process still holds it.
#pragma once

#include "platform.h"

struct InstallContext;

// Room in a caller's out-path buffer, terminator included.
const int kCopyOutPathChars = MAX_PATH;

// Creates or truncates `path` for writing: up to 100 attempts 50 ms apart, and none after 10
// seconds from the first (then "CreateFile - timeout" is logged). On failure the invalid handle,
// with the last error of the last attempt.
HANDLE OpenForWriteWithRetry(InstallContext& context, const WCHAR* path);

// Copies `fileName` from the context's ModuleDir into `directory` (either may be empty). When
// `outPath` is given it receives the full target path before anything is opened, or an empty
// text when that path would not fit its kCopyOutPathChars. With `report` set, failures to open
// the source or the target are numbered errors. Returns 0 or E_FAIL.
HRESULT CopyToDirectory(InstallContext& context, const WCHAR* directory, const WCHAR* fileName, WCHAR* outPath,
                        bool report);
