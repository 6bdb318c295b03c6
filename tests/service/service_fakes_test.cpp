// The service host where Windows will not refuse on demand, its two Windows
// calls replaced here: the service control manager refusing the installer, and
// a monitor thread that cannot be created. Also the fleet stopped right after
// its start, with real threads.
#include "helpers/win_test.h"

#include <io.h>

#include "config/server_entry.h"
#include "monitor/monitor_thread.h"
#include "service/monitor_fleet.h"
#include "service/service_install.h"
#include "service/service_platform.h"
#include "support/shared_mutexes.h"

static std::vector<uint32_t> serviceManagerAccess;
static uint32_t serviceManagerError = 0;
static int refusedThread = 0; // the nth thread from now is refused (0: none)

SC_HANDLE OpenServiceManager(DWORD access) { // the real one while no error is set
    serviceManagerAccess.push_back(access);
    SetLastError(serviceManagerError);
    return serviceManagerError ? nullptr : OpenSCManagerA(nullptr, nullptr, access);
}

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
    serviceManagerError = 0; // a service still open elsewhere stays, marked for deletion
    EXPECT_TRUE(InstallService("Twice", "Twice", "d", "\"C:\\corvane.exe\" -s", "Tcpip\0"));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE open = OpenServiceA(manager, "Twice", SERVICE_QUERY_STATUS);
    EXPECT_TRUE(UninstallService("Twice"));
    EXPECT_FALSE(UninstallService("Twice"));
    CloseServiceHandle(open);
    CloseServiceHandle(manager);
    fflush(stdout);
    _dup2(console, 1);
    fclose(capture);
    EXPECT_EQ("OpenSCManager failed with error 5\r\nOpenSCManager failed with error 5\r\n"
              "OpenSCManager failed with error -2147024891\r\n"
              "OpenSCManager failed with error -2147024891\r\n"
              "Service \"Twice\" successfully installed\r\nService \"Twice\" successfully "
              "uninstalled\r\nFailed to uninstall service \"Twice\"\r\n", ReadText("stdout.txt"));
    std::vector<uint32_t> access = {SC_MANAGER_CREATE_SERVICE, SC_MANAGER_CONNECT};
    EXPECT_EQ((std::vector<uint32_t>{access[0], access[1], access[0], access[1], access[0],
                                     access[1], access[1]}), serviceManagerAccess);
}

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
    CloseHandle(LogMutex);
    CloseHandle(UpdMutex);
    std::string log = ReadText("corvane.log");
    EXPECT_EQ(1u, Count(log, ": Failed to create monitor thread for \"s2\"\r\n"));
    EXPECT_EQ(1u, Count(log, ": No servers defined\r\n"));
}

} // namespace
