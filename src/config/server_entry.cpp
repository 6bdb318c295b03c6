// Server entry: copies a block's keys into the fixed-width fields.
#include "config/server_entry.h"

#include <stddef.h>
#include <stdlib.h>

#include "support/event_log.h"
#include "support/text_helpers.h"

// Each key names the field that holds it, so the two cannot drift apart.
#define CORVANE_KEY(name, optional)                                                                \
    { #name, offsetof(ServerEntry, name), sizeof(ServerEntry::name), optional }
const ServerKey ServerKeys[] = {
    CORVANE_KEY(FriendlyName, false),  CORVANE_KEY(Path, false),
    CORVANE_KEY(GameDir, false),       CORVANE_KEY(Host, false),
    CORVANE_KEY(Port, false),          CORVANE_KEY(MaxPlayers, false),
    CORVANE_KEY(MapName, false),       CORVANE_KEY(MiscArgs, false),
    CORVANE_KEY(Priority, false),      CORVANE_KEY(Affinity, false),
    CORVANE_KEY(MaxMemory, false),     CORVANE_KEY(MonitorDelay, false),
    CORVANE_KEY(UpdPath, false),       CORVANE_KEY(UpdArgs, false),
    CORVANE_KEY(RestartBackoff, true), CORVANE_KEY(UpdateWait, true),
    CORVANE_KEY(UpdateCheck, true),    CORVANE_KEY(RconPassword, true),
    CORVANE_KEY(StopWait, true),       CORVANE_KEY(AlertUrl, true),
    CORVANE_KEY(RestartAt, true),      CORVANE_KEY(MemoryHigh, true),
    CORVANE_KEY(RestartWindow, true),
};
#undef CORVANE_KEY
const uint32_t ServerKeyCount = sizeof ServerKeys / sizeof ServerKeys[0];

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

void FreeServerEntry(ServerEntry* entry) { free(entry); }
