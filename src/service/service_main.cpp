// Service main and control handler.
#include "service/service_main.h"

#include "config/config_parser.h"
#include "config/server_entry.h"
#include "monitor/monitor_state.h"
#include "report/alert_sender.h"
#include "report/metrics_file.h"
#include "report/server_record.h"
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
    }
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

// Each turn also writes corvane.prom when it is due.
static void WaitForStopRequest(ServerRecord* records) {
    MetricsWriter metrics;
    for (;;) {
        WriteMetricsWhenDue(metrics, records, MaxServers, GetTickCount());
        MSG message;
        if (PeekMessageA(&message, nullptr, FirstAppMessage, LastAppMessage, PM_REMOVE) &&
            message.message == StopMessage) {
            throw RequestedStop;
        }
        Sleep(StopPollMs);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    ServerEntry* servers[MaxServers] = {};
    // Each slot's published facts, from its first server to the service's end.
    static ServerRecord records[MaxServers];
    OpenServerRecords(records, MaxServers);
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
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
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
        if (!LoadConfig(servers, MaxServers)) {
            throw StartupFailure;
        }
        for (uint32_t slot = 0; slot < MaxServers; ++slot) {
            if (servers[slot] != nullptr) {
                servers[slot]->Record = &records[slot];
            }
        }
        if (!StartMonitorThreads(servers, MaxServers)) {
            throw StartupFailure;
        }
        StartAlertSender(servers, records, MaxServers);
        ReportStatus(SERVICE_RUNNING);
        WaitForStopRequest(records);
    } catch (int failure) {
        code = failure;
    }

    ReportStatus(SERVICE_STOP_PENDING);
    StopMonitorThreads(servers, MaxServers);
    StopAlertSender(); // after the monitors: records are no longer written
    CloseServerRecords(records, MaxServers);
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
