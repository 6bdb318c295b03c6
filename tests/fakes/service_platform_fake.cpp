// The service host's two Windows calls, steerable: the service control
// manager refuses, or one monitor thread is not created.
#include "fakes/fakes.h"

#include "monitor/monitor_thread.h"
#include "service/service_platform.h"

std::vector<uint32_t> serviceManagerAccess;
uint32_t serviceManagerError = 0;
int refusedThread = 0;

SC_HANDLE OpenServiceManager(DWORD access) {
    serviceManagerAccess.push_back(access);
    SetLastError(serviceManagerError);
    return nullptr;
}

HANDLE CreateMonitorThread(ServerEntry* entry, DWORD* threadId) {
    if (refusedThread != 0 && --refusedThread == 0) {
        return nullptr;
    }
    return CreateThread(nullptr, 65536, MonitorThread, entry, 0, threadId);
}
