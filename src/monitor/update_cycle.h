// The update cycle: the five update states of a monitor thread. It takes the
// fleet-wide update mutex, lets the tool update itself, runs the update script
// until the output reports success (at most three runs that end by
// themselves), and always ends in LaunchServer with the mutex released.
#pragma once

#include <stdint.h>

#include "monitor/monitor_state.h"

// Runs the action of the monitor's update state (AcquireUpdateLock to
// AwaitUpdate) at time now; other states are left alone.
void RunUpdateAction(MonitorState& monitor, int64_t now);
