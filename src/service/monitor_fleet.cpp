// The monitor fleet: one thread per server, stopped by thread messages.
#include "service/monitor_fleet.h"

#include "support/windows_api.h"

#include "config/server_entry.h"
#include "monitor/monitor_state.h"
#include "service/service_platform.h"
#include "support/event_log.h"

constexpr DWORD StopProgressMs = 1000;

bool StartMonitorThreads(ServerEntry** table, uint32_t slotCount) {
    uint32_t started = 0;
    for (uint32_t slot = 0; slot < slotCount; ++slot) {
        ServerEntry* entry = table[slot];
        if (entry == nullptr) {
            continue;
        }
        DWORD threadId = 0;
        HANDLE thread = CreateMonitorThread(entry, &threadId);
        entry->ThreadId = threadId;
        entry->ThreadHandle = thread;
        if (thread == nullptr) {
            WriteLog("Failed to create monitor thread for \"%s\"", entry->FriendlyName);
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
// repeated until it is taken or the thread has ended.
static void PostStopMessage(DWORD threadId, HANDLE thread) {
    while (!PostThreadMessageA(threadId, StopMessage, 0, 0) &&
           WaitForSingleObject(thread, 1) == WAIT_TIMEOUT) {
    }
}

void StopMonitorThreads(ServerEntry** table, uint32_t slotCount, void (*stillWaiting)()) {
    HANDLE threads[MaxServers];
    DWORD threadCount = 0;
    for (uint32_t slot = 0; slot < slotCount; ++slot) {
        ServerEntry* entry = table[slot];
        if (entry != nullptr && entry->ThreadHandle != nullptr && threadCount < MaxServers) {
            PostStopMessage(entry->ThreadId, entry->ThreadHandle);
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
