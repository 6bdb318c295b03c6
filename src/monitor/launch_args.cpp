// Builds a game server's path and command line and picks its priority class
// and processor mask.
#include "monitor/launch_args.h"

#include <stdio.h>
#include <stdlib.h>

#include "config/server_entry.h"
#include "support/text_helpers.h"

bool BuildApplicationPath(char* buffer, size_t size, const ServerEntry& entry) {
    int length = snprintf(buffer, size, "%s\\%s", entry.Path, "srcds.exe");
    return length >= 0 && static_cast<size_t>(length) < size;
}

bool BuildServerCommandLine(char* buffer, size_t size, const ServerEntry& entry) {
    int length = snprintf(
        buffer, size, "arg0 -console -game %s -ip %s -port %s -maxplayers %s +map %s %s",
        entry.GameDir, entry.Host, entry.Port, entry.MaxPlayers, entry.MapName, entry.MiscArgs);
    return length >= 0 && static_cast<size_t>(length) < size;
}

uint32_t ChoosePriorityClass(const char* priority) {
    struct PriorityName {
        const char* name;
        uint32_t priorityClass;
    };
    // The values of IDLE_, BELOW_NORMAL_, ABOVE_NORMAL_, HIGH_ and REALTIME_PRIORITY_CLASS.
    static const PriorityName names[] = {
        {"Low", 0x40},  {"BelowNormal", 0x4000}, {"AboveNormal", 0x8000},
        {"High", 0x80}, {"Realtime", 0x100},
    };
    for (const PriorityName& candidate : names) {
        if (StringsEqual(priority, candidate.name, false)) {
            return candidate.priorityClass;
        }
    }
    return 0x20; // NORMAL_PRIORITY_CLASS
}

uint64_t ChooseAffinityMask(const char* affinity, uint64_t systemMask) {
    return static_cast<uint64_t>(strtoul(affinity, nullptr, 16)) & systemMask;
}
