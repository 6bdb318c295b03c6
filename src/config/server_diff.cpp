// Comparing the fleet's servers with the file's, field by field.
#include "config/server_diff.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

// Every key of the block counts; the thread's id and handle are the fleet's,
// not the file's. True when a key differs, group then the strongest of those.
static bool Differs(const ServerEntry& first, const ServerEntry& second, KeyGroup& group) {
    bool differs = false;
    group = LiveKey;
    for (const ServerKey& key : ServerKeys) {
        if (strcmp(reinterpret_cast<const char*>(&first) + key.offset,
                   reinterpret_cast<const char*>(&second) + key.offset) != 0) {
            differs = true;
            group = key.group > group ? key.group : group;
        }
    }
    return differs;
}

bool SharePathOrPort(const ServerEntry& first, const ServerEntry& second) {
    return strcasecmp(first.Path, second.Path) == 0 ||
           strtoul(first.Port, nullptr, 10) == strtoul(second.Port, nullptr, 10);
}

static uint32_t FindBlock(const char* blockName, const ServerEntry* const* servers,
                          uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (strcmp(servers[i]->BlockName, blockName) == 0) {
            return i;
        }
    }
    return NoServerIndex;
}

uint32_t DiffServers(const ServerEntry* const* oldServers, uint32_t oldCount,
                     const ServerEntry* const* newServers, uint32_t newCount, ServerDiff* out) {
    uint32_t written = 0;
    for (uint32_t i = 0; i < oldCount; ++i) {
        uint32_t match = FindBlock(oldServers[i]->BlockName, newServers, newCount);
        KeyGroup group = LiveKey;
        ServerChange change = match == NoServerIndex ? ServerRemoved
                              : Differs(*oldServers[i], *newServers[match], group)
                                  ? ServerChanged
                                  : ServerUnchanged;
        out[written++] = {change, i, match, group};
    }
    for (uint32_t i = 0; i < newCount; ++i) {
        if (FindBlock(newServers[i]->BlockName, oldServers, oldCount) == NoServerIndex) {
            out[written++] = {ServerAdded, NoServerIndex, i, LiveKey};
        }
    }
    return written;
}
