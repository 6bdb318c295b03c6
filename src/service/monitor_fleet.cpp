// The monitor fleet: one thread per server, stopped and retired by thread messages.
#include "service/monitor_fleet.h"

#include "support/windows_api.h"

#include "config/config_parser.h"
#include "config/server_diff.h"
#include "monitor/health_rules.h"
#include "monitor/monitor_state.h"
#include "report/alert_sender.h"
#include "report/server_record.h"
#include "service/config_check.h"
#include "service/service_platform.h"
#include "support/event_log.h"

constexpr DWORD StopProgressMs = 1000;

// Starts the entry's thread; on failure logs it and returns false, the entry
// left to its caller. The thread is given a copy of the entry, its own to
// free: no entry of the fleet is ever read by a monitor thread.
static bool StartMonitorThread(ServerEntry*& slot) {
    DWORD threadId = 0;
    ServerEntry* copy = DuplicateServerEntry(*slot);
    HANDLE thread = copy != nullptr ? CreateMonitorThread(copy, &threadId) : nullptr;
    slot->ThreadId = threadId;
    slot->ThreadHandle = thread;
    if (thread == nullptr) {
        FreeServerEntry(copy);
        WriteLog("Failed to create monitor thread for \"%s\"", slot->FriendlyName);
        return false;
    }
    return true;
}

// The same for a thread started in a slot of the running fleet: it publishes
// into that slot's record.
static bool StartMonitorThread(ServerEntry*& entry, MonitorFleet& fleet, uint32_t slot) {
    entry->Record = fleet.records != nullptr ? &fleet.records[slot] : nullptr;
    return StartMonitorThread(entry);
}

bool StartMonitorThreads(ServerEntry** table, uint32_t slotCount) {
    uint32_t started = 0;
    for (uint32_t slot = 0; slot < slotCount; ++slot) {
        if (table[slot] == nullptr) {
            continue;
        }
        if (!StartMonitorThread(table[slot])) {
            return false;
        }
        ++started;
    }
    if (started == 0) {
        WriteLog("No servers defined");
        return false;
    }
    return true;
}

// A thread message reaches only a thread that has looked at its queue once; a
// monitor thread does so first thing, so a post that finds no queue yet is
// repeated until it is taken (true) or the thread has ended (false).
static bool PostToMonitor(const ServerEntry& entry, UINT message, WPARAM reason = 0,
                          LPARAM payload = 0) {
    while (!PostThreadMessageA(entry.ThreadId, message, reason, payload)) {
        if (WaitForSingleObject(entry.ThreadHandle, 1) != WAIT_TIMEOUT) {
            return false;
        }
    }
    return true;
}

void StopMonitorThreads(ServerEntry** table, uint32_t slotCount, void (*stillWaiting)()) {
    HANDLE threads[FleetSlots];
    DWORD threadCount = 0;
    for (uint32_t slot = 0; slot < slotCount; ++slot) {
        ServerEntry* entry = table[slot];
        if (entry != nullptr && entry->ThreadHandle != nullptr && threadCount < FleetSlots) {
            PostToMonitor(*entry, StopMessage);
            threads[threadCount++] = entry->ThreadHandle;
        }
    }
    // A thread whose server was asked to quit may take up to its StopWait.
    while (threadCount != 0 &&
           WaitForMultipleObjects(threadCount, threads, TRUE, StopProgressMs) == WAIT_TIMEOUT) {
        if (stillWaiting != nullptr) {
            stillWaiting();
        }
    }
    for (uint32_t slot = 0; slot < slotCount; ++slot) {
        ServerEntry* entry = table[slot];
        if (entry == nullptr) {
            continue;
        }
        if (entry->ThreadHandle != nullptr) {
            CloseHandle(entry->ThreadHandle);
        }
        FreeServerEntry(entry);
        table[slot] = nullptr;
    }
}

void StopFleet(MonitorFleet& fleet, void (*stillWaiting)()) {
    StopMonitorThreads(fleet.entries, FleetSlots, stillWaiting);
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        FreeServerEntry(fleet.successors[slot]);
        fleet.successors[slot] = nullptr;
        fleet.retiring[slot] = false;
        fleet.waiting[slot] = false;
    }
}

// The ending server, other than the slot's own, that shares a Path or Port
// with entry; null when none does.
static const ServerEntry* EndingBeside(const MonitorFleet& fleet, const ServerEntry& entry,
                                       uint32_t slot) {
    for (uint32_t other = 0; other < FleetSlots; ++other) {
        if (other != slot && fleet.retiring[other] &&
            SharePathOrPort(*fleet.entries[other], entry)) {
            return fleet.entries[other];
        }
    }
    return nullptr;
}

// Starts the threads of the waiting servers that no ending server is in the way
// of; returns how many got no thread and were dropped.
static uint32_t StartWaiting(MonitorFleet& fleet) {
    uint32_t dropped = 0;
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        ServerEntry*& entry = fleet.entries[slot];
        if (!fleet.waiting[slot] || EndingBeside(fleet, *entry, slot) != nullptr) {
            continue;
        }
        fleet.waiting[slot] = false;
        if (!StartMonitorThread(entry, fleet, slot)) {
            FreeServerEntry(entry);
            entry = nullptr;
            ++dropped;
        }
    }
    return dropped;
}

// The thread ends its server the planned way for reason (EndForChange or
// EndForRetire), once any update cycle under way has ended.
static void Retire(MonitorFleet& fleet, uint32_t slot, EndReason reason) {
    PostToMonitor(*fleet.entries[slot], RetireMessage, reason);
    fleet.retiring[slot] = true;
}

// The running server takes its new entry without an end: the thread gets a
// copy, the fleet keeps fresh in the slot. False, with nothing changed, when
// there is no memory for the copy.
static bool Retune(MonitorFleet& fleet, uint32_t slot, ServerEntry* fresh, KeyGroup group) {
    ServerEntry*& entry = fleet.entries[slot];
    ServerEntry* copy = DuplicateServerEntry(*fresh);
    if (copy == nullptr) {
        return false;
    }
    if (group == ProcessKey) {
        WriteLog("\"%s\" has a new priority or affinity, set on its process without a restart",
                 entry->FriendlyName);
    } else {
        WriteLog("\"%s\" has a new configuration, taken on without a restart", entry->FriendlyName);
    }
    fresh->ThreadId = entry->ThreadId;
    fresh->ThreadHandle = entry->ThreadHandle;
    fresh->Record = entry->Record;
    if (!PostToMonitor(*entry, RetuneMessage, group, reinterpret_cast<LPARAM>(copy))) {
        FreeServerEntry(copy);
    }
    FreeServerEntry(entry);
    entry = fresh;
    return true;
}

// Reads corvane.cfg into a table of its own; on any error the fleet runs on as it is.
static void Reload(MonitorFleet& fleet) {
    ServerEntry* fresh[MaxServers] = {};
    bool loaded = LoadConfig(fresh, MaxServers);
    uint32_t freshCount = 0;
    while (freshCount < MaxServers && fresh[freshCount] != nullptr) {
        ++freshCount;
    }
    if (loaded && freshCount == 0) {
        WriteLog("No servers defined");
        loaded = false;
    }
    if (!loaded) {
        WriteLog("Config file not reloaded: every server runs on as it was");
        for (ServerEntry* entry : fresh) {
            FreeServerEntry(entry);
        }
        return;
    }
    WriteConfigFindings(CheckConfigValues(fresh, MaxServers), false);
    const ServerEntry* running[FleetSlots];
    uint32_t runningSlot[FleetSlots];
    uint32_t runningCount = 0;
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        if (fleet.entries[slot] != nullptr) {
            runningSlot[runningCount] = slot;
            running[runningCount++] = fleet.entries[slot];
        }
    }
    ServerDiff diffs[FleetSlots + MaxServers];
    uint32_t diffCount = DiffServers(running, runningCount, fresh, freshCount, diffs);
    unsigned counts[4] = {};
    for (uint32_t i = 0; i < diffCount; ++i) {
        const ServerDiff& diff = diffs[i];
        uint32_t slot = diff.oldIndex != NoServerIndex ? runningSlot[diff.oldIndex] : 0;
        ++counts[diff.change];
        if (diff.oldIndex != NoServerIndex && diff.newIndex != NoServerIndex) {
            fleet.positions[slot] = diff.newIndex;
        }
        switch (diff.change) {
        case ServerUnchanged:
            FreeServerEntry(fresh[diff.newIndex]);
            break;
        case ServerChanged:
            if (diff.group != LaunchKey && Retune(fleet, slot, fresh[diff.newIndex], diff.group)) {
                break;
            }
            WriteLog("\"%s\" has a new configuration and is launched anew",
                     fleet.entries[slot]->FriendlyName);
            fleet.successors[slot] = fresh[diff.newIndex];
            Retire(fleet, slot, EndForChange);
            break;
        case ServerRemoved:
            WriteLog("\"%s\" was removed from corvane.cfg and is ended",
                     fleet.entries[slot]->FriendlyName);
            Retire(fleet, slot, EndForRetire);
            break;
        case ServerAdded:
            // A free slot is always there: at most MaxServers run when a reload begins.
            while (fleet.entries[slot] != nullptr) {
                ++slot;
            }
            WriteLog("\"%s\" was added to corvane.cfg", fresh[diff.newIndex]->FriendlyName);
            fleet.entries[slot] = fresh[diff.newIndex];
            fleet.positions[slot] = diff.newIndex;
            fleet.waiting[slot] = true;
            break;
        }
    }
    // A renamed server, or one moved to another's folder or port, never runs beside it.
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        const ServerEntry* next =
            fleet.waiting[slot] ? fleet.entries[slot] : fleet.successors[slot];
        const ServerEntry* ending = next != nullptr ? EndingBeside(fleet, *next, slot) : nullptr;
        if (ending != nullptr) {
            WriteLog("\"%s\" starts once \"%s\" has ended, as they share a Path or Port",
                     next->FriendlyName, ending->FriendlyName);
        }
    }
    // A server that gets no thread is dropped, as its line says: a later reload adds it again.
    counts[ServerAdded] -= StartWaiting(fleet);
    WriteLog("Config file reloaded: %u unchanged, %u added, %u changed, %u removed",
             counts[ServerUnchanged], counts[ServerAdded], counts[ServerChanged],
             counts[ServerRemoved]);
}

bool TendFleet(MonitorFleet& fleet, bool reloadRequested) {
    fleet.reloadPending = fleet.reloadPending || reloadRequested;
    unsigned ending = 0;
    for (uint32_t slot = 0; slot < FleetSlots; ++slot) {
        ServerEntry*& entry = fleet.entries[slot];
        if (!fleet.retiring[slot]) {
            continue;
        }
        if (WaitForSingleObject(entry->ThreadHandle, 0) == WAIT_TIMEOUT) {
            ++ending;
            continue;
        }
        CloseHandle(entry->ThreadHandle);
        FreeServerEntry(entry);
        fleet.retiring[slot] = false;
        entry = fleet.successors[slot];
        fleet.successors[slot] = nullptr;
        fleet.waiting[slot] = entry != nullptr;
    }
    StartWaiting(fleet);
    if (reloadRequested && ending != 0) {
        WriteLog("Config file reload waits for the servers still ending (%u)", ending);
    }
    if (fleet.reloadPending && ending == 0) {
        fleet.reloadPending = false;
        Reload(fleet);
        StartAlertSender(fleet.entries, fleet.records,
                         FleetSlots); // a server may have gained AlertUrl
        return true;
    }
    return false;
}
