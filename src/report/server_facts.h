// What the metrics file and the alerts see of one server: the facts its
// monitor thread publishes, as a plain record that can be copied whole.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"
#include "update/app_info.h"

// The server's state as an administrator names it.
enum ServerStatus : uint32_t {
    Launching,
    Running,
    WaitingForEmpty,
    Updating,
    Held,
    Pausing,    // a launch put off because the server keeps failing
    RestartDue, // a planned restart waits for the server to empty
    ServerStatusCount
};

// Why a server was started again; the first three follow the check's verdicts.
enum RestartReason : uint32_t {
    ExitRestart,
    UnresponsiveRestart,
    MemoryRestart,
    FailedLaunchRestart,
    RestartReasonCount
};

// Why a planned restart was due: RestartAt's hour or MemoryHigh.
enum PlannedReason : uint32_t { HourPlanned, MemoryPlanned, PlannedReasonCount };

enum UpdateResult : uint32_t { UpdateSucceeded, UpdateGaveUp, UpdateResultCount };

// A block name in UTF-8: each byte of the ANSI code page takes at most three.
constexpr uint32_t NameUtf8Size = 3 * (FriendlyNameSize - 1) + 1;

// Counters count since the service started; the alert thread reads their
// growth as events.
struct ServerFacts {
    bool inUse;                  // a monitor thread runs for the server
    bool removed;                // it ended because its block was removed
    char name[FriendlyNameSize]; // its block name, ANSI as in the log
    char nameUtf8[NameUtf8Size]; // the same for the metrics and alert texts
    char alertUrl[AlertUrlSize]; // empty: no alerts
    uint32_t status;             // ServerStatus
    uint32_t restarts[RestartReasonCount];
    uint32_t updateCycles[UpdateResultCount];
    uint32_t crashLoops; // launches put off because the server keeps failing
    uint32_t lastPause;  // seconds of the latest one
    uint32_t holdsTaken;
    uint32_t holdsReleased;
    uint32_t queryLosses;  // times its queries could no longer be sent
    uint32_t queryReturns; // and could again
    int players;           // of the last answer; -1: not known
    int bots;
    int64_t committedBytes;           // at the last check; -1: not known
    int64_t lastLaunch;               // Unix seconds; 0: never launched
    int64_t stateSince;               // Unix seconds at which status began
    int64_t memoryLimitBytes;         // MaxMemory; 0: no limit
    uint32_t plannedRestarts[PlannedReasonCount]; // carried out
    int64_t nextPlannedRestart;                   // Unix seconds; 0: none planned
    char installedBuild[BuildIdSize]; // with UpdateCheck; empty: not known
    char newestBuild[BuildIdSize];
};
