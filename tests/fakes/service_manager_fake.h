// Stand-in for OpenServiceManager: refuses with a scripted error and records
// the rights each call asked for.
#pragma once

#include "support/windows_api.h"

#include <vector>

struct ServiceManagerFake {
    DWORD error = ERROR_ACCESS_DENIED;
    std::vector<DWORD> accessAsked;
};

extern ServiceManagerFake serviceManagerFake;
