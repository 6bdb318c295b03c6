// The fleet stopped right after its start, with real threads, one of which
// cannot be created: the thread's creation is replaced here, as Windows will
// not refuse it on demand.
#include "helpers/win_test.h"

#include "config/server_entry.h"
#include "monitor/monitor_thread.h"
#include "service/monitor_fleet.h"
#include "service/service_platform.h"
#include "support/shared_mutexes.h"

static int refusedThread = 0; // the nth thread from now is refused (0: none)

// Each thread runs only 50 ms after its start: a stop posted before then finds
// no message queue yet and must be posted again.
HANDLE CreateMonitorThread(ServerEntry* entry, DWORD* threadId) {
    if (refusedThread != 0 && --refusedThread == 0) {
        return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 65536, MonitorThread, entry, CREATE_SUSPENDED, threadId);
    CloseHandle(CreateThread(nullptr, 0, [](LPVOID late) -> DWORD {
        Sleep(50);
        return ResumeThread(late);
    }, thread, 0, nullptr));
    return thread;
}

namespace {

using ServiceFakes = WineTest;

TEST_F(ServiceFakes, ThreadsStopEvenRightAfterTheStartOrAFailedOne) {
    LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
    UpdMutex = CreateMutexA(nullptr, TRUE, nullptr); // held here: each thread waits for its update
    for (int round = 0; round < 20; ++round) {
        ServerEntry* table[MaxServers] = {}; // Paths that do not exist: an update installs them
        for (int i = 0; i < 3; ++i) {
            table[i] = static_cast<ServerEntry*>(calloc(1, sizeof(ServerEntry)));
            snprintf(table[i]->FriendlyName, sizeof table[i]->FriendlyName, "s%d", i + 1);
            snprintf(table[i]->Path, sizeof table[i]->Path, "%s\\none", dir.c_str());
        }
        refusedThread = round == 0 ? 2 : 0;
        EXPECT_EQ(round != 0, StartMonitorThreads(table, MaxServers));
        HANDLE stop = CreateThread(nullptr, 0, [](LPVOID threads) -> DWORD {
            StopMonitorThreads(static_cast<ServerEntry**>(threads), MaxServers);
            return 0; // only once every thread took its stop
        }, table, 0, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop, 10000)) << "a thread missed its stop";
        CloseHandle(stop);
        EXPECT_EQ(nullptr, table[0]);
        EXPECT_EQ(nullptr, table[2]);
    }
    ServerEntry* empty[MaxServers] = {};
    EXPECT_FALSE(StartMonitorThreads(empty, MaxServers));
    WriteText("corvane.cfg", "s4\n{\nPath p\nGameDir g\nHost h\nPort 1\nMaxPlayers 1\nMapName m\n"
                             "MiscArgs a\nPriority p\nAffinity 1\nMaxMemory 0\nMonitorDelay 0\n"
                             "UpdPath u\nUpdArgs 1\n}\n");
    MonitorFleet fleet; // a reload whose added server gets no thread runs on without it
    refusedThread = 1;
    EXPECT_TRUE(TendFleet(fleet, true));
    StopFleet(fleet);
    CloseHandle(LogMutex);
    CloseHandle(UpdMutex);
    std::string log = ReadText("corvane.log");
    EXPECT_EQ(1u, Count(log, ": Failed to create monitor thread for \"s2\"\r\n"));
    EXPECT_EQ(1u, Count(log, ": No servers defined\r\n"));
    EXPECT_EQ(1u, Count(log, ": Config file reloaded: 0 unchanged, 0 added, 0 changed, 0 removed\r\n"));
}

} // namespace
