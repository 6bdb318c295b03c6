// The update cycle: the five update states of a monitor thread. It takes the
// fleet-wide update mutex, lets the tool update itself, runs the update script
// until the output reports success, and always ends in LaunchServer with the
// mutex released. It ends after three tries (runs, failed starts, cut-off
// checks) or three rounds of the tool updating itself, and holds the mutex
// only while it works, not while it waits to try again.
#pragma once

#include <stdint.h>

#include "monitor/monitor_state.h"

// The most of a run's output the cycle holds: past it, whole lines go on to
// the update log and the judgement, and are let go.
constexpr uint32_t OutputKeepLimit = 1 << 20;

// Enters the cycle at AcquireUpdateLock with no tries made.
void BeginUpdateCycle(MonitorState& monitor);

// Whether update_request.txt asks for an update: present, and not the file
// that could not be deleted at the end of the last cycle.
bool UpdateRequested(MonitorState& monitor);

// At the thread's start, with UpdateCheck: the path of the app's manifest,
// which the build check reads. One line, and no build check, when it does
// not fit.
void PrepareBuildCheck(MonitorState& monitor);

// With UpdateCheck, in every pass: while the server runs, asks the tool every
// that many minutes for the app's newest public build and writes the update
// request when it differs from the installed one. The ask takes UpdMutex, is
// cut off after 120 s, and is dropped when the server ends meanwhile.
void RunBuildCheck(MonitorState& monitor, int64_t now);

// Runs the action of the monitor's update state (AcquireUpdateLock to
// AwaitUpdate) at time now; other states are left alone.
void RunUpdateAction(MonitorState& monitor, int64_t now);
