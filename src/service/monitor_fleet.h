// The monitor fleet: one thread per configured server, started and stopped by
// thread messages, and changed by a reload of corvane.cfg while it runs.
#pragma once

#include <stdint.h>

#include "config/server_entry.h"

struct ServerRecord;

// Owned by the service thread, which alone reads and changes it.
struct MonitorFleet {
    // Running or ending servers with their threads; LoadConfig fills the
    // first MaxServers slots at the start.
    ServerEntry* entries[FleetSlots] = {};
    // A changed server's new entry; its thread starts once the slot's has ended.
    ServerEntry* successors[FleetSlots] = {};
    // Set when the slot's thread has been asked to end for a reload.
    bool retiring[FleetSlots] = {};
    // Set while the slot's entry has no thread yet: an added or changed server
    // that starts once no ending server shares its Path or Port.
    bool waiting[FleetSlots] = {};
    // A reload request not yet carried out.
    bool reloadPending = false;
    // One record per slot, FleetSlots of them, owned by the service thread;
    // a thread started in a slot publishes into its record.
    ServerRecord* records = nullptr;
    // Each slot's server's place among the blocks of corvane.cfg, as of the
    // last load (a retiring server's successor's; a removed one keeps its own).
    uint32_t positions[FleetSlots] = {};
};

// Creates a monitor thread (64 KiB stack) for every non-null slot, in order.
// Logs "Failed to create monitor thread for \"<name>\"" and returns false at
// the first failure (threads already started keep running), or "No servers
// defined" when the table is empty. True when every entry has its thread.
bool StartMonitorThreads(ServerEntry** table, uint32_t slotCount);

// Asks every started thread to stop, all before waiting, then waits for all
// of them without a time-out, closes their handles and frees every entry.
// slotCount is at most FleetSlots. While it waits, stillWaiting (when given)
// is called about once a second.
void StopMonitorThreads(ServerEntry** table, uint32_t slotCount, void (*stillWaiting)() = nullptr);

// Stops every thread, ending ones included, and frees every entry.
void StopFleet(MonitorFleet& fleet, void (*stillWaiting)() = nullptr);

// Called by the service thread at each look at its queue; never blocks.
// Frees the slots whose retired threads have ended and starts the waiting
// servers that no ending one shares a Path or Port with; then, with a reload
// requested now or before and no thread still ending, reads corvane.cfg
// again and applies what changed. True when it carried out a reload.
bool TendFleet(MonitorFleet& fleet, bool reloadRequested);
