// Silence counting and the memory limit of the health check.
#include "monitor/health_rules.h"

#include <algorithm>
#include <stdlib.h>
#include <string.h>

constexpr long long LongestMonitorDelay = 3600;
constexpr long long DefaultStopWait = 10;
constexpr long long ShortestStopWait = 1;
constexpr long long LongestStopWait = 60;

bool NoteQueryResult(int queryResult, uint32_t& silentChecks) {
    if (queryResult != 0) {
        silentChecks = 0;
        return false;
    }
    ++silentChecks;
    return silentChecks >= SilentChecksLimit;
}

const char* QueryAddress(const char* host) {
    return strcmp(host, "0.0.0.0") == 0 ? "127.0.0.1" : host;
}

bool ReadMonitorDelay(const char* text, int64_t& seconds) {
    long long value = strtoll(text, nullptr, 10);
    bool inRange = value >= 0 && value <= LongestMonitorDelay;
    seconds = inRange ? value : 0;
    return inRange;
}

bool BackoffOn(const char* restartBackoff) { return strtoll(restartBackoff, nullptr, 10) > 0; }

int64_t RelaunchPause(uint32_t shortRuns, int64_t usualDelay, const char* restartBackoff) {
    long long longest = strtoll(restartBackoff, nullptr, 10);
    if (!BackoffOn(restartBackoff) || shortRuns <= 1) {
        return usualDelay;
    }
    int64_t pause =
        shortRuns - 2 >= 32 ? longest : std::min<int64_t>(longest, 10LL << (shortRuns - 2));
    return std::max(usualDelay, pause);
}

uint32_t MemoryLimitMib(const char* maxMemory) {
    return static_cast<uint32_t>(strtoul(maxMemory, nullptr, 10));
}

Verdict JudgeMemory(uint32_t limitMib, uint64_t committedBytes) {
    if (limitMib == 0) {
        return Healthy;
    }
    return (committedBytes >> 20) > limitMib ? OverMemory : Healthy;
}

uint32_t SleepToNextSecondMs(uint64_t nowMs, uint32_t lateMs) {
    uint32_t toNextSecond = 1000 - static_cast<uint32_t>(nowMs % 1000);
    uint32_t sleepMs = toNextSecond + lateMs / 2;
    return sleepMs == 0 ? 1 : sleepMs;
}

bool ReadStopWait(const char* text, int64_t& seconds) {
    long long value = text[0] == '\0' ? DefaultStopWait : strtoll(text, nullptr, 10);
    seconds = std::min(std::max(value, ShortestStopWait), LongestStopWait);
    return seconds == value;
}

const char* WarningCommand(EndReason reason, int humans) {
    if (humans <= 0) {
        return nullptr;
    }
    switch (reason) {
    case EndForHold:
    case EndForRetire:
        return "say This server shuts down in 10 seconds.";
    case EndForUpdate:
        return "say This server restarts for an update in 10 seconds.";
    case EndForChange:
    case EndForPlanned:
        return "say This server restarts in 10 seconds.";
    default:
        return nullptr;
    }
}
