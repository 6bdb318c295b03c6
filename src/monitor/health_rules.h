// The monitor's decisions apart from asking Windows: the health verdicts and
// the pacing of its loop.
#pragma once

#include <stdint.h>

// Verdicts of one health check.
enum Verdict : uint32_t { Healthy = 0, OverMemory = 1, Unresponsive = 2, Exited = 3 };

// Consecutive unanswered queries after which a server counts as hung.
constexpr uint32_t SilentChecksLimit = 4;

// Applies one query result (-1 local failure, 0 no reply, 1 reply) to the
// silence count; true when the server has now been silent for too many checks.
// A local failure clears the count like a reply: it says nothing of the server.
bool NoteQueryResult(int queryResult, uint32_t& silentChecks);

// The address a server's Host is queried at: a server bound to "0.0.0.0" (all
// interfaces) is reached at 127.0.0.1, as that cannot be a destination.
const char* QueryAddress(const char* host);

// MonitorDelay in seconds: text that is no number gives 0. False, with 0, for
// a number below 0 or above 3600, which would leave the server unchecked.
bool ReadMonitorDelay(const char* text, int64_t& seconds);

// A run that ends (or is ended) within this many seconds of its launch is short.
constexpr int64_t ShortRunSeconds = 60;

// Whether a RestartBackoff is set: a number of seconds above 0. Empty, 0, a
// negative number or text that is no number leave it off.
bool BackoffOn(const char* restartBackoff);

// The pause before a server is launched again, when its last shortRuns runs in
// a row were short (a failed launch is one). Without a RestartBackoff (empty,
// 0 or no number) it is always usualDelay; with one it doubles from 10 s with
// each short run after the first, never above the key's seconds nor below
// usualDelay.
int64_t RelaunchPause(uint32_t shortRuns, int64_t usualDelay, const char* restartBackoff);

// The MaxMemory text as MiB; 0, also for text that is no number, means no limit.
uint32_t MemoryLimitMib(const char* maxMemory);

// OverMemory when the committed bytes, in whole MiB (truncated), exceed a
// limit other than 0.
Verdict JudgeMemory(uint32_t limitMib, uint64_t committedBytes);

// How long to sleep, at clock time nowMs (milliseconds), to wake at most
// lateMs after the next whole second: never less than 1 ms.
uint32_t SleepToNextSecondMs(uint64_t nowMs, uint32_t lateMs);

// Why a healthy server is ended on purpose.
enum EndReason : uint32_t {
    EndForStop,   // the service stops: no time to warn anyone
    EndForHold,   // stop_request.txt
    EndForUpdate, // an update applied while it ran
    EndForChange, // its block changed: its successor launches it again
    EndForRetire, // its block is gone
    EndForPlanned, // RestartAt or MemoryHigh: launched again as after a crash
};

// StopWait when a server has an RconPassword: empty gives the default,
// 10 s. False for a number below 1 or above 60, read as the nearest bound
// (text that is no number reads as 0, so as 1).
bool ReadStopWait(const char* text, int64_t& seconds);

// Seconds between the warning to the players and the quit.
constexpr int64_t WarningLead = 10;

// The console command that warns the players before an end for reason, or
// null when none is given: nobody plays (humans 0, or -1, not known), or the
// service stops.
const char* WarningCommand(EndReason reason, int humans);
