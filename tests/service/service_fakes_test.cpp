// The service host where Windows will not refuse on demand, its two Windows
// calls replaced: the service control manager refusing the installer, and a
// monitor thread that cannot be created. Also the fleet stopped right after
// its start, with real threads.
#include "helpers/win_test.h"

#include <io.h>

#include "config/server_entry.h"
#include "fakes/fakes.h"
#include "service/monitor_fleet.h"
#include "service/service_install.h"
#include "support/shared_mutexes.h"

namespace {

// Three entries whose Path does not exist: each thread waits for an update
// mutex no one can take, until it is stopped.
void Fill(ServerEntry** table, const std::string& dir) {
    for (int i = 0; i < 3; ++i) {
        table[i] = static_cast<ServerEntry*>(calloc(1, sizeof(ServerEntry)));
        snprintf(table[i]->FriendlyName, sizeof table[i]->FriendlyName, "s%d", i + 1);
        snprintf(table[i]->Path, sizeof table[i]->Path, "%s\\none", dir.c_str());
    }
}

using ServiceFakes = WineTest;

TEST_F(ServiceFakes, TheInstallerPrintsTheManagersRefusal) {
    fflush(stdout);
    int console = _dup(1);
    FILE* capture = fopen("stdout.txt", "w");
    _dup2(_fileno(capture), 1);
    for (uint32_t error : {5u, 0x80070005u}) {
        serviceManagerError = error;
        EXPECT_FALSE(InstallService("Corvane", "Corvane", "d", "\"C:\\corvane.exe\" -s", "Tcpip\0"));
        EXPECT_FALSE(UninstallService("Corvane"));
    }
    fflush(stdout);
    _dup2(console, 1);
    fclose(capture);
    EXPECT_EQ("OpenSCManager failed with error 5\r\nOpenSCManager failed with error 5\r\n"
              "OpenSCManager failed with error -2147024891\r\n"
              "OpenSCManager failed with error -2147024891\r\n",
              ReadText("stdout.txt"));
    EXPECT_EQ((std::vector<uint32_t>{SC_MANAGER_CREATE_SERVICE, SC_MANAGER_CONNECT,
                                     SC_MANAGER_CREATE_SERVICE, SC_MANAGER_CONNECT}),
              serviceManagerAccess);
}

TEST_F(ServiceFakes, ThreadsStopEvenRightAfterTheStartOrAFailedOne) {
    LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
    for (int round = 0; round < 20; ++round) {
        ServerEntry* table[MaxServers] = {};
        Fill(table, dir);
        refusedThread = round == 0 ? 2 : 0;
        EXPECT_EQ(round != 0, StartMonitorThreads(table, MaxServers));
        StopMonitorThreads(table, MaxServers); // returns only when every thread took its stop
        EXPECT_EQ(nullptr, table[0]);
        EXPECT_EQ(nullptr, table[2]);
    }
    ServerEntry* empty[MaxServers] = {};
    EXPECT_FALSE(StartMonitorThreads(empty, MaxServers));
    CloseHandle(LogMutex);
    EXPECT_EQ(1u, Count(ReadText("corvane.log"), ": Failed to create monitor thread for \"s2\"\r\n"));
    EXPECT_EQ(1u, Count(ReadText("corvane.log"), ": No servers defined\r\n"));
}

} // namespace
