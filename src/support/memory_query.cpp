// Storage of the process-wide memory query address.
#include "support/memory_query.h"

GetProcessMemoryInfoFunction QueryProcessMemory = nullptr;
