// Comparing the fleet's servers with the file's, field by field.
#include "config/server_diff.h"

#include <stddef.h>
#include <string.h>

// Every key of the block counts; the thread's id and handle are the fleet's,
// not the file's.
static bool SameConfiguration(const ServerEntry& first, const ServerEntry& second) {
    for (uint32_t i = 0; i < ServerKeyCount; ++i) {
        size_t offset = ServerKeys[i].offset;
        if (strcmp(reinterpret_cast<const char*>(&first) + offset,
                   reinterpret_cast<const char*>(&second) + offset) != 0) {
            return false;
        }
    }
    return true;
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
        ServerChange change = match == NoServerIndex ? ServerRemoved
                              : SameConfiguration(*oldServers[i], *newServers[match])
                                  ? ServerUnchanged
                                  : ServerChanged;
        out[written++] = {change, i, match};
    }
    for (uint32_t i = 0; i < newCount; ++i) {
        if (FindBlock(newServers[i]->BlockName, oldServers, oldCount) == NoServerIndex) {
            out[written++] = {ServerAdded, NoServerIndex, i};
        }
    }
    return written;
}
