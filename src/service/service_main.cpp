// Service main and control handler.
#include "service/service_main.h"

#include "config/config_parser.h"
#include "config/server_entry.h"
#include "monitor/monitor_state.h"
#include "service/command_line.h"
#include "service/monitor_fleet.h"
#include "support/event_log.h"
#include "support/file_helpers.h"
#include "support/shared_mutexes.h"

// Written by the service thread; the handler only reports it.
static SERVICE_STATUS ServiceStatus;
static SERVICE_STATUS_HANDLE StatusHandle = nullptr;
static DWORD ServiceThreadId = 0;

constexpr DWORD StopPollMs = 20;
// Failure codes that end the service.
constexpr int RequestedStop = 0;
constexpr int MutexFailure = -2;
constexpr int StartupFailure = -3;
constexpr DWORD ServiceSpecificBit = 0x20000000;

static void ReportStatus(DWORD state) {
    ServiceStatus.dwCurrentState = state;
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        PostThreadMessageA(ServiceThreadId, StopMessage, 0, 0);
    } else if (control == SERVICE_CONTROL_PARAMCHANGE) {
        PostThreadMessageA(ServiceThreadId, ReloadMessage, 0, 0);
    }
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

// Tends the fleet between looks at the queue, a reload included: no thread is
// waited for here, so a stop is taken at once whatever the fleet is doing.
static void WaitForStopRequest(MonitorFleet& fleet) {
    for (;;) {
        MSG message;
        bool reloadRequested = false;
        while (PeekMessageA(&message, nullptr, FirstAppMessage, LastAppMessage, PM_REMOVE)) {
            if (message.message == StopMessage) {
                throw RequestedStop;
            }
            reloadRequested = reloadRequested || message.message == ReloadMessage;
        }
        TendFleet(fleet, reloadRequested);
        Sleep(StopPollMs);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    MonitorFleet fleet;
    StatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceCtrlHandler);
    if (StatusHandle == nullptr) {
        return;
    }
    // Stop is accepted from the first report on: the queue must exist before
    // the handler can post to it.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    ServiceThreadId = GetCurrentThreadId();

    ServiceStatus = {};
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    ReportStatus(SERVICE_START_PENDING);

    int code = RequestedStop;
    try {
        LogMutex = CreateMutexA(nullptr, FALSE, LogMutexName);
        UpdMutex = CreateMutexA(nullptr, FALSE, UpdMutexName);
        if (LogMutex == nullptr || UpdMutex == nullptr) {
            throw MutexFailure;
        }
        WriteLog("Corvane v1.10 started");
        ProcessJob = CreateProcessJob();
        if (!LoadConfig(fleet.entries, MaxServers)) {
            throw StartupFailure;
        }
        if (!StartMonitorThreads(fleet.entries, MaxServers)) {
            throw StartupFailure;
        }
        ReportStatus(SERVICE_RUNNING);
        WaitForStopRequest(fleet);
    } catch (int failure) {
        code = failure;
    }

    ReportStatus(SERVICE_STOP_PENDING);
    StopFleet(fleet);
    WriteLog("Corvane v1.10 stopped\n");
    if (LogMutex != nullptr) {
        CloseHandle(LogMutex);
        LogMutex = nullptr;
    }
    if (UpdMutex != nullptr) {
        CloseHandle(UpdMutex);
        UpdMutex = nullptr;
    }
    if (ProcessJob != nullptr) {
        CloseHandle(ProcessJob);
        ProcessJob = CreateProcessJob();
    }
    if (code != RequestedStop) {
        ServiceStatus.dwWin32ExitCode = static_cast<DWORD>(code) | ServiceSpecificBit;
    }
    ServiceStatus.dwServiceSpecificExitCode = static_cast<DWORD>(code);
    ReportStatus(SERVICE_STOPPED);
}
