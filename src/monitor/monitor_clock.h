// The monitor loop's clock and pacing: whole seconds of a monotonic clock,
// the wait for the next second, and the delays between a loop's actions.
#pragma once

#include <stdint.h>

// Seconds from a server's end to its next launch or update cycle.
constexpr int64_t RelaunchDelay = 5;
// Seconds between two health checks of a healthy server.
constexpr int64_t WatchInterval = 5;
// Seconds before a failed launch is tried again.
constexpr int64_t LaunchRetryDelay = 10;

// Whole seconds of a monotonic clock: the time of every next action and
// deadline, unmoved when the system time is set. Log stamps keep local time.
int64_t Now();

// Returns once Now() has reached tickDeadline, sleeping to shortly after each
// change of its seconds count, then sets it one second past the current time.
void WaitNextTick(int64_t& tickDeadline);

// The local wall clock now, in seconds as LocalClockSeconds counts them: the
// time of day of the machine's time zone, which a clock change moves.
int64_t LocalClockNow();
