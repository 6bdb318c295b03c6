// Server entry: copies a block's keys into the fixed-width fields.
#include "config/server_entry.h"

#include <stdlib.h>

#include "support/event_log.h"
#include "support/text_helpers.h"

ServerEntry* ReadServerKeys(const KeyTable& keys) {
    ServerEntry* entry = static_cast<ServerEntry*>(calloc(1, sizeof(ServerEntry)));
    if (entry == nullptr) {
        const char* name = keys.Get("FriendlyName");
        WriteLog("Out of memory for server \"%s\"", name != nullptr ? name : "");
        return nullptr;
    }
    struct Field {
        const char* key;
        char* text;
        uint32_t size;
        bool optional = false;
    };
    const Field fields[] = {
        {"FriendlyName", entry->FriendlyName, sizeof entry->FriendlyName},
        {"Path", entry->Path, sizeof entry->Path},
        {"GameDir", entry->GameDir, sizeof entry->GameDir},
        {"Host", entry->Host, sizeof entry->Host},
        {"Port", entry->Port, sizeof entry->Port},
        {"MaxPlayers", entry->MaxPlayers, sizeof entry->MaxPlayers},
        {"MapName", entry->MapName, sizeof entry->MapName},
        {"MiscArgs", entry->MiscArgs, sizeof entry->MiscArgs},
        {"Priority", entry->Priority, sizeof entry->Priority},
        {"Affinity", entry->Affinity, sizeof entry->Affinity},
        {"MaxMemory", entry->MaxMemory, sizeof entry->MaxMemory},
        {"MonitorDelay", entry->MonitorDelay, sizeof entry->MonitorDelay},
        {"UpdPath", entry->UpdPath, sizeof entry->UpdPath},
        {"UpdArgs", entry->UpdArgs, sizeof entry->UpdArgs},
        {"RestartBackoff", entry->RestartBackoff, sizeof entry->RestartBackoff, true},
        {"UpdateWait", entry->UpdateWait, sizeof entry->UpdateWait, true},
        {"UpdateCheck", entry->UpdateCheck, sizeof entry->UpdateCheck, true},
        {"AlertUrl", entry->AlertUrl, sizeof entry->AlertUrl, true},
    };
    try {
        for (const Field& field : fields) {
            const char* value = keys.Get(field.key);
            if (value == nullptr && !field.optional) {
                throw field.key;
            }
            CopyBounded(field.text, field.size, value != nullptr ? value : "");
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
