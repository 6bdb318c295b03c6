// The address of GetProcessMemoryInfo, looked up from psapi.dll by the entry
// point before any other thread exists, and only read afterwards.
#pragma once

#include "support/windows_api.h"

typedef BOOL(WINAPI* GetProcessMemoryInfoFunction)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);

extern GetProcessMemoryInfoFunction QueryProcessMemory;
