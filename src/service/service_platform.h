// The service host's two Windows calls that unit tests replace with a
// stand-in, to step through refusals Windows will not produce on demand.
#pragma once

#include "support/windows_api.h"

struct ServerEntry;

// OpenSCManagerA of the local machine's active database with the given
// rights; null on failure, with the reason in GetLastError.
SC_HANDLE OpenServiceManager(DWORD access);

// Starts MonitorThread for entry, a copy the thread frees, with a 64 KiB
// stack; null on failure, the entry then still the caller's.
HANDLE CreateMonitorThread(ServerEntry* entry, DWORD* threadId);
