// Update cycle states, run by the monitor loop on the monitor thread.
#include "monitor/update_cycle.h"

#include "support/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/server_entry.h"
#include "report/server_record.h"
#include "support/event_log.h"
#include "support/file_helpers.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"
#include "update/app_info.h"
#include "update/output_capture.h"
#include "update/tool_script.h"
#include "update/update_process.h"

constexpr DWORD UpdMutexWaitMs = 250;
constexpr int64_t RetryDelay = 10;
constexpr int64_t ToolCheckDeadline = 60;
constexpr int64_t UpdateRunDeadline = 1200;
constexpr int64_t CutOffRetryDelay = 120;
constexpr int64_t PauseAfterRun = 5;
constexpr uint32_t MaxUpdateRuns = 3;
// A tool that reports having updated itself this often in a row is given up on.
constexpr uint32_t MaxToolRounds = 3;
constexpr int64_t BuildCheckDeadline = 120;
// Room for an installed app's manifest; the build id stands near its start.
constexpr size_t ManifestSize = 16384;
// Bytes taken from the tool's pipe in one pass: a tool that writes without
// pause never holds the thread past its deadlines or its stop.
constexpr uint32_t DrainPassLimit = 64 * 1024;

void BeginUpdateCycle(MonitorState& monitor) {
    monitor.shortRuns = 0; // an updated server starts its count of short runs anew
    monitor.attemptCount = 0;
    monitor.failedTries = 0;
    monitor.toolRounds = 0;
    monitor.resumeState = StartToolCheck;
    monitor.state = AcquireUpdateLock;
}

bool UpdateRequested(MonitorState& monitor) {
    bool present = monitor.requestPath[0] != '\0' && FileExists(monitor.requestPath);
    monitor.requestIgnored = monitor.requestIgnored && present;
    return present && !monitor.requestIgnored;
}

static uint32_t UpdateCheckMinutes(const ServerEntry& entry) {
    long minutes = strtol(entry.UpdateCheck, nullptr, 10);
    return minutes > 0 ? static_cast<uint32_t>(minutes) : 0;
}

void PrepareBuildCheck(MonitorState& monitor) {
    const ServerEntry& entry = monitor.entry;
    char appId[sizeof entry.UpdArgs];
    AppIdOf(entry, appId, sizeof appId);
    int length = snprintf(monitor.manifestPath, sizeof monitor.manifestPath,
                          "%s\\steamapps\\appmanifest_%s.acf", entry.Path, appId);
    if (UpdateCheckMinutes(entry) == 0) {
        monitor.manifestPath[0] = '\0';
    } else if (length < 0 || static_cast<size_t>(length) >= sizeof monitor.manifestPath) {
        // A cut path would read as "no build" and ask for an update at every check.
        monitor.manifestPath[0] = '\0';
        WriteLog("\"%s\" cannot check its build: the path of its manifest is too long",
                 entry.FriendlyName);
    }
}

// Ends a tool run: its handles and the output pipe are closed and the output emptied.
static void EndToolRun(MonitorState& monitor) {
    CloseProcessHandles(monitor.tool);
    if (monitor.outputPipe != nullptr) {
        CloseHandle(monitor.outputPipe);
        monitor.outputPipe = nullptr;
    }
    monitor.output.Reset();
    monitor.markerSeen = false;
    monitor.recordOpened = false;
}

// The build id in the app's manifest under Path; "none" without one.
static void ReadInstalledBuild(const MonitorState& monitor, char* build) {
    static char manifest[ManifestSize]; // one monitor thread at a time asks, under UpdMutex
    FILE* file = fopen(monitor.manifestPath, "rb");
    size_t length = file != nullptr ? fread(manifest, 1, sizeof manifest - 1, file) : 0;
    manifest[length] = '\0';
    if (file != nullptr) {
        fclose(file);
    }
    if (!FindInstalledBuild(manifest, build, BuildIdSize)) {
        CopyBounded(build, BuildIdSize, "none");
    }
}

// A build the check asked for that the cycle did not install is asked for
// again only UpdateCheck minutes later: a build the tool cannot get must not
// end the server again and again.
static void NoteRequestedBuild(MonitorState& monitor, int64_t launchAt) {
    const ServerEntry& entry = monitor.entry;
    char installed[BuildIdSize];
    if (monitor.requestedBuild[0] != '\0' && monitor.manifestPath[0] != '\0') {
        ReadInstalledBuild(monitor, installed);
        PublishBuilds(monitor.record, installed, nullptr);
        if (strcmp(installed, monitor.requestedBuild) != 0) {
            uint32_t minutes = UpdateCheckMinutes(entry);
            WriteLog("[Update] Build %s for \"%s\" was not installed, asked again in %u minutes",
                     monitor.requestedBuild, entry.FriendlyName, minutes);
            monitor.retryBuildAt = launchAt + 60 * static_cast<int64_t>(minutes);
        }
    }
    monitor.requestedBuild[0] = '\0';
}

// Ends the cycle: the request is answered, the next update may run, and the
// server is launched with whatever installation it has. A request file that
// cannot be deleted is said once and then ignored until it is gone, so that
// it does not start the same cycle at every end.
static void EndCycle(MonitorState& monitor, int64_t launchAt) {
    if (monitor.requestPath[0] != '\0' && !DeleteFileA(monitor.requestPath)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            WriteLog("\"%s\" cannot delete its update_request.txt (error %lu): it is ignored "
                     "until it is removed",
                     monitor.entry.FriendlyName, error);
            monitor.requestIgnored = true;
        }
    }
    NoteRequestedBuild(monitor, launchAt);
    ReleaseMutex(UpdMutex);
    monitor.state = LaunchServer;
    monitor.nextActionTime = launchAt;
}

static bool TriesLeft(const MonitorState& monitor) {
    return monitor.attemptCount + monitor.failedTries < MaxUpdateRuns;
}

// After a failed try the mutex is free for other servers' cycles during the
// wait; this cycle goes on in resume once it holds the mutex again.
static void Retry(MonitorState& monitor, int64_t now, int64_t delay, uint32_t resume) {
    ReleaseMutex(UpdMutex);
    monitor.resumeState = resume;
    monitor.state = AcquireUpdateLock;
    monitor.nextActionTime = now + delay;
}

static void GiveUp(MonitorState& monitor, int64_t now) {
    if (monitor.failedTries == 0) {
        WriteLog("[Update] Ran %u times without reliable result for \"%s\"", monitor.attemptCount,
                 monitor.entry.FriendlyName);
    } else {
        WriteLog("[Update] Gave up on \"%s\" after %u tries", monitor.entry.FriendlyName,
                 monitor.attemptCount + monitor.failedTries);
    }
    PublishUpdateEnd(monitor.record, UpdateGaveUp);
    EndCycle(monitor, now + RetryDelay);
}

static void AcquireUpdateLockAction(MonitorState& monitor, int64_t now) {
    // An abandoned mutex is ours as well; counting it as not taken would leave
    // it held by this thread for ever.
    DWORD result = WaitForSingleObject(UpdMutex, UpdMutexWaitMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        monitor.state = monitor.resumeState;
        return;
    }
    monitor.nextActionTime = now + RetryDelay;
}

static void StartToolRun(MonitorState& monitor, int64_t now, bool toolCheck) {
    const ServerEntry& entry = monitor.entry;
    if (!CreateUpdateProcess(entry, monitor.tool, monitor.outputPipe,
                             toolCheck ? ToolCheck : UpdateRun)) {
        monitor.tool = {};
        monitor.outputPipe = nullptr;
        ++monitor.failedTries;
        if (!TriesLeft(monitor)) {
            GiveUp(monitor, now);
            return;
        }
        WriteLog("[Update] CreateUpdateProcess failed for \"%s\", retry in 10s",
                 entry.FriendlyName);
        Retry(monitor, now, RetryDelay, monitor.state);
        return;
    }
    if (toolCheck) {
        WriteLog("[Update] Tool version check for \"%s\"", entry.FriendlyName);
        monitor.toolDeadline = now + ToolCheckDeadline;
        monitor.state = AwaitToolCheck;
    } else {
        WriteLog("[Update] Launched for \"%s\"", entry.FriendlyName);
        monitor.toolDeadline = now + UpdateRunDeadline;
        ++monitor.attemptCount;
        monitor.state = AwaitUpdate;
    }
}

// Writes what was collected of the run to the update log, opening its record
// with the first part and closing it with the last.
static void LogOutput(MonitorState& monitor, uint32_t length, bool last) {
    WriteUpdateLog(monitor.entry, monitor.output.Text(), length, !monitor.recordOpened, last);
    monitor.recordOpened = true;
}

// Keeps what the cycle holds of a run's output within OutputKeepLimit: past
// it, the whole lines collected so far are scanned for the run's marker, go
// to the update log when the run's output is logged, and are let go.
static void KeepOutputBounded(MonitorState& monitor, const char* marker, bool logged) {
    if (monitor.output.Length() <= OutputKeepLimit) {
        return;
    }
    char* text = monitor.output.Text();
    uint32_t whole = WholeLinesLength(text, monitor.output.Length());
    char saved = text[whole];
    text[whole] = '\0';
    monitor.markerSeen = monitor.markerSeen || (marker != nullptr && OutputHasMarker(text, marker));
    text[whole] = saved;
    if (logged) {
        LogOutput(monitor, whole, false);
    }
    monitor.output.Consume(whole);
}

// Collects what the tool wrote, a bounded amount per pass; true once it has
// exited. Output written just before the exit is collected by a second drain
// after the exit was seen.
static bool CollectToolOutput(MonitorState& monitor, const char* marker, bool logged) {
    DrainPipe(monitor.outputPipe, monitor.output, DrainPassLimit);
    KeepOutputBounded(monitor, marker, logged);
    if (!ProcessExited(monitor.tool.hProcess)) {
        return false;
    }
    DrainPipe(monitor.outputPipe, monitor.output, DrainPassLimit);
    KeepOutputBounded(monitor, marker, logged);
    return true;
}

// True when the run's marker stood in its output, kept or let go.
static bool MarkerFound(MonitorState& monitor, const char* marker) {
    return monitor.markerSeen || OutputHasMarker(monitor.output.Text(), marker);
}

// Cuts off a run that passed its deadline; it is tried again in 120 s, if at all.
static void CutOffToolRun(MonitorState& monitor, int64_t now, uint32_t retryState) {
    TerminateProcess(monitor.tool.hProcess, 1);
    CloseProcessHandles(monitor.tool);
    monitor.failedTries += retryState == StartToolCheck ? 1 : 0;
    bool retry = TriesLeft(monitor);
    if (retry) {
        WriteLog("[Update] Timed out, retry in 120s for \"%s\"", monitor.entry.FriendlyName);
    }
    if (retryState == StartUpdate) {
        LogOutput(monitor, monitor.output.Length(), true);
    }
    EndToolRun(monitor);
    retry ? Retry(monitor, now, CutOffRetryDelay, retryState) : GiveUp(monitor, now);
}

static void AwaitToolCheckAction(MonitorState& monitor, int64_t now) {
    const char* marker = "Downloading update";
    if (!CollectToolOutput(monitor, marker, false)) {
        if (now >= monitor.toolDeadline) {
            CutOffToolRun(monitor, now, StartToolCheck);
        }
        return;
    }
    bool updatedItself = MarkerFound(monitor, marker);
    EndToolRun(monitor);
    if (updatedItself) {
        WriteLog("[Update] Tool has been updated for \"%s\"", monitor.entry.FriendlyName);
        if (++monitor.toolRounds >= MaxToolRounds) {
            WriteLog("[Update] Gave up on \"%s\": the tool keeps updating itself",
                     monitor.entry.FriendlyName);
            PublishUpdateEnd(monitor.record, UpdateGaveUp);
            EndCycle(monitor, now + RetryDelay);
            return;
        }
        monitor.state = StartToolCheck;
    } else {
        WriteLog("[Update] Tool is up to date for \"%s\"", monitor.entry.FriendlyName);
        monitor.state = StartUpdate;
    }
    monitor.nextActionTime = now + PauseAfterRun;
}

static void AwaitUpdateAction(MonitorState& monitor, int64_t now) {
    const char* marker = "Success!";
    if (!CollectToolOutput(monitor, marker, true)) {
        if (now >= monitor.toolDeadline) {
            CutOffToolRun(monitor, now, StartUpdate);
        }
        return;
    }
    LogOutput(monitor, monitor.output.Length(), true);
    bool succeeded = MarkerFound(monitor, marker);
    EndToolRun(monitor);
    if (succeeded) {
        WriteLog("[Update] Completed successfully for \"%s\"", monitor.entry.FriendlyName);
        PublishUpdateEnd(monitor.record, UpdateSucceeded);
        EndCycle(monitor, now + PauseAfterRun);
        return;
    }
    if (!TriesLeft(monitor)) {
        GiveUp(monitor, now);
        return;
    }
    WriteLog("[Update] Result unreliable, retry in 10s for \"%s\"", monitor.entry.FriendlyName);
    Retry(monitor, now, RetryDelay, StartUpdate);
}

// Judges the ask's output: a newest build that differs from the installed
// one becomes an update request; an output without one is said once.
static void JudgeBuildCheck(MonitorState& monitor, uint32_t minutes) {
    const ServerEntry& entry = monitor.entry;
    char appId[sizeof entry.UpdArgs];
    AppIdOf(entry, appId, sizeof appId);
    char newest[BuildIdSize];
    char installed[BuildIdSize];
    if (!FindPublicBuild(monitor.output.Text(), appId, newest, sizeof newest)) {
        WriteLog("[Update] Build check for \"%s\" found no build, again in %u minutes",
                 entry.FriendlyName, minutes);
        return;
    }
    ReadInstalledBuild(monitor, installed);
    PublishBuilds(monitor.record, installed, newest);
    FILE* request = strcmp(newest, installed) != 0 ? fopen(monitor.requestPath, "w") : nullptr;
    if (request != nullptr) {
        fclose(request);
        CopyBounded(monitor.requestedBuild, sizeof monitor.requestedBuild, newest);
        WriteLog("\"%s\" has build %s, the newest is %s: update requested", entry.FriendlyName,
                 installed, newest);
    }
}

void RunBuildCheck(MonitorState& monitor, int64_t now) {
    const ServerEntry& entry = monitor.entry;
    uint32_t minutes = UpdateCheckMinutes(entry);
    if (monitor.manifestPath[0] == '\0' || monitor.requestPath[0] == '\0') {
        return;
    }
    if (monitor.buildCheckRuns) {
        bool exited = monitor.state == WatchServer && CollectToolOutput(monitor, nullptr, true);
        if (!exited && monitor.state == WatchServer && now < monitor.toolDeadline) {
            return;
        }
        if (!exited) {
            TerminateProcess(monitor.tool.hProcess, 1);
        }
        if (monitor.state == WatchServer) { // an ask dropped at the server's end says nothing
            LogOutput(monitor, monitor.output.Length(), true);
            if (exited) {
                JudgeBuildCheck(monitor, minutes);
            } else {
                WriteLog("[Update] Build check for \"%s\" timed out, again in %u minutes",
                         entry.FriendlyName, minutes);
            }
        }
        EndToolRun(monitor);
        ReleaseMutex(UpdMutex);
        monitor.buildCheckRuns = false;
        monitor.nextBuildCheck = now + 60 * minutes;
        return;
    }
    if (monitor.state != WatchServer || now < monitor.nextBuildCheck || UpdateRequested(monitor)) {
        return;
    }
    DWORD taken = WaitForSingleObject(UpdMutex, 0); // else at the next pass
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
        return;
    }
    if (!CreateUpdateProcess(entry, monitor.tool, monitor.outputPipe, AppInfoRun)) {
        monitor.tool = {};
        monitor.outputPipe = nullptr;
        ReleaseMutex(UpdMutex);
        WriteLog("[Update] CreateUpdateProcess failed for \"%s\", build check again in %u minutes",
                 entry.FriendlyName, minutes);
        monitor.nextBuildCheck = now + 60 * minutes;
        return;
    }
    monitor.buildCheckRuns = true;
    monitor.toolDeadline = now + BuildCheckDeadline;
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
