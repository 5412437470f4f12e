// winsim's stand-in for <windows.h>, <winspool.h>, <shellapi.h> and the version API.
#pragma once

#include "winsim/win32_api.h"
#include "winsim/win32_types.h"
