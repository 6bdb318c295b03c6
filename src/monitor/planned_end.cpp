// Planned ends: the EndServer state, and the wait for it at the service's stop.
#include "monitor/planned_end.h"

#include "support/windows_api.h"

#include "config/server_entry.h"
#include "monitor/monitor_clock.h"
#include "protocol/rcon_client.h"
#include "monitor/update_cycle.h"
#include "support/event_log.h"
#include "support/file_helpers.h"

constexpr DWORD EndPollMs = 50;

// The server has ended (or been terminated): on to what the reason leads to.
static void FinishPlannedEnd(MonitorState& monitor, int64_t now) {
    CloseProcessHandles(monitor.server);
    monitor.waitingForEmpty = false;
    switch (monitor.endReason) {
    case EndForHold:
        monitor.state = HoldServer;
        break;
    case EndForUpdate:
        BeginUpdateCycle(monitor);
        monitor.nextActionTime = now + RelaunchDelay;
        break;
    case EndForPlanned: // ended as a server that ends by itself, and then updated when asked
        monitor.state = LaunchServer;
        monitor.nextActionTime = now + RelaunchDelay;
        if (UpdateRequested(monitor)) {
            WriteLog("\"%s\" requested an update", monitor.entry.FriendlyName);
            BeginUpdateCycle(monitor);
        }
        break;
    default:
        monitor.state = ServerEnded;
        break;
    }
}

static void TerminateNow(MonitorState& monitor, int64_t now) {
    TerminateProcess(monitor.server.hProcess, 0);
    FinishPlannedEnd(monitor, now);
}

// One command to the server's console. False, with its line, when it could
// not be given: the server has then been terminated. A refused password is
// never tried again within the same end.
static bool Tell(MonitorState& monitor, int64_t now, const char* command) {
    const ServerEntry& entry = monitor.entry;
    int error = 0;
    switch (SendRconCommand(QueryAddress(entry.Host), entry.Port, entry.RconPassword, command,
                            RconTimeoutMs, error)) {
    case RconSent:
        return true;
    case RconRefused:
        WriteLog("\"%s\" refused the RCON password and has been terminated", entry.FriendlyName);
        break;
    case RconGarbled:
        WriteLog("\"%s\" sent an invalid RCON packet and has been terminated", entry.FriendlyName);
        break;
    default:
        WriteLog("\"%s\" could not be reached over RCON (error %d) and has been terminated",
                 entry.FriendlyName, error);
        break;
    }
    TerminateNow(monitor, now);
    return false;
}

void BeginPlannedEnd(MonitorState& monitor, int64_t now, EndReason reason) {
    // The thread ends after these; a changed server is launched by its successor.
    bool forGood = reason == EndForStop || reason == EndForChange || reason == EndForRetire;
    if (monitor.state == EndServer) {
        if (forGood) {
            monitor.endReason = reason;
            monitor.quitAt = reason == EndForStop && !monitor.quitSent ? now : monitor.quitAt;
        }
        return;
    }
    monitor.endReason = reason;
    bool running = monitor.server.hProcess != nullptr && !ProcessExited(monitor.server.hProcess);
    if (!running || monitor.entry.RconPassword[0] == '\0') {
        if (forGood) {
            monitor.state = ServerEnded; // what still runs is StopMonitor's
        } else {
            TerminateNow(monitor, now);
        }
        return;
    }
    monitor.state = EndServer;
    monitor.quitSent = false;
    monitor.quitAt = now;
    const char* warning = WarningCommand(reason, monitor.lastHumans);
    if (warning != nullptr) {
        if (!Tell(monitor, now, warning)) {
            return;
        }
        monitor.quitAt = now + WarningLead;
    }
    EndServerAction(monitor, now);
}

void EndServerAction(MonitorState& monitor, int64_t now) {
    monitor.nextActionTime = now + 1;
    if (ProcessExited(monitor.server.hProcess)) {
        FinishPlannedEnd(monitor, now);
    } else if (!monitor.quitSent && now >= monitor.quitAt) {
        monitor.quitSent = true;
        if (Tell(monitor, now, "quit")) {
            monitor.endDeadline = now + monitor.stopWait;
        }
    } else if (monitor.quitSent && now >= monitor.endDeadline) {
        WriteLog("\"%s\" did not quit within %us and has been terminated",
                 monitor.entry.FriendlyName, static_cast<unsigned>(monitor.stopWait));
        TerminateNow(monitor, now);
    }
}

void EndForGood(MonitorState& monitor, EndReason reason) {
    BeginPlannedEnd(monitor, Now(), reason);
    while (monitor.state == EndServer) {
        // Paced to the seconds as the loop is, but an end is seen at once.
        for (int64_t second = Now();
             Now() == second &&
             WaitForSingleObject(monitor.server.hProcess, EndPollMs) == WAIT_TIMEOUT;) {
        }
        EndServerAction(monitor, Now());
    }
}
