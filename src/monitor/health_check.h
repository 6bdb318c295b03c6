// The periodic health check of one running game server.
#pragma once

#include "support/windows_api.h"

#include "monitor/health_rules.h"

struct ServerEntry;

// Milliseconds a query waits for the server's reply.
constexpr uint32_t QueryTimeoutMs = 250;

// What a check learnt from its query besides the verdict.
struct QueryFacts {
    int error = -1;   // -1: no query was made; 0: it was sent; else why it could not be
    int humans = -1;  // players less bots of a whole info reply; -1: not known
    int players = -1; // players, bots included, and bots of that reply; -1: not known
    int bots = -1;
    int64_t committedBytes = -1; // of a server found running; -1: not known
};

// In order, stopping at the first verdict: has the process ended, has the
// server now left SilentChecksLimit queries in a row unanswered, is its
// committed memory over MaxMemory (asked for also without a limit, for the
// metrics). Reads and updates silentChecks. Blocks for
// at most the query's time-out plus the host name's resolution.
Verdict CheckServer(const ServerEntry& entry, const PROCESS_INFORMATION& process,
                    uint32_t& silentChecks, QueryFacts& facts);
