// Health check: asks Windows one thing at a time and applies the rule to it.
#include "monitor/health_check.h"

#include "config/server_entry.h"
#include "protocol/server_query.h"
#include "support/file_helpers.h"
#include "support/memory_query.h"

Verdict CheckServer(const ServerEntry& entry, const PROCESS_INFORMATION& process,
                    uint32_t& silentChecks, QueryFacts& facts) {
    facts = QueryFacts();
    if (ProcessExited(process.hProcess)) {
        return Exited;
    }
    PlayerCount count;
    int result =
        QueryServer(QueryAddress(entry.Host), entry.Port, QueryTimeoutMs, &facts.error, &count);
    facts.players = count.players;
    facts.bots = count.bots;
    facts.humans = count.players < 0            ? -1
                   : count.players > count.bots ? count.players - count.bots
                                                : 0;
    if (NoteQueryResult(result, silentChecks)) {
        return Unresponsive;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (QueryProcessMemory == nullptr ||
        !QueryProcessMemory(process.hProcess, &counters, sizeof counters)) {
        return Healthy;
    }
    facts.committedBytes = static_cast<int64_t>(counters.PagefileUsage);
    return JudgeMemory(MemoryLimitMib(entry.MaxMemory), counters.PagefileUsage);
}
