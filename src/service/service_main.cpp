// Service main and control handler.
#include "service/service_main.h"

#include <time.h>

#include "config/config_parser.h"
#include "config/server_entry.h"
#include "monitor/health_rules.h"
#include "monitor/monitor_state.h"
#include "protocol/rcon_client.h"
#include "report/alert_sender.h"
#include "report/metrics_file.h"
#include "report/server_record.h"
#include "service/command_line.h"
#include "service/config_check.h"
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
// While servers are asked to quit, the stop's progress is reported each
// second; the manager may take a service for hung when a hint passes without.
constexpr DWORD StopWaitHintMs = 5000;
// Asked for at the system's shutdown beyond the longest StopWait.
constexpr DWORD ShutdownMarginMs = 10000;

static void ReportStatus(DWORD state) {
    ServiceStatus.dwCurrentState = state;
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ||
        control == SERVICE_CONTROL_PRESHUTDOWN) {
        PostThreadMessageA(ServiceThreadId, StopMessage, 0, 0);
    } else if (control == SERVICE_CONTROL_PARAMCHANGE) {
        PostThreadMessageA(ServiceThreadId, ReloadMessage, 0, 0);
    }
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

static void ReportStopProgress() {
    ++ServiceStatus.dwCheckPoint;
    ServiceStatus.dwWaitHint = StopWaitHintMs;
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

// The longest StopWait of a server with an RconPassword, in seconds; 0 when
// no server has one.
static int64_t LongestStopWait(ServerEntry* const* servers) {
    int64_t longest = 0;
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        int64_t seconds = 0;
        if (servers[slot] != nullptr && servers[slot]->RconPassword[0] != '\0') {
            ReadStopWait(servers[slot]->StopWait, seconds);
            longest = seconds > longest ? seconds : longest;
        }
    }
    return longest;
}

// Asks Windows to give the service timeMs at the system's shutdown, which it
// then announces by SERVICE_CONTROL_PRESHUTDOWN; false where Windows has no
// such notice (before Vista) or refuses.
static bool AskForShutdownTime(DWORD timeMs) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, ServiceName, SERVICE_CHANGE_CONFIG) : nullptr;
    DWORD info = timeMs; // SERVICE_PRESHUTDOWN_INFO, declared for Vista on: this one field
    bool asked = service != nullptr &&
                 ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return asked;
}

// With a server that has an RconPassword, the preshutdown notice is accepted
// and Windows is asked for the longest StopWait and a margin; at the start and
// after every reload, which may have changed both.
static void AskForStopTime(const MonitorFleet& fleet) {
    int64_t stopWait = LongestStopWait(fleet.entries);
    bool asked = stopWait > 0 && AskForShutdownTime(static_cast<DWORD>(stopWait) * 1000 +
                                                    RconTimeoutMs + ShutdownMarginMs);
    ServiceStatus.dwControlsAccepted =
        asked ? ServiceStatus.dwControlsAccepted | SERVICE_ACCEPT_PRESHUTDOWN
              : ServiceStatus.dwControlsAccepted & ~SERVICE_ACCEPT_PRESHUTDOWN;
}

// Tends the fleet between looks at the queue, a reload included: no thread is
// waited for here, so a stop is taken at once whatever the fleet is doing.
// Each turn also writes corvane.prom when it is due.
static void WaitForStopRequest(MonitorFleet& fleet) {
    MetricsWriter metrics;
    metrics.startUnix = static_cast<int64_t>(time(nullptr));
    for (;;) {
        WriteMetricsWhenDue(metrics, fleet.records, fleet.positions, FleetSlots, GetTickCount());
        MSG message;
        bool reloadRequested = false;
        while (PeekMessageA(&message, nullptr, FirstAppMessage, LastAppMessage, PM_REMOVE)) {
            if (message.message == StopMessage) {
                throw RequestedStop;
            }
            reloadRequested = reloadRequested || message.message == ReloadMessage;
        }
        if (TendFleet(fleet, reloadRequested)) {
            AskForStopTime(fleet);
            SetServiceStatus(StatusHandle, &ServiceStatus);
        }
        Sleep(StopPollMs);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    MonitorFleet fleet;
    // Each slot's published facts, from its first server to the service's end.
    static ServerRecord records[FleetSlots];
    OpenServerRecords(records, FleetSlots);
    fleet.records = records;
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
        WriteConfigFindings(CheckConfigValues(fleet.entries, MaxServers), false);
        AskForStopTime(fleet);
        for (uint32_t slot = 0; slot < MaxServers; ++slot) {
            fleet.positions[slot] = slot;
            if (fleet.entries[slot] != nullptr) {
                fleet.entries[slot]->Record = &records[slot];
            }
        }
        if (!StartMonitorThreads(fleet.entries, MaxServers)) {
            throw StartupFailure;
        }
        StartAlertSender(fleet.entries, records, FleetSlots);
        ReportStatus(SERVICE_RUNNING);
        WaitForStopRequest(fleet);
    } catch (int failure) {
        code = failure;
    }

    ServiceStatus.dwWaitHint = StopWaitHintMs;
    ReportStatus(SERVICE_STOP_PENDING);
    AskAlertSenderToEnd(); // a post in flight has the monitors' stop to end in
    StopFleet(fleet, ReportStopProgress);
    ReportStopProgress();
    if (StopAlertSender()) { // a second at most; a thread left running still reads them
        CloseServerRecords(records, FleetSlots);
    }
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
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    ReportStatus(SERVICE_STOPPED);
}
