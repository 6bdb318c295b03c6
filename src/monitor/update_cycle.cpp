// Update cycle states, run by the monitor loop on the monitor thread.
#include "monitor/update_cycle.h"

#include "support/windows_api.h"

#include "config/server_entry.h"
#include "support/event_log.h"
#include "support/file_helpers.h"
#include "support/shared_mutexes.h"
#include "update/output_capture.h"
#include "update/update_process.h"

constexpr DWORD UpdMutexWaitMs = 250;
constexpr int64_t RetryDelay = 10;
constexpr int64_t ToolCheckDeadline = 60;
constexpr int64_t UpdateRunDeadline = 1200;
constexpr int64_t CutOffRetryDelay = 120;
constexpr int64_t PauseAfterRun = 5;
constexpr uint32_t MaxUpdateRuns = 3;

// Ends a tool run: its handles and the output pipe are closed and the output emptied.
static void EndToolRun(MonitorState& monitor) {
    CloseProcessHandles(monitor.tool);
    if (monitor.outputPipe != nullptr) {
        CloseHandle(monitor.outputPipe);
        monitor.outputPipe = nullptr;
    }
    monitor.output.Reset();
}

// Ends the cycle: the request is answered and the next update may run.
static void EndCycle(MonitorState& monitor) {
    if (monitor.requestPath[0] != '\0') {
        DeleteFileA(monitor.requestPath);
    }
    ReleaseMutex(UpdMutex);
    monitor.state = LaunchServer;
}

static void AcquireUpdateLockAction(MonitorState& monitor, int64_t now) {
    // An abandoned mutex is ours as well; counting it as not taken would leave
    // it held by this thread for ever.
    DWORD result = WaitForSingleObject(UpdMutex, UpdMutexWaitMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        monitor.attemptCount = 0;
        monitor.state = StartToolCheck;
        return;
    }
    monitor.nextActionTime = now + RetryDelay;
}

static void StartToolRun(MonitorState& monitor, int64_t now, bool toolCheck) {
    const ServerEntry& entry = monitor.entry;
    if (!CreateUpdateProcess(entry, monitor.tool, monitor.outputPipe, toolCheck)) {
        monitor.tool = {};
        monitor.outputPipe = nullptr;
        WriteLog("[Update] CreateUpdateProcess failed for \"%s\", retry in 10s", entry.FriendlyName);
        monitor.nextActionTime = now + RetryDelay;
        return;
    }
    if (toolCheck) {
        WriteLog("[Update] Tool version check");
        monitor.toolDeadline = now + ToolCheckDeadline;
        monitor.state = AwaitToolCheck;
    } else {
        WriteLog("[Update] Launched for \"%s\"", entry.FriendlyName);
        monitor.toolDeadline = now + UpdateRunDeadline;
        ++monitor.attemptCount;
        monitor.state = AwaitUpdate;
    }
}

// Collects what the tool wrote; true once it has exited. Output written just
// before the exit is collected by a second drain after the exit was seen.
static bool CollectToolOutput(MonitorState& monitor) {
    DrainPipe(monitor.outputPipe, monitor.output);
    if (!ProcessExited(monitor.tool.hProcess)) {
        return false;
    }
    DrainPipe(monitor.outputPipe, monitor.output);
    return true;
}

// Cuts off a run that passed its deadline and schedules it again in 120 s.
static void CutOffToolRun(MonitorState& monitor, int64_t now, uint32_t retryState) {
    TerminateProcess(monitor.tool.hProcess, 1);
    CloseProcessHandles(monitor.tool);
    WriteLog("[Update] Timed out, retry in 120s");
    if (retryState == StartUpdate) {
        WriteUpdateLog(monitor.entry, monitor.output.Text());
    }
    EndToolRun(monitor);
    monitor.state = retryState;
    monitor.nextActionTime = now + CutOffRetryDelay;
}

static void AwaitToolCheckAction(MonitorState& monitor, int64_t now) {
    if (!CollectToolOutput(monitor)) {
        if (now >= monitor.toolDeadline) {
            CutOffToolRun(monitor, now, StartToolCheck);
        }
        return;
    }
    bool updatedItself = OutputHasMarker(monitor.output.Text(), "Downloading update");
    EndToolRun(monitor);
    if (updatedItself) {
        WriteLog("[Update] Tool has been updated");
        monitor.state = StartToolCheck;
    } else {
        WriteLog("[Update] Tool is up to date");
        monitor.state = StartUpdate;
    }
    monitor.nextActionTime = now + PauseAfterRun;
}

static void AwaitUpdateAction(MonitorState& monitor, int64_t now) {
    if (!CollectToolOutput(monitor)) {
        if (now >= monitor.toolDeadline) {
            CutOffToolRun(monitor, now, StartUpdate);
        }
        return;
    }
    WriteUpdateLog(monitor.entry, monitor.output.Text());
    bool succeeded = OutputHasMarker(monitor.output.Text(), "Success!");
    EndToolRun(monitor);
    if (succeeded) {
        WriteLog("[Update] Completed successfully");
        EndCycle(monitor);
        monitor.nextActionTime = now + PauseAfterRun;
    } else if (monitor.attemptCount < MaxUpdateRuns) {
        WriteLog("[Update] Result unreliable, retry in 10s");
        monitor.state = StartUpdate;
        monitor.nextActionTime = now + RetryDelay;
    } else {
        WriteLog("[Update] Ran %u times without reliable result", monitor.attemptCount);
        EndCycle(monitor);
        monitor.nextActionTime = now + RetryDelay;
    }
}

void RunUpdateAction(MonitorState& monitor, int64_t now) {
    switch (monitor.state) {
    case AcquireUpdateLock:
        AcquireUpdateLockAction(monitor, now);
        break;
    case StartToolCheck:
        StartToolRun(monitor, now, true);
        break;
    case AwaitToolCheck:
        AwaitToolCheckAction(monitor, now);
        break;
    case StartUpdate:
        StartToolRun(monitor, now, false);
        break;
    case AwaitUpdate:
        AwaitUpdateAction(monitor, now);
        break;
    default:
        break;
    }
}
