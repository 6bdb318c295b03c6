// One monitor thread's state: private to the thread, passed by pointer to the
// actions of its states.
#pragma once

#include "support/windows_api.h"

#include <stdint.h>

#include "config/server_entry.h"
#include "monitor/restart_rules.h"
#include "update/app_info.h"
#include "update/output_buffer.h"

struct ServerRecord;

// The thread message by which one thread asks another to end (WM_APP + 1).
// The program's threads examine the range WM_APP to WM_APP + 0xFF.
constexpr UINT StopMessage = 0x8001;
// To the service thread: read corvane.cfg again (SERVICE_CONTROL_PARAMCHANGE).
constexpr UINT ReloadMessage = 0x8002;
// To a monitor thread whose server a reload changed or removed: end as at a
// stop, but only once an update cycle under way has ended.
constexpr UINT RetireMessage = 0x8003;
// To a monitor thread whose server a reload changed in keys it can take on
// running: lParam a copy of the new entry, which the thread frees; wParam the
// KeyGroup, ProcessKey when the running process's priority and affinity are set.
constexpr UINT RetuneMessage = 0x8004;
constexpr UINT FirstAppMessage = 0x8000;
constexpr UINT LastAppMessage = 0x80FF;

enum MonitorStateValue : uint32_t {
    LaunchServer = 0,
    WatchServer = 1,
    AcquireUpdateLock = 2,
    StartToolCheck = 3,
    AwaitToolCheck = 4,
    StartUpdate = 5,
    AwaitUpdate = 6,
    // Ended and not launched while stop_request.txt is in its game directory.
    HoldServer = 7,
    // A planned end under way: warned, asked to quit, waited for.
    EndServer = 8,
    // Ended for good by the service's stop or a retirement: nothing more runs.
    ServerEnded = 9,
};

constexpr size_t RequestPathSize = 260;
constexpr uint32_t OutputInitialCapacity = 256;

struct MonitorState {
    MonitorState(const ServerEntry& serverEntry, ServerRecord* serverRecord = nullptr)
        : entry(serverEntry), record(serverRecord) {}

    // The thread's own copy of its configuration, taken at its start: a reload
    // replaces it between two passes (RetuneMessage), while the fleet's entry
    // is the fleet's alone.
    ServerEntry entry;
    // Where the thread publishes what the metrics and alerts see; may be null.
    ServerRecord* record;
    // Held from a successful launch until both handles are closed; zero otherwise.
    PROCESS_INFORMATION server = {};
    // The update tool's run, held the same way.
    PROCESS_INFORMATION tool = {};
    // Path\GameDir\update_request.txt; empty when that would not fit, so that
    // no other file is ever taken for it.
    char requestPath[RequestPathSize] = {};
    // Path\GameDir\stop_request.txt, empty the same way.
    char holdPath[RequestPathSize] = {};
    uint32_t state = LaunchServer;
    // Seconds of the monotonic clock (Now()); the state's action waits until then.
    int64_t nextActionTime = 0;
    uint32_t silentChecks = 0;
    // When the server was last launched, and how many runs in a row were short.
    int64_t launchedAt = 0;
    uint32_t shortRuns = 0;
    // Set while the server's queries cannot even be sent: its hang detection is off.
    bool queryFailing = false;
    // MonitorDelay as seconds, read at the thread's start and at each new entry.
    int64_t monitorDelay = 0;
    // The update cycle's tries: update runs started, and starts that failed or
    // tool checks cut off; together at most MaxUpdateRuns. The tool's rounds of
    // updating itself count apart.
    uint32_t attemptCount = 0;
    uint32_t failedTries = 0;
    uint32_t toolRounds = 0;
    // The state the cycle goes on in once it holds UpdMutex again.
    uint32_t resumeState = StartToolCheck;
    // Set when update_request.txt could not be deleted: it is not taken for a
    // request again until it is gone.
    bool requestIgnored = false;
    // With UpdateWait: since when a request has waited for the server to empty.
    bool waitingForEmpty = false;
    int64_t waitingSince = 0;
    // With UpdateCheck: when the next ask for the newest build is due, and
    // whether one runs (it then has the tool record, pipe and output).
    int64_t nextBuildCheck = 0;
    bool buildCheckRuns = false;
    // Path\steamapps\appmanifest_<app id>.acf; empty when there is no build check.
    char manifestPath[RequestPathSize] = {};
    // The build the check asked for, until the cycle that installs it ends; a
    // build not installed then is asked for again no sooner than retryBuildAt.
    char requestedBuild[BuildIdSize] = {};
    int64_t retryBuildAt = 0;
    int64_t toolDeadline = 0;
    // Read end of the running tool's output pipe, or null.
    HANDLE outputPipe = nullptr;
    OutputBuffer output{OutputInitialCapacity};
    // A run's output beyond what is kept: was its marker in it, and has its
    // record in the update log been begun.
    bool markerSeen = false;
    bool recordOpened = false;
    int64_t tickDeadline = 0;
    // Set by RetireMessage; the thread ends at the first pass MayRetire allows,
    // its server ended for retireReason (an EndReason).
    bool retiring = false;
    uint32_t retireReason = 0;
    // Players less bots at the last check; -1 when not known.
    int lastHumans = -1;
    // With RconPassword: StopWait as seconds, read as monitorDelay is.
    int64_t stopWait = 0;
    // The planned end under way (EndServer): its EndReason, when the quit is
    // due, whether it was sent, and by when the server must have ended.
    uint32_t endReason = 0;
    int64_t quitAt = 0;
    bool quitSent = false;
    int64_t endDeadline = 0;
    // Planned restarts: RestartAt, MemoryHigh and RestartWindow as last read
    // (read again whenever the entry's text differs), and their values.
    char restartAtRead[RestartAtSize] = {};
    char memoryHighRead[MemoryHighSize] = {};
    char restartWindowRead[RestartWindowSize] = {};
    char maxMemoryRead[MaxMemorySize] = {}; // MemoryHigh must stay below it
    bool restartKeysRead = false;
    RestartTimes restartTimes;
    uint32_t memoryHighMib = 0;
    uint32_t restartWindow = 0; // minutes
    // Minute of the local wall clock of the last listed time taken, or at
    // which RestartAt was read.
    int64_t lastRestartTime = 0;
    // A restart due and not yet carried out: why (a PlannedReason), since
    // when, the listed time's minute of the day, and the warnings given.
    bool restartDue = false;
    uint32_t restartReason = 0;
    int64_t restartDueSince = 0;
    int32_t restartDueMinute = 0;
    uint32_t restartWarned = 0;
};
