// Link-time stand-in for the service control manager's door: it never opens.
#include "fakes/service_manager_fake.h"

#include "service/service_manager.h"

ServiceManagerFake serviceManagerFake;

SC_HANDLE OpenServiceManager(DWORD access) {
    serviceManagerFake.accessAsked.push_back(access);
    SetLastError(serviceManagerFake.error);
    return nullptr;
}
