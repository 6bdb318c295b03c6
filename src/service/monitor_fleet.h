// Starting and stopping one monitor thread per configured server.
#pragma once

#include <stdint.h>

struct ServerEntry;

// Creates a monitor thread (64 KiB stack) for every non-null slot, in order.
// Logs "Failed to create monitor thread for \"<name>\"" and returns false at
// the first failure (threads already started keep running), or "No servers
// defined" when the table is empty. True when every entry has its thread.
bool StartMonitorThreads(ServerEntry** table, uint32_t slotCount);

// Asks every started thread to stop, all before waiting, then waits for all
// of them without a time-out, closes their handles and frees every entry.
// While it waits, stillWaiting (when given) is called about once a second.
void StopMonitorThreads(ServerEntry** table, uint32_t slotCount, void (*stillWaiting)() = nullptr);
