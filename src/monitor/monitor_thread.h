// The thread that supervises one configured server: launches it, checks it
// every five seconds, relaunches it after a bad verdict, runs its update
// cycles, and terminates what it started when asked to stop.
#pragma once

#include "support/windows_api.h"

#include <stdint.h>

#include "monitor/monitor_state.h"
#include "report/server_facts.h"

// The thread start routine; its parameter is a heap copy of the server's
// ServerEntry (DuplicateServerEntry), which the thread takes and frees at its
// start. Always ends with exit code 0.
DWORD WINAPI MonitorThread(LPVOID serverEntry);

// True when a StopMessage was waiting in the calling thread's queue. A
// RetireMessage sets the monitor's retiring, with its EndReason in wParam
// (EndForChange or EndForRetire); a RetuneMessage's entry is taken and freed;
// other messages of the program's range are taken and dropped; the rest stay.
bool StopRequested(MonitorState& monitor);

// Whether a retiring thread may end now: not while its update cycle has begun
// (it holds UpdMutex, or waits between tries) nor while a build check holds
// the mutex. Waiting for the mutex before the first try is no cycle yet.
bool MayRetire(const MonitorState& monitor);

// The thread's start: the request path, and whether the server must be
// updated (or installed) before its first launch.
void StartMonitor(MonitorState& monitor);

// A reload's new values for the running server, taken between two passes:
// what the thread reads once from its entry is read again (a value out of
// range logged again), and with ProcessKey the held server's priority class
// and processor mask are set.
void TakeNewEntry(MonitorState& monitor, const ServerEntry& fresh, KeyGroup group);

// The state the metrics show at time now: a launch put off after short runs
// (RestartBackoff) is Pausing.
ServerStatus StatusOf(const MonitorState& monitor, int64_t now);

// Runs the action of the current state at time now.
void RunStateAction(MonitorState& monitor, int64_t now);

// One pass of the loop at time now and localSeconds of the local wall clock
// (LocalClockNow): ends the server and holds it while its stop_request.txt is
// there (unless a tool run is under way), launches it when the file has gone,
// takes the listed times of RestartAt, and otherwise runs the state's action
// when due; between checks it looks whether the watched server has ended.
void RunPass(MonitorState& monitor, int64_t now, int64_t localSeconds);

void LaunchServerAction(MonitorState& monitor, int64_t now);
void WatchServerAction(MonitorState& monitor, int64_t now);

// Terminates the held server and tool run (exit code 0) and closes every
// handle still held. Does not wait for the processes to end.
void StopMonitor(MonitorState& monitor);
