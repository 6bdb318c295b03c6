// A server's published facts under a lock: its monitor thread writes them,
// the service thread (metrics file) and the alert thread read copies.
#pragma once

#include "support/windows_api.h"

#include "report/server_facts.h"

// One per slot of the server table, owned by the service thread for its whole
// run, so that its counters count since the service started.
struct ServerRecord {
    CRITICAL_SECTION lock;
    ServerFacts facts;
};

// Before any thread uses them, and after the last has ended.
void OpenServerRecords(ServerRecord* records, uint32_t count);
void CloseServerRecords(ServerRecord* records, uint32_t count);

// Copies every record's facts, each under its lock.
void SnapshotRecords(ServerRecord* records, uint32_t count, ServerFacts* copies);

// The monitor thread's calls; each takes the lock for a few stores, and
// does nothing for a null record. A server that starts in a record another
// server had starts its counters anew. memoryLimitBytes: 0 for no limit.
void PublishStart(ServerRecord* record, const ServerEntry& entry, int64_t memoryLimitBytes);
// removed: the thread ends because its block left corvane.cfg.
void PublishStop(ServerRecord* record, bool removed);
// A reload gave the running server other values: the alert thread and the
// metrics take its AlertUrl and memory limit (bytes, 0 for none).
void PublishEntryValues(ServerRecord* record, const char* alertUrl, int64_t memoryLimitBytes);
// A change of status notes the wall clock's time as the state's start.
void PublishStatus(ServerRecord* record, ServerStatus status);
void PublishLaunch(ServerRecord* record); // the wall clock's time of the launch
void PublishRestart(ServerRecord* record, RestartReason reason);
void PublishCrashLoop(ServerRecord* record, int64_t pause);
// A healthy check: players and bots of its answer and committed bytes, -1 not known.
void PublishCheck(ServerRecord* record, int players, int bots, int64_t committedBytes);
void PublishQueryFailing(ServerRecord* record, bool failing);
void PublishHold(ServerRecord* record, bool taken);
void PublishPlannedRestart(ServerRecord* record, PlannedReason reason);
// The next planned restart that many seconds from the wall clock's now; below 0: none.
void PublishNextRestart(ServerRecord* record, int64_t secondsAhead);
void PublishUpdateEnd(ServerRecord* record, UpdateResult result);
// Either may be null for unchanged.
void PublishBuilds(ServerRecord* record, const char* installed, const char* newest);
