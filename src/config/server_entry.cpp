// Server entry: copies a block's keys into the fixed-width fields.
#include "config/server_entry.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "support/event_log.h"
#include "support/text_helpers.h"

// Each key names the field that holds it, so the two cannot drift apart. The
// name is the server's own in the log and the metrics: a new one relaunches.
#define CORVANE_KEY(name, optional, group)                                                         \
    { #name, offsetof(ServerEntry, name), sizeof(ServerEntry::name), optional, group }
const ServerKey ServerKeys[ServerKeyCount] = {
    CORVANE_KEY(FriendlyName, false, LaunchKey), CORVANE_KEY(Path, false, LaunchKey),
    CORVANE_KEY(GameDir, false, LaunchKey),      CORVANE_KEY(Host, false, LaunchKey),
    CORVANE_KEY(Port, false, LaunchKey),         CORVANE_KEY(MaxPlayers, false, LaunchKey),
    CORVANE_KEY(MapName, false, LaunchKey),      CORVANE_KEY(MiscArgs, false, LaunchKey),
    CORVANE_KEY(Priority, false, ProcessKey),    CORVANE_KEY(Affinity, false, ProcessKey),
    CORVANE_KEY(MaxMemory, false, LiveKey),      CORVANE_KEY(MonitorDelay, false, LiveKey),
    CORVANE_KEY(UpdPath, false, LiveKey),        CORVANE_KEY(UpdArgs, false, LiveKey),
    CORVANE_KEY(RestartBackoff, true, LiveKey),  CORVANE_KEY(UpdateWait, true, LiveKey),
    CORVANE_KEY(UpdateCheck, true, LiveKey),     CORVANE_KEY(RconPassword, true, LiveKey),
    CORVANE_KEY(StopWait, true, LiveKey),        CORVANE_KEY(AlertUrl, true, LiveKey),
    CORVANE_KEY(RestartAt, true, LiveKey),       CORVANE_KEY(MemoryHigh, true, LiveKey),
    CORVANE_KEY(RestartWindow, true, LiveKey),
};
#undef CORVANE_KEY

uint32_t FindServerKey(const char* name) {
    uint32_t index = 0;
    while (index < ServerKeyCount && strcmp(ServerKeys[index].name, name) != 0) {
        ++index;
    }
    return index;
}

ServerEntry* ReadServerKeys(const KeyTable& keys) {
    ServerEntry* entry = static_cast<ServerEntry*>(calloc(1, sizeof(ServerEntry)));
    if (entry == nullptr) {
        const char* name = keys.Get("FriendlyName");
        WriteLog("Out of memory for server \"%s\"", name != nullptr ? name : "");
        return nullptr;
    }
    try {
        for (const ServerKey& key : ServerKeys) {
            const char* value = keys.Get(key.name);
            if (value == nullptr && !key.optional) {
                throw key.name;
            }
            CopyBounded(reinterpret_cast<char*>(entry) + key.offset, key.size,
                        value != nullptr ? value : "");
        }
    } catch (const char* missingKey) {
        // FriendlyName holds as much as was read: empty if it was the missing key.
        WriteLog("Missing key \"%s\" for server \"%s\"", missingKey, entry->FriendlyName);
        free(entry);
        return nullptr;
    }
    return entry;
}

ServerEntry* DuplicateServerEntry(const ServerEntry& entry) {
    ServerEntry* copy = static_cast<ServerEntry*>(malloc(sizeof(ServerEntry)));
    if (copy != nullptr) {
        *copy = entry;
    }
    return copy;
}

void FreeServerEntry(ServerEntry* entry) { free(entry); }
