// Monitor thread: the loop, its pacing and stop check, the two server states
// and the stop sequence.
#include "monitor/monitor_thread.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>

#include "config/server_entry.h"
#include "monitor/health_check.h"
#include "monitor/health_rules.h"
#include "monitor/launch_args.h"
#include "monitor/monitor_clock.h"
#include "monitor/planned_end.h"
#include "monitor/planned_restart.h"
#include "monitor/server_launch.h"
#include "monitor/update_cycle.h"
#include "report/server_record.h"
#include "support/event_log.h"
#include "support/file_helpers.h"

bool StopRequested(MonitorState& monitor) {
    MSG message;
    while (PeekMessageA(&message, nullptr, FirstAppMessage, LastAppMessage, PM_REMOVE)) {
        if (message.message == StopMessage) {
            return true;
        }
        if (message.message == RetireMessage) {
            monitor.retiring = true;
            monitor.retireReason = static_cast<uint32_t>(message.wParam);
        }
        if (message.message == RetuneMessage) {
            ServerEntry* fresh = reinterpret_cast<ServerEntry*>(message.lParam);
            TakeNewEntry(monitor, *fresh, static_cast<KeyGroup>(message.wParam));
            FreeServerEntry(fresh);
        }
    }
    return false;
}

// MaxMemory in bytes as the metrics show it; 0 for no limit.
static int64_t MemoryLimitBytes(const ServerEntry& entry) {
    return static_cast<int64_t>(MemoryLimitMib(entry.MaxMemory)) << 20;
}

// The values the thread derives from its entry: at its start and at each new entry.
static void ReadEntryValues(MonitorState& monitor) {
    const ServerEntry& entry = monitor.entry;
    if (!ReadMonitorDelay(entry.MonitorDelay, monitor.monitorDelay)) {
        WriteLog("\"%s\" has MonitorDelay \"%s\" out of range (0 to 3600), read as 0",
                 entry.FriendlyName, entry.MonitorDelay);
    }
    if (entry.RconPassword[0] != '\0' && !ReadStopWait(entry.StopWait, monitor.stopWait)) {
        WriteLog("\"%s\" has StopWait \"%s\" out of range (1 to 60), read as %u",
                 entry.FriendlyName, entry.StopWait, static_cast<unsigned>(monitor.stopWait));
    }
    if (monitor.requestPath[0] != '\0') { // a cut path has no build check
        PrepareBuildCheck(monitor);
    }
}

void TakeNewEntry(MonitorState& monitor, const ServerEntry& fresh, KeyGroup group) {
    monitor.entry = fresh;
    ReadEntryValues(monitor);
    monitor.waitingForEmpty = monitor.waitingForEmpty && fresh.UpdateWait[0] != '\0';
    if (group == ProcessKey && monitor.server.hProcess != nullptr) {
        SetProcessSettings(fresh, monitor.server.hProcess);
    }
    PublishEntryValues(monitor.record, fresh.AlertUrl, MemoryLimitBytes(fresh));
}

bool MayRetire(const MonitorState& monitor) {
    bool toolStates = monitor.state > AcquireUpdateLock && monitor.state <= AwaitUpdate;
    if (monitor.buildCheckRuns || toolStates) {
        return false;
    }
    return monitor.state != AcquireUpdateLock || (monitor.resumeState == StartToolCheck &&
                                                  monitor.attemptCount + monitor.failedTries == 0);
}

// Windows refuses to terminate a process that has already ended, Wine
// reports success; asking first keeps a process that ended by itself from
// being logged as terminated on either.
static bool TerminateRunning(HANDLE process, UINT exitCode) {
    return process != nullptr && !ProcessExited(process) && TerminateProcess(process, exitCode);
}

// True when Path\srcds.exe is there to be launched.
static bool Installed(const ServerEntry& entry) {
    char applicationPath[ApplicationPathSize];
    return BuildApplicationPath(applicationPath, sizeof applicationPath, entry) &&
           FileExists(applicationPath);
}

// A server without srcds.exe is installed by an update cycle.
static void Install(MonitorState& monitor) {
    WriteLog("\"%s\" has no srcds.exe, an update installs it", monitor.entry.FriendlyName);
    BeginUpdateCycle(monitor);
}

void StartMonitor(MonitorState& monitor) {
    const ServerEntry& entry = monitor.entry;
    int length = snprintf(monitor.requestPath, sizeof monitor.requestPath, "%s\\%s\\%s", entry.Path,
                          entry.GameDir, "update_request.txt");
    snprintf(monitor.holdPath, sizeof monitor.holdPath, "%s\\%s\\%s", entry.Path, entry.GameDir,
             "stop_request.txt"); // no longer than the request path
    if (length < 0 || static_cast<size_t>(length) >= sizeof monitor.requestPath) {
        // Never test or delete a cut path: such a server is refused at launch.
        monitor.requestPath[0] = '\0';
        monitor.holdPath[0] = '\0';
    }
    ReadEntryValues(monitor);
    if (monitor.requestPath[0] == '\0') {
        monitor.state = LaunchServer;
    } else if (UpdateRequested(monitor)) {
        BeginUpdateCycle(monitor);
    } else if (!Installed(entry)) {
        Install(monitor);
    } else {
        monitor.state = LaunchServer;
    }
}

void LaunchServerAction(MonitorState& monitor, int64_t now) {
    const ServerEntry& entry = monitor.entry;
    char applicationPath[ApplicationPathSize];
    if (monitor.requestPath[0] == '\0' ||
        !BuildApplicationPath(applicationPath, sizeof applicationPath, entry)) {
        WriteLog("\"%s\" cannot be launched: its path is too long, retry in 10s",
                 entry.FriendlyName);
        monitor.nextActionTime = now + LaunchRetryDelay;
        return;
    }
    if (CreateServerProcess(entry, monitor.server)) {
        WriteLog("\"%s\" launched successfully", entry.FriendlyName);
        PublishLaunch(monitor.record);
        monitor.state = WatchServer;
        monitor.launchedAt = now;
        // Nothing of the last run is held against this one.
        monitor.silentChecks = 0;
        monitor.waitingForEmpty = false;
        monitor.lastHumans = -1;
        monitor.restartDue = false; // this launch is the restart a time or memory asked for
        monitor.nextActionTime = now + monitor.monitorDelay;
        // The first ask for a newer build, with UpdateCheck; later for a build not installed.
        monitor.nextBuildCheck = std::max(now + 60, monitor.retryBuildAt);
        return;
    }
    // A server that cannot start because it is not installed, or asks for an
    // update, goes to the update cycle, no sooner than the launch is retried.
    monitor.server = {};
    if (!FileExists(applicationPath)) { // also after an update that said it installed it
        WriteLog("\"%s\" could not be launched: no srcds.exe, an update installs it",
                 entry.FriendlyName);
        PublishRestart(monitor.record, FailedLaunchRestart);
        BeginUpdateCycle(monitor);
        monitor.nextActionTime = now + LaunchRetryDelay;
    } else if (UpdateRequested(monitor)) {
        WriteLog("\"%s\" requested an update", entry.FriendlyName);
        BeginUpdateCycle(monitor);
        monitor.nextActionTime = now + RelaunchDelay;
    } else {
        int64_t pause = RelaunchPause(++monitor.shortRuns, LaunchRetryDelay, entry.RestartBackoff);
        WriteLog("CreateServerProcess failed for \"%s\", retry in %us", entry.FriendlyName,
                 static_cast<unsigned>(pause));
        PublishRestart(monitor.record, FailedLaunchRestart);
        monitor.nextActionTime = now + pause;
    }
}

// One line when a server's queries cannot even be sent (its hang detection is
// then off), and one when they can again; none per check.
static void NoteQueryError(MonitorState& monitor, int queryError) {
    const ServerEntry& entry = monitor.entry;
    if (queryError < 0 || (queryError != 0) == monitor.queryFailing) {
        return;
    }
    monitor.queryFailing = queryError != 0;
    PublishQueryFailing(monitor.record, monitor.queryFailing);
    if (monitor.queryFailing) {
        WriteLog("\"%s\" cannot be queried at %s:%s (error %d), its hang detection is off",
                 entry.FriendlyName, QueryAddress(entry.Host), entry.Port, queryError);
    } else {
        WriteLog("\"%s\" can be queried again, its hang detection is on", entry.FriendlyName);
    }
}

// With UpdateWait, at a healthy server's checks: a request is applied once
// nobody plays on the server (humans 0; -1, not known, is not empty), or once
// it has waited that many minutes, whichever is first.
static void WaitForEmptyServer(MonitorState& monitor, int64_t now, int humans) {
    const ServerEntry& entry = monitor.entry;
    if (!UpdateRequested(monitor)) {
        monitor.waitingForEmpty = false;
        return;
    }
    if (!monitor.waitingForEmpty) {
        monitor.waitingForEmpty = true;
        monitor.waitingSince = now;
    }
    long minutes = std::max(0L, strtol(entry.UpdateWait, nullptr, 10));
    if (humans == 0) {
        WriteLog("\"%s\" is empty and has been terminated for its update", entry.FriendlyName);
        BeginPlannedEnd(monitor, now, EndForUpdate);
    } else if (now - monitor.waitingSince >= 60 * static_cast<int64_t>(minutes)) {
        WriteLog("\"%s\" waited %u minutes for an empty server and has been terminated for its "
                 "update",
                 entry.FriendlyName, static_cast<unsigned>(minutes));
        BeginPlannedEnd(monitor, now, EndForUpdate);
    } else if (monitor.waitingSince == now) {
        WriteLog("\"%s\" has an update waiting for an empty server", entry.FriendlyName);
    }
}

// A bad verdict at time now: the server is terminated and launched again (or
// updated first) RelaunchDelay later, or later still after short runs.
static void RestartServer(MonitorState& monitor, int64_t now, Verdict verdict) {
    const ServerEntry& entry = monitor.entry;
    // Also for Exited, where it finds the process already gone; nothing waits for the end.
    TerminateProcess(monitor.server.hProcess, 1);
    switch (verdict) {
    case OverMemory:
        WriteLog("\"%s\" exceeded memory limit and has been terminated", entry.FriendlyName);
        break;
    case Unresponsive:
        WriteLog("\"%s\" was unresponsive and has been terminated", entry.FriendlyName);
        break;
    default:
        WriteLog("\"%s\" has terminated", entry.FriendlyName);
        break;
    }
    PublishRestart(monitor.record, verdict == OverMemory     ? MemoryRestart
                                   : verdict == Unresponsive ? UnresponsiveRestart
                                                             : ExitRestart);
    CloseProcessHandles(monitor.server);
    monitor.silentChecks = 0;
    monitor.shortRuns = now - monitor.launchedAt < ShortRunSeconds ? monitor.shortRuns + 1 : 0;
    monitor.nextActionTime = now + RelaunchDelay;
    if (UpdateRequested(monitor)) {
        WriteLog("\"%s\" requested an update", entry.FriendlyName);
        BeginUpdateCycle(monitor); // no pause for a failing server here
        return;
    }
    monitor.state = LaunchServer;
    int64_t pause = RelaunchPause(monitor.shortRuns, RelaunchDelay, entry.RestartBackoff);
    if (pause > RelaunchDelay) {
        WriteLog("\"%s\" keeps failing, next launch in %us", entry.FriendlyName,
                 static_cast<unsigned>(pause));
        PublishCrashLoop(monitor.record, pause);
        monitor.nextActionTime = now + pause;
    }
}

void WatchServerAction(MonitorState& monitor, int64_t now) {
    const ServerEntry& entry = monitor.entry;
    QueryFacts facts;
    Verdict verdict = CheckServer(entry, monitor.server, monitor.silentChecks, facts);
    NoteQueryError(monitor, facts.error);
    monitor.lastHumans = facts.humans;
    if (verdict == Healthy) {
        monitor.nextActionTime = now + WatchInterval;
        PublishCheck(monitor.record, facts.players, facts.bots, facts.committedBytes);
        TakeDueRestart(monitor, now, facts); // its end serves an update waiting too
        if (monitor.state == WatchServer && entry.UpdateWait[0] != '\0' &&
            monitor.requestPath[0] != '\0') {
            WaitForEmptyServer(monitor, now, facts.humans);
        }
        return;
    }
    RestartServer(monitor, now, verdict);
}

void RunPass(MonitorState& monitor, int64_t now, int64_t localSeconds) {
    bool held = monitor.holdPath[0] != '\0' && FileExists(monitor.holdPath);
    if (monitor.state == HoldServer && !held) {
        PublishHold(monitor.record, false);
        monitor.state = LaunchServer;
        monitor.nextActionTime = now;
        if (UpdateRequested(monitor)) { // asked for while held: updated before the launch
            WriteLog("\"%s\" requested an update", monitor.entry.FriendlyName);
            BeginUpdateCycle(monitor);
        }
    } else if (held && monitor.state <= AcquireUpdateLock) { // no tool run under way
        WriteLog("\"%s\" is held by stop_request.txt, not launched until it is removed",
                 monitor.entry.FriendlyName);
        PublishHold(monitor.record, true);
        BeginPlannedEnd(monitor, now, EndForHold);
    }
    WatchRestartTimes(monitor, now, localSeconds);
    if (monitor.state == HoldServer) {
        monitor.nextActionTime = now + 1; // looked at again in the next pass
    } else if (now >= monitor.nextActionTime) {
        RunStateAction(monitor, now);
    } else if (monitor.state == WatchServer && ProcessExited(monitor.server.hProcess)) {
        RestartServer(monitor, now, Exited); // an end between checks: seen in the pass after it
    }
    RunBuildCheck(monitor, now);
    PublishStatus(monitor.record, StatusOf(monitor, now));
}

ServerStatus StatusOf(const MonitorState& monitor, int64_t now) {
    switch (monitor.state) {
    case LaunchServer:
        return now < monitor.nextActionTime && monitor.shortRuns > 1 &&
                       RelaunchPause(monitor.shortRuns, RelaunchDelay,
                                     monitor.entry.RestartBackoff) > RelaunchDelay
                   ? Pausing
                   : Launching;
    case WatchServer:
        return monitor.waitingForEmpty ? WaitingForEmpty
               : monitor.restartDue    ? RestartDue
                                       : Running;
    case EndServer: // asked to quit: it runs until it has
    case ServerEnded:
        return Running;
    case HoldServer:
        return Held;
    default:
        return Updating;
    }
}

void RunStateAction(MonitorState& monitor, int64_t now) {
    switch (monitor.state) {
    case LaunchServer:
        LaunchServerAction(monitor, now);
        break;
    case WatchServer:
        WatchServerAction(monitor, now);
        break;
    case EndServer:
        EndServerAction(monitor, now);
        break;
    case ServerEnded:
        break;
    default:
        RunUpdateAction(monitor, now);
        break;
    }
}

void StopMonitor(MonitorState& monitor) {
    const ServerEntry& entry = monitor.entry;
    PublishStop(monitor.record, monitor.retiring && monitor.retireReason == EndForRetire);
    if (TerminateRunning(monitor.server.hProcess, 0)) {
        WriteLog("\"%s\" has been terminated", entry.FriendlyName);
    }
    if (monitor.outputPipe != nullptr) {
        CloseHandle(monitor.outputPipe);
        monitor.outputPipe = nullptr;
    }
    CloseProcessHandles(monitor.server);
    if (TerminateRunning(monitor.tool.hProcess, 0)) {
        WriteLog("[Update] Terminated for \"%s\"", entry.FriendlyName);
    }
    CloseProcessHandles(monitor.tool);
}

DWORD WINAPI MonitorThread(LPVOID serverEntry) {
    ServerEntry* given = static_cast<ServerEntry*>(serverEntry);
    MonitorState monitor(*given, given->Record);
    FreeServerEntry(given);
    PublishStart(monitor.record, monitor.entry, MemoryLimitBytes(monitor.entry));
    // The queue exists from the first look at it; make that look before anything else.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    StartMonitor(monitor);
    for (bool firstPass = true;; firstPass = false) {
        if (!firstPass) {
            WaitNextTick(monitor.tickDeadline);
        }
        if (StopRequested(monitor)) {
            EndForGood(monitor, EndForStop);
            break;
        }
        if (monitor.retiring && MayRetire(monitor)) { // players may be told, as for a hold
            EndForGood(monitor, static_cast<EndReason>(monitor.retireReason));
            break;
        }
        RunPass(monitor, Now(), LocalClockNow());
    }
    StopMonitor(monitor);
    while (PeekMessageA(&message, nullptr, RetuneMessage, RetuneMessage, PM_REMOVE)) {
        FreeServerEntry(reinterpret_cast<ServerEntry*>(message.lParam)); // never taken
    }
    return 0;
}
