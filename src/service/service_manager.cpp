// Opening the local service control manager, and nothing else.
#include "service/service_manager.h"

SC_HANDLE OpenServiceManager(DWORD access) { return OpenSCManagerA(nullptr, nullptr, access); }
