// End to end: corvane.exe installed in this Wine prefix and run by its service
// control manager over a fleet of stand-in game servers on 127.0.0.1.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "helpers/srcds_standin/standin_client.h"
#include "service/installed_service.h"

namespace {

constexpr DWORD ServiceStopped = SERVICE_STOPPED;
constexpr DWORD Fail = 0xFFFFFFFD; // -3 as the service reports it
// Relaunches come 5 s after a verdict; silence takes four checks 5 s apart.
constexpr DWORD VerdictWaitMs = 40000;

struct FleetServer {
    std::string name;
    std::string directory;
    char port[8] = {};
};

std::string Pid(const FleetServer& server) {
    char pid[16] = {};
    ReadStandinValue(server.directory.c_str(), "standin_record.txt", "pid", pid, sizeof pid);
    return pid;
}

// True when the process with that id has ended (or never existed), waiting up to timeoutMs.
bool ProcessGone(const std::string& pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(atoi(pid.c_str())));
    if (process == nullptr) {
        return true;
    }
    bool gone = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

class ServiceRun : public InstalledService {
  protected:
    // A server whose Path is root\name, holding the stand-in, on a port of its own.
    FleetServer& AddServer(const std::string& name) {
        FleetServer server;
        server.name = name;
        server.directory = root + "\\" + name;
        EXPECT_TRUE(CreateDirectoryA(server.directory.c_str(), nullptr));
        EXPECT_TRUE(
            CopyFileA(CORVANE_STANDIN_EXE, (server.directory + "\\srcds.exe").c_str(), FALSE));
        FreeUdpPort(server.port, sizeof server.port);
        EXPECT_STRNE("0", server.port);
        servers.push_back(server);
        return servers.back();
    }

    // One block per server; every server gets the memory limit given.
    std::string FleetConfig(const char* maxMemory) {
        std::string text = "// written by the test\r\n";
        for (const FleetServer& server : servers) {
            text += "\"" + server.name + "\"\r\n{\r\n";
            text += "    Path \"" + server.directory + "\"\r\n";
            text += "    GameDir mod\r\n    Host 127.0.0.1\r\n";
            text += "    Port " + std::string(server.port) + "\r\n";
            text += "    MaxPlayers 8\r\n    MapName map01\r\n    MiscArgs \"\"\r\n";
            text += "    Priority Normal\r\n    Affinity 1\r\n";
            text += "    MaxMemory " + std::string(maxMemory) + "\r\n";
            text += "    MonitorDelay 0\r\n    UpdPath tools\r\n    UpdArgs 1\r\n}\r\n";
        }
        return text;
    }

    void Start() { ASSERT_TRUE(StartCorvane()); }

    std::vector<FleetServer> servers;
};

std::string Quoted(const FleetServer& server) { return ::Quoted(server.name); }

TEST_F(ServiceRun, RelaunchesFailedServersAndLeavesHealthyOnesAlone) {
    servers.reserve(4);
    FleetServer& exiting = AddServer("exits");
    FleetServer& silent = AddServer("falls silent");
    FleetServer& bloated = AddServer("bloats");
    FleetServer& healthy = AddServer("healthy");
    WriteConfig(FleetConfig("32"));
    Start();
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 10000));
    for (const FleetServer& server : servers) {
        ASSERT_TRUE(WaitForLine(Quoted(server) + " launched successfully", 10000)) << server.name;
        ASSERT_TRUE(WaitStandinValue(server.directory.c_str(), "standin_record.txt", "port",
                                     server.port, 10000));
    }
    // Nothing but the start line and one launch line each while all are healthy.
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("Corvane v1.10 started", lines[0]);
    std::string healthyPid = Pid(healthy);

    std::string firstPids[] = {Pid(exiting), Pid(silent), Pid(bloated)};
    WriteServerFile(exiting.directory.c_str(), "standin_control.txt", "exit 3\n");
    WriteServerFile(silent.directory.c_str(), "standin_control.txt", "silent\n");
    WriteServerFile(bloated.directory.c_str(), "standin_control.txt", "commit 64\n");
    // Each is put right again as soon as its verdict is logged, before its relaunch.
    struct Expected {
        FleetServer* server;
        std::string verdictLine;
        bool seen;
    } expected[] = {
        {&exiting, Quoted(exiting) + " has terminated", false},
        {&silent, Quoted(silent) + " was unresponsive and has been terminated", false},
        {&bloated, Quoted(bloated) + " exceeded memory limit and has been terminated", false},
    };
    for (DWORD waited = 0; waited < VerdictWaitMs; waited += 50) {
        bool allSeen = true;
        for (Expected& e : expected) {
            if (!e.seen && CountLine(e.verdictLine) > 0) {
                WriteServerFile(e.server->directory.c_str(), "standin_control.txt", "answer\n");
                e.seen = true;
            }
            allSeen = allSeen && e.seen;
        }
        if (allSeen) {
            break;
        }
        Sleep(50);
    }
    for (const Expected& e : expected) {
        ASSERT_TRUE(e.seen) << e.verdictLine << ::testing::PrintToString(LogLines());
    }
    for (size_t i = 0; i < 3; ++i) {
        FleetServer& server = *expected[i].server;
        EXPECT_TRUE(WaitForLine(Quoted(server) + " launched successfully", 20000, 2))
            << server.name;
        EXPECT_TRUE(ProcessGone(firstPids[i], 5000)) << server.name;
    }
    EXPECT_EQ(healthyPid, Pid(healthy));
    EXPECT_EQ(1u, CountLine(Quoted(healthy) + " launched successfully"))
        << ::testing::PrintToString(LogLines());
    EXPECT_EQ(SERVICE_RUNNING, Status().dwCurrentState);

    // Stop through the system's own tool, as an administrator would.
    std::vector<std::string> runningPids;
    for (const FleetServer& server : servers) {
        runningPids.push_back(Pid(server));
    }
    RunProgram("net stop Corvane");
    ASSERT_TRUE(WaitForState(ServiceStopped, 20000));
    SERVICE_STATUS status = Status();
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    for (size_t i = 0; i < servers.size(); ++i) {
        EXPECT_TRUE(ProcessGone(runningPids[i], 5000)) << servers[i].name;
        EXPECT_EQ(1u, CountLine(Quoted(servers[i]) + " has been terminated")) << servers[i].name;
    }
    lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Corvane v1.10 stopped", lines[lines.size() - 2]);
    EXPECT_EQ("", lines.back());
}

TEST_F(ServiceRun, ConfigurationErrorsStopTheServiceWithMinusThree) {
    struct Case {
        const char* config;
        const char* message;
    };
    const Case cases[] = {
        {"alpha\r\nbeta\r\n", "Expected '{' at line 2"},
        {"// no servers here\r\n\r\n", "No servers defined"},
    };
    for (const Case& c : cases) {
        DeleteFileA((root + "\\corvane.log").c_str());
        WriteConfig(c.config);
        Start();
        ASSERT_TRUE(WaitForState(ServiceStopped, 20000)) << c.message;
        SERVICE_STATUS status = Status();
        EXPECT_EQ(Fail, status.dwWin32ExitCode) << c.message;
        EXPECT_EQ(Fail, status.dwServiceSpecificExitCode) << c.message;
        EXPECT_EQ((std::vector<std::string>{"Corvane v1.10 started", c.message,
                                            "Corvane v1.10 stopped", ""}),
                  LogLines());
        // What an administrator reads from the system's own tool.
        std::string query = RunProgram("sc query Corvane").output;
        EXPECT_NE(std::string::npos, query.find("STOPPED")) << query;
        EXPECT_EQ(2u, [&] {
            size_t count = 0;
            for (size_t at = 0; (at = query.find("0xfffffffd", at)) != std::string::npos; ++at) {
                ++count;
            }
            return count;
        }()) << query;
    }
}

TEST_F(ServiceRun, MutexThatCannotBeCreatedStopsTheServiceWithMinusTwo) {
    AddServer("unused");
    WriteConfig(FleetConfig("0"));
    // An event holding the update mutex's name makes creating the mutex fail.
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, "Corvane/UpdMutex");
    ASSERT_NE(nullptr, squatter);
    Start();
    ASSERT_TRUE(WaitForState(ServiceStopped, 20000));
    CloseHandle(squatter);
    SERVICE_STATUS status = Status();
    EXPECT_EQ(0xFFFFFFFEu, status.dwWin32ExitCode);
    EXPECT_EQ(0xFFFFFFFEu, status.dwServiceSpecificExitCode);
    // Nothing of the start; the log mutex exists, so the stop line is written.
    EXPECT_EQ((std::vector<std::string>{"Corvane v1.10 stopped", ""}), LogLines());
    EXPECT_EQ("", Pid(servers[0]));
}

TEST_F(ServiceRun, MissingConfigurationFileStopsTheService) {
    Start();
    ASSERT_TRUE(WaitForState(ServiceStopped, 20000));
    EXPECT_EQ(Fail, Status().dwServiceSpecificExitCode);
    EXPECT_EQ((std::vector<std::string>{"Corvane v1.10 started",
                                        "Failed to read config file \"corvane.cfg\"",
                                        "Corvane v1.10 stopped", ""}),
              LogLines());
}

TEST_F(ServiceRun, StopRightAfterStartIsNotLost) {
    servers.reserve(3);
    AddServer("one");
    AddServer("two");
    AddServer("three");
    WriteConfig(FleetConfig("0"));
    Start();
    SERVICE_STATUS status;
    // Sent while the service may still be starting; it must be taken all the same.
    for (DWORD waited = 0;
         !ControlService(service, SERVICE_CONTROL_STOP, &status) && waited < 10000; waited += 5) {
        Sleep(5);
    }
    ASSERT_TRUE(WaitForState(ServiceStopped, 20000));
    EXPECT_EQ(0u, Status().dwWin32ExitCode);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("Corvane v1.10 started", lines.front());
    EXPECT_EQ("Corvane v1.10 stopped", lines[lines.size() - 2]);
    for (const FleetServer& server : servers) {
        std::string pid = Pid(server);
        if (!pid.empty()) {
            EXPECT_TRUE(ProcessGone(pid, 5000)) << server.name;
        }
        // A server that was launched was also terminated.
        EXPECT_EQ(CountLine(Quoted(server) + " launched successfully"),
                  CountLine(Quoted(server) + " has been terminated"))
            << server.name;
    }
}

TEST_F(ServiceRun, StopThenShutdownInQuickSuccession) {
    AddServer("solo");
    WriteConfig(FleetConfig("0"));
    Start();
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 10000));
    ASSERT_TRUE(WaitForLine("\"solo\" launched successfully", 10000));
    std::string pid = Pid(servers[0]);
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    // The system sends shutdown itself; where the manager refuses to pass it
    // on, the stop alone must still end the service once.
    ControlService(service, SERVICE_CONTROL_SHUTDOWN, &status);
    ASSERT_TRUE(WaitForState(ServiceStopped, 20000));
    EXPECT_EQ(0u, Status().dwWin32ExitCode);
    EXPECT_TRUE(ProcessGone(pid, 5000));
    EXPECT_EQ(1u, CountLine("Corvane v1.10 stopped"));
    EXPECT_EQ(1u, CountLine("\"solo\" has been terminated"));
}

} // namespace
