// The monitor loop's clock: the performance counter in whole seconds.
#include "monitor/monitor_clock.h"

#include "support/windows_api.h"

#include "monitor/health_rules.h"
#include "monitor/restart_rules.h"

// A pass starts this long after the seconds count has changed, at the latest.
constexpr uint32_t TickSleepMs = 20;

// Milliseconds of the performance counter: a monotonic clock that setting the
// system time does not move, in 64 bits that do not wrap.
static uint64_t ClockMilliseconds() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000 + ticks % perSecond * 1000 / perSecond;
}

int64_t Now() { return static_cast<int64_t>(ClockMilliseconds() / 1000); }

void WaitNextTick(int64_t& tickDeadline) {
    // Sleeping to just past the next change of the seconds count, rather than
    // looking every 20 ms, lets sixteen idle threads cost almost nothing.
    while (Now() < tickDeadline) {
        Sleep(SleepToNextSecondMs(ClockMilliseconds(), TickSleepMs));
    }
    tickDeadline = Now() + 1;
}

int64_t LocalClockNow() {
    SYSTEMTIME local;
    GetLocalTime(&local);
    return LocalClockSeconds(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                             local.wSecond);
}
