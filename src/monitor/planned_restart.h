// Planned restarts of a running server, at set hours of the local clock
// (RestartAt) and when its committed memory runs high (MemoryHigh): due, then
// carried out at the first check that finds it empty, or when RestartWindow
// minutes have passed, as a planned end followed by the usual launch.
#pragma once

#include <stdint.h>

#include "monitor/health_check.h"
#include "monitor/monitor_state.h"

// In every pass, at time now and localSeconds of the local wall clock
// (LocalClockSeconds): reads the three keys again when their text changed (a
// bad value is one line and leaves its key off), and takes a listed time that
// has come: due while the server runs; otherwise let go, as the server's
// next launch is that restart. Publishes the next listed time.
void WatchRestartTimes(MonitorState& monitor, int64_t now, int64_t localSeconds);

// At a healthy check with its facts: memory above MemoryHigh makes a restart
// due; a due restart ends the server when nobody plays (humans 0; -1, not
// known, is not empty) or its window has run out, and until then warns the
// players over the remote console 5 and 1 minutes before.
void TakeDueRestart(MonitorState& monitor, int64_t now, const QueryFacts& facts);
