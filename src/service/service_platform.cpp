// Opening the local service control manager and creating a monitor thread.
#include "service/service_platform.h"

#include "monitor/monitor_thread.h"

constexpr SIZE_T MonitorStackSize = 65536;

SC_HANDLE OpenServiceManager(DWORD access) { return OpenSCManagerA(nullptr, nullptr, access); }

HANDLE CreateMonitorThread(ServerEntry* entry, DWORD* threadId) {
    return CreateThread(nullptr, MonitorStackSize, MonitorThread, entry, 0, threadId);
}
