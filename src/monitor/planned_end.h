// Planned ends of a healthy server: with RconPassword it is warned (when
// players are on it and time allows), asked to quit over its remote console,
// and terminated only when it has not ended StopWait seconds later. Without
// the key, or for a server not running, the end is at once.
#pragma once

#include <stdint.h>

#include "monitor/health_rules.h"
#include "monitor/monitor_state.h"

// Begins the end of the held server at time now; the caller has logged why.
// With a graceful end the state becomes EndServer, whose action goes on each
// second; otherwise the server is terminated (exit code 0) now, except for
// the ends after which the thread ends (EndForStop, EndForChange and
// EndForRetire), which leave that to StopMonitor. Once ended: EndForHold
// holds it, EndForUpdate enters the update cycle 5 s on, EndForPlanned
// launches it 5 s on (updates it first when update_request.txt is there),
// the others leave it ServerEnded. Called during an end, it only makes a quit still to come due
// at once for the service's stop, and takes that reason.
void BeginPlannedEnd(MonitorState& monitor, int64_t now, EndReason reason);

// The EndServer action at time now: sends the quit when due, sees the server
// gone, or terminates it at its deadline. Blocks for up to RconTimeoutMs
// plus the name resolution when it talks to the server.
void EndServerAction(MonitorState& monitor, int64_t now);

// Ends the server for reason and returns once it has ended: up to StopWait
// and the exchanges' time with RconPassword, at once without.
void EndForGood(MonitorState& monitor, EndReason reason);
