// Silence counting and the memory limit of the health check.
#include "monitor/health_rules.h"

#include <stdlib.h>

bool NoteQueryResult(int queryResult, uint32_t& silentChecks) {
    if (queryResult != 0) {
        silentChecks = 0;
        return false;
    }
    ++silentChecks;
    return silentChecks >= SilentChecksLimit;
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
