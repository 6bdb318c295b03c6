// corvane.prom beside corvane.exe: the servers' facts, rewritten every two
// seconds by the service thread, replaced whole so that no reader sees a part.
#pragma once

#include "support/windows_api.h"

#include <stdint.h>

struct ServerRecord;

constexpr DWORD MetricsIntervalMs = 2000;

// The writer's state, kept by the service thread between turns of its loop.
struct MetricsWriter {
    bool written = false;        // lastWriteMs holds a write
    DWORD lastWriteMs = 0;       // GetTickCount() of the last write of the new file
    bool replacePending = false; // the new file waits to be moved over corvane.prom
    bool failing = false;        // the new file could not be written, said once
    int64_t startUnix = 0;       // Unix seconds at which the service began to run
};

// Called at every turn of the service loop with GetTickCount(): writes
// corvane.prom.new and moves it over corvane.prom when due; a move that a
// reader's open file refuses is tried again at the next turn. Never waits.
// The servers stand in the file in the order of their positions in
// corvane.cfg (positions[slot]), equal ones in the order of their slots.
void WriteMetricsWhenDue(MetricsWriter& writer, ServerRecord* records, const uint32_t* positions,
                         uint32_t count, DWORD nowMs);
