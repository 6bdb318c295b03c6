// The monitor fleet with real threads: every started thread is stopped and
// waited for, and every entry freed, however early the stop comes.
#include "service/monitor_fleet.h"

#include "support/windows_api.h"

#include <direct.h>
#include <gtest/gtest.h>
#include <string>

#include "config/server_entry.h"
#include "helpers/srcds_standin/standin_client.h"
#include "service/test_processes.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"

namespace {

class MonitorFleet : public ::testing::Test {
  protected:
    void SetUp() override {
        char directory[MAX_PATH];
        ASSERT_TRUE(MakeServerDirectory(directory, sizeof directory));
        workDir = directory;
        ASSERT_EQ(0, _chdir(workDir.c_str()));
        std::string suffix = std::to_string(GetCurrentProcessId()) + "_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
        LogMutex = CreateMutexA(nullptr, FALSE, ("Corvane/TestLog_" + suffix).c_str());
        // Held here, so that monitor threads sent to update their missing
        // installation wait for it and start nothing.
        UpdMutex = CreateMutexA(nullptr, TRUE, ("Corvane/TestUpd_" + suffix).c_str());
        ASSERT_NE(nullptr, LogMutex);
        ASSERT_NE(nullptr, UpdMutex);
    }

    void TearDown() override {
        CloseHandle(LogMutex);
        ReleaseMutex(UpdMutex);
        CloseHandle(UpdMutex);
        LogMutex = UpdMutex = nullptr;
        _chdir("..");
        RemoveServerDirectory(workDir.c_str());
    }

    // An entry whose installation directory does not exist.
    static ServerEntry* NewEntry(const char* name) {
        ServerEntry* entry = new ServerEntry();
        CopyBounded(entry->FriendlyName, sizeof entry->FriendlyName, name);
        CopyBounded(entry->Path, sizeof entry->Path, "Z:\\nonexistent\\corvane\\server");
        CopyBounded(entry->GameDir, sizeof entry->GameDir, "mod");
        return entry;
    }

    std::string Log() { return ReadWholeFile(workDir + "\\corvane.log"); }

    std::string workDir;
};

TEST_F(MonitorFleet, StopRightAfterStartReachesEveryThread) {
    // Threads that have not yet run their first instruction have no message
    // queue; the stop must reach them all the same, every time.
    for (int round = 0; round < 20; ++round) {
        ServerEntry* table[MaxServers] = {};
        table[0] = NewEntry("one");
        table[3] = NewEntry("two");
        table[15] = NewEntry("three");
        ASSERT_TRUE(StartMonitorThreads(table, MaxServers));
        EXPECT_NE(0u, table[0]->ThreadId);
        EXPECT_NE(nullptr, table[15]->ThreadHandle);
        StopMonitorThreads(table, MaxServers);
        for (ServerEntry* slot : table) {
            EXPECT_EQ(nullptr, slot);
        }
    }
    EXPECT_EQ("", Log());
}

TEST_F(MonitorFleet, EmptyTableStartsNothing) {
    ServerEntry* table[MaxServers] = {};
    EXPECT_FALSE(StartMonitorThreads(table, MaxServers));
    std::string log = Log();
    ASSERT_GE(log.size(), 25u);
    EXPECT_EQ("No servers defined\r\n", log.substr(25));
    StopMonitorThreads(table, MaxServers);
}

TEST_F(MonitorFleet, EntriesWithoutThreadsAreFreed) {
    // As after a configuration error: entries stored, no thread ever started.
    ServerEntry* table[MaxServers] = {};
    table[0] = NewEntry("one");
    table[1] = NewEntry("two");
    StopMonitorThreads(table, MaxServers);
    EXPECT_EQ(nullptr, table[0]);
    EXPECT_EQ(nullptr, table[1]);
}

} // namespace
