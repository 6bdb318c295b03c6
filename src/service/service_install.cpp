// Service installation, removal and reload through the service control manager.
#include "service/service_install.h"

#include "support/windows_api.h"

#include <stdio.h>

#include "service/service_platform.h"
#include "support/text_helpers.h"

// The registered description is cut to this size less its terminator.
constexpr uint32_t DescriptionSize = 512;

bool InstallService(const char* serviceName, const char* displayName, const char* description,
                    const char* commandLine, const char* dependencies) {
    SC_HANDLE manager = OpenServiceManager(SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        printf("OpenSCManager failed with error %i\n", static_cast<int>(GetLastError()));
        return false;
    }
    SC_HANDLE service =
        CreateServiceA(manager, serviceName, displayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       commandLine, nullptr, nullptr, dependencies, nullptr, nullptr);
    if (service == nullptr) {
        printf("Failed to install service \"%s\" with error %i\n", serviceName,
               static_cast<int>(GetLastError()));
        CloseServiceHandle(manager);
        return false;
    }
    char descriptionText[DescriptionSize];
    CopyBounded(descriptionText, sizeof descriptionText, description);
    SERVICE_DESCRIPTIONA serviceDescription;
    serviceDescription.lpDescription = descriptionText;
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &serviceDescription);

    printf("Service \"%s\" successfully installed\n", serviceName);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return true;
}

bool UninstallService(const char* serviceName) {
    SC_HANDLE manager = OpenServiceManager(SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        printf("OpenSCManager failed with error %i\n", static_cast<int>(GetLastError()));
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        printf("OpenService failed with error %i\n", static_cast<int>(GetLastError()));
        CloseServiceHandle(manager);
        return false;
    }
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    bool deleted = DeleteService(service) != 0;
    if (deleted) {
        printf("Service \"%s\" successfully uninstalled\n", serviceName);
    } else {
        printf("Failed to uninstall service \"%s\"\n", serviceName);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted;
}

bool ReloadService(const char* serviceName) {
    SC_HANDLE manager = OpenServiceManager(SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        printf("OpenSCManager failed with error %i\n", static_cast<int>(GetLastError()));
        return false;
    }
    // PARAMCHANGE is one of the controls the pause and continue right covers.
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_PAUSE_CONTINUE);
    DWORD error = service == nullptr ? GetLastError() : 0;
    SERVICE_STATUS status;
    if (service != nullptr && !ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status)) {
        error = GetLastError();
    }
    if (error == 0) {
        printf("Reload of service \"%s\" requested\n", serviceName);
    } else if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("Service \"%s\" is not installed\n", serviceName);
    } else if (error == ERROR_SERVICE_NOT_ACTIVE) {
        printf("Service \"%s\" is not running\n", serviceName);
    } else {
        printf("Reload of service \"%s\" refused with error %i\n", serviceName,
               static_cast<int>(error));
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error == 0;
}

std::string ServiceStateWords(const char* serviceName) {
    SC_HANDLE manager = OpenServiceManager(SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    DWORD error = service != nullptr && QueryServiceStatus(service, &status) ? 0 : GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    char words[48];
    snprintf(words, sizeof words, "state unknown, error %lu", error);
    switch (error != 0 ? 0 : status.dwCurrentState) {
    case SERVICE_RUNNING:
        return "running";
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    case SERVICE_PAUSED:
    case SERVICE_PAUSE_PENDING:
    case SERVICE_CONTINUE_PENDING:
        return "paused";
    default:
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? "not installed" : words;
    }
}
