// What a reload of the configuration changes: the servers of the running
// fleet and those of the file read again, matched by their block's name.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"

enum ServerChange { ServerUnchanged, ServerChanged, ServerAdded, ServerRemoved };

// One server's fate. oldIndex is its place in the old list, newIndex in the
// new one; the side it is missing from holds NoServerIndex. A changed
// server's group is the strongest of the keys that changed.
struct ServerDiff {
    ServerChange change;
    uint32_t oldIndex;
    uint32_t newIndex;
    KeyGroup group;
};

constexpr uint32_t NoServerIndex = 0xFFFFFFFF;

// Pure: compares two lists of entries (no null among them) by BlockName, case
// mattering as in the file. A server in both is unchanged when every
// configuration field is equal, changed otherwise. Writes one diff per old
// server in old order, then one per added server in new order, into out
// (room for oldCount + newCount), and returns how many it wrote.
uint32_t DiffServers(const ServerEntry* const* oldServers, uint32_t oldCount,
                     const ServerEntry* const* newServers, uint32_t newCount, ServerDiff* out);

// Pure: whether two servers would run in one folder (Path, letter case aside)
// or on one port (Port read as a number), and so may not run at once.
bool SharePathOrPort(const ServerEntry& first, const ServerEntry& second);
