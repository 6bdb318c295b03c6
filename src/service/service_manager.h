// The one door to the service control manager of this machine; unit tests
// link a stand-in in its place to step the installer through a refusal.
#pragma once

#include "support/windows_api.h"

// OpenSCManagerA of the local machine's active database with the given
// rights; null on failure, with the reason in GetLastError.
SC_HANDLE OpenServiceManager(DWORD access);
