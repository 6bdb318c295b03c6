// Health check: asks Windows one thing at a time and applies the rule to it.
#include "monitor/health_check.h"

#include "config/server_entry.h"
#include "monitor/server_query.h"
#include "support/file_helpers.h"
#include "support/memory_query.h"

Verdict CheckServer(const ServerEntry& entry, const PROCESS_INFORMATION& process,
                    uint32_t& silentChecks, QueryFacts& facts) {
    facts = QueryFacts();
    if (ProcessExited(process.hProcess)) {
        return Exited;
    }
    int result = QueryServer(QueryAddress(entry.Host), entry.Port, QueryTimeoutMs, &facts.error,
                             &facts.humans);
    if (NoteQueryResult(result, silentChecks)) {
        return Unresponsive;
    }
    uint32_t limitMib = MemoryLimitMib(entry.MaxMemory);
    if (limitMib == 0) {
        return Healthy;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (QueryProcessMemory == nullptr ||
        !QueryProcessMemory(process.hProcess, &counters, sizeof counters)) {
        return Healthy;
    }
    return JudgeMemory(limitMib, counters.PagefileUsage);
}
