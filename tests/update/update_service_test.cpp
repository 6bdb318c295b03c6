// End to end: update cycles run by corvane.exe as a real service in this Wine
// prefix, with the stand-in update tool and stand-in game servers on 127.0.0.1.
// Everything lives in one temp directory: the service beside its corvane.cfg,
// each server's Path, and the tools.
#include "support/windows_api.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "helpers/srcds_standin/standin_client.h"
#include "helpers/steamcmd_standin/tool_client.h"
#include "monitor/server_query.h"
#include "service/installed_service.h"

namespace {

constexpr size_t StampLength = LogStampLength;
// A cycle pauses 5 s after the tool check and 5 s after the run; a second
// server waiting for the update mutex retries every 10 s.
constexpr DWORD CycleWaitMs = 40000;
constexpr DWORD TwoCyclesWaitMs = 70000;
constexpr DWORD StateWaitMs = 20000;
constexpr DWORD QueryTimeoutMs = 250;

const std::string VersionCheck = "[Update] Tool version check";
const std::string UpToDate = "[Update] Tool is up to date";
const std::string Completed = "[Update] Completed successfully";
const std::string Started = "Corvane v1.10 started";
const std::string Header = "[UpdateLog for \"alpha\" follows]\r\n";
const std::string SuccessOutput = "Logging in anonymously... OK\r\r\n"
                                  " Update state (0x61) downloading, progress: 50.00\r\r\n"
                                  "Success! App '232330' fully installed.\r\r\n\r\n";

using Lines = std::vector<std::string>;

std::string LaunchedLine(const std::string& name) {
    return Quoted(name) + " launched successfully";
}
std::string UpdateLaunched(const std::string& name) {
    return "[Update] Launched for " + Quoted(name);
}

struct Server {
    std::string name;
    std::string path;
    char port[8] = {};
};

class UpdateService : public InstalledService {
  protected:
    void TearDown() override {
        if (updMutex != nullptr) {
            CloseHandle(updMutex);
        }
        InstalledService::TearDown();
    }

    // A server "name" whose Path is root\name; installed puts the stand-in
    // server there with an empty game directory "mod".
    Server& AddServer(const std::string& name, bool installed) {
        Server server;
        server.name = name;
        server.path = root + "\\" + name;
        if (installed) {
            EXPECT_TRUE(CreateDirectoryA(server.path.c_str(), nullptr));
            EXPECT_TRUE(CreateDirectoryA((server.path + "\\mod").c_str(), nullptr));
            EXPECT_TRUE(
                CopyFileA(CORVANE_STANDIN_EXE, (server.path + "\\srcds.exe").c_str(), FALSE));
        }
        FreeUdpPort(server.port, sizeof server.port);
        EXPECT_STRNE("0", server.port);
        servers.push_back(server);
        return servers.back();
    }

    static std::string RequestPath(const Server& server) {
        return server.path + "\\mod\\update_request.txt";
    }

    static bool RequestUpdate(const Server& server) {
        FILE* file = fopen(RequestPath(server).c_str(), "wb");
        return file != nullptr && fclose(file) == 0;
    }

    // One block per server, each with the same tool directory given relative to its Path.
    void WriteFleetConfig(const std::string& updPath) {
        std::string text = "// written by the test\r\n";
        for (const Server& server : servers) {
            text += Quoted(server.name) + "\r\n{\r\n";
            text += "    Path \"" + server.path + "\"\r\n";
            text += "    GameDir mod\r\n    Host 127.0.0.1\r\n";
            text += "    Port " + std::string(server.port) + "\r\n";
            text += "    MaxPlayers 8\r\n    MapName map01\r\n    MiscArgs \"\"\r\n";
            text += "    Priority Normal\r\n    Affinity 1\r\n    MaxMemory 0\r\n";
            text += "    MonitorDelay 0\r\n    UpdPath \"" + updPath + "\"\r\n";
            text += "    UpdArgs 1\r\n}\r\n";
        }
        WriteConfig(text);
    }

    void Start() {
        ASSERT_TRUE(StartCorvane());
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING, StateWaitMs));
    }

    // The server's stand-in wrote its record for this launch and answers the info query.
    bool ServerAnswers(const Server& server) {
        return WaitStandinValue(server.path.c_str(), "standin_record.txt", "port", server.port,
                                10000) &&
               QueryServer("127.0.0.1", server.port, QueryTimeoutMs) == 1;
    }

    std::vector<Server> servers;
    HANDLE updMutex = nullptr;
};

std::string Script(const Server& server) {
    return "force_install_dir \"" + server.path + "\"\nlogin anonymous\napp_update 1\nquit\n";
}

TEST_F(UpdateService, ServerThatEndsWithARequestIsUpdatedAndRelaunched) {
    Server& alpha = AddServer("alpha", true);
    const std::string tools = alpha.path + "\\tools";
    ASSERT_TRUE(InstallStandinTool(tools));
    WriteFleetConfig("tools");
    Start();
    ASSERT_TRUE(WaitForLine(LaunchedLine("alpha"), 10000)) << testing::PrintToString(LogLines());
    ASSERT_TRUE(ServerAnswers(alpha));

    ASSERT_TRUE(RequestUpdate(alpha));
    ASSERT_TRUE(WriteServerFile(alpha.path.c_str(), "standin_control.txt", "exit 3\n"));
    ASSERT_TRUE(WaitForLine("\"alpha\" has terminated", 10000))
        << testing::PrintToString(LogLines());
    // The relaunched server must answer again; its record is written anew.
    ASSERT_TRUE(WriteServerFile(alpha.path.c_str(), "standin_control.txt", "answer\n"));
    ASSERT_TRUE(DeleteFileA((alpha.path + "\\standin_record.txt").c_str()));
    ASSERT_TRUE(WaitForLine(LaunchedLine("alpha"), CycleWaitMs, 2))
        << testing::PrintToString(LogLines());

    EXPECT_EQ((Lines{Started, LaunchedLine("alpha"), "\"alpha\" has terminated",
                     "\"alpha\" requested an update", VersionCheck, UpToDate,
                     UpdateLaunched("alpha"), Completed, LaunchedLine("alpha")}),
              LogLines());
    EXPECT_TRUE(ServerAnswers(alpha));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath(alpha).c_str()));

    std::string updateLog = ReadWholeFile(root + "\\corvane_update.log");
    ASSERT_GT(updateLog.size(), StampLength);
    EXPECT_EQ(Header + SuccessOutput, updateLog.substr(StampLength));

    std::vector<ToolRecord> records = ReadToolRecords(tools);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("check", records[0].kind);
    EXPECT_NE(std::string::npos, records[0].commandLine.find("+quit")) << records[0].commandLine;
    EXPECT_EQ("run", records[1].kind);
    EXPECT_EQ(Script(alpha), records[1].stdinBytes);
    EXPECT_EQ(alpha.path, records[1].installDir);
    EXPECT_FALSE(records[1].warned);
    EXPECT_TRUE(StartsWithNoCase(records[1].cwd, tools)) << records[1].cwd;
    EXPECT_EQ(std::string::npos, updateLog.find("Please use force_install_dir before logon!"));
    for (const ToolRecord& record : records) {
        EXPECT_FALSE(record.overlap) << record.kind;
    }
}

TEST_F(UpdateService, MissingPathIsInstalledByTheToolThenLaunched) {
    Server& alpha = AddServer("alpha", false);
    // The tool lies beside the missing Path and is reached through it.
    const std::string tools = root + "\\tools";
    ASSERT_TRUE(InstallStandinTool(tools));
    ASSERT_TRUE(WriteToolControl(tools, std::string("srcds=") + CORVANE_STANDIN_EXE + "\n"));
    WriteFleetConfig("..\\tools");
    Start();
    ASSERT_TRUE(WaitForLine(LaunchedLine("alpha"), CycleWaitMs))
        << testing::PrintToString(LogLines());

    EXPECT_EQ((Lines{Started, VersionCheck, UpToDate, UpdateLaunched("alpha"), Completed,
                     LaunchedLine("alpha")}),
              LogLines());
    std::vector<ToolRecord> records = ReadToolRecords(tools);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("run", records[1].kind);
    EXPECT_EQ(Script(alpha), records[1].stdinBytes);
    EXPECT_EQ(alpha.path, records[1].installDir);
    EXPECT_TRUE(records[1].installed);
    EXPECT_FALSE(records[1].warned);
    // The server runs from the installed copy and answers.
    ASSERT_TRUE(ServerAnswers(alpha));
    char cwd[MAX_PATH] = "";
    ASSERT_TRUE(ReadStandinValue(alpha.path.c_str(), "standin_record.txt", "cwd", cwd, sizeof cwd));
    EXPECT_TRUE(StartsWithNoCase(cwd, alpha.path)) << cwd;
    EXPECT_EQ(SERVICE_RUNNING, Status().dwCurrentState);
}

TEST_F(UpdateService, TwoRequestsAtStartUpdateOneServerAtATime) {
    servers.reserve(2);
    Server& alpha = AddServer("alpha", true);
    Server& bravo = AddServer("bravo", true);
    // One tool for both, so that two runs at once would meet in its lock file.
    const std::string tools = root + "\\tools";
    ASSERT_TRUE(InstallStandinTool(tools));
    ASSERT_TRUE(RequestUpdate(alpha));
    ASSERT_TRUE(RequestUpdate(bravo));
    WriteFleetConfig("..\\tools");
    Start();
    ASSERT_TRUE(WaitForLine(LaunchedLine("alpha"), TwoCyclesWaitMs))
        << testing::PrintToString(LogLines());
    ASSERT_TRUE(WaitForLine(LaunchedLine("bravo"), TwoCyclesWaitMs))
        << testing::PrintToString(LogLines());

    Lines lines = LogLines();
    Lines updateLines;
    for (const std::string& line : lines) {
        if (line.compare(0, 9, "[Update] ") == 0) {
            updateLines.push_back(line);
        }
    }
    // Whichever took the mutex first, the other's cycle starts only after it ended.
    ASSERT_EQ(8u, updateLines.size()) << testing::PrintToString(lines);
    std::string first = updateLines[2] == UpdateLaunched("alpha") ? "alpha" : "bravo";
    std::string second = first == "alpha" ? "bravo" : "alpha";
    EXPECT_EQ((Lines{VersionCheck, UpToDate, UpdateLaunched(first), Completed, VersionCheck,
                     UpToDate, UpdateLaunched(second), Completed}),
              updateLines);
    EXPECT_EQ(1u, CountLine(LaunchedLine("alpha")));
    EXPECT_EQ(1u, CountLine(LaunchedLine("bravo")));

    std::vector<ToolRecord> records = ReadToolRecords(tools);
    ASSERT_EQ(4u, records.size());
    const char* kinds[] = {"check", "run", "check", "run"};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(kinds[i], records[i].kind) << i;
        EXPECT_FALSE(records[i].overlap) << i;
        EXPECT_FALSE(records[i].warned) << i;
    }
    EXPECT_EQ(root + "\\" + first, records[1].installDir);
    EXPECT_EQ(root + "\\" + second, records[3].installDir);

    std::string updateLog = ReadWholeFile(root + "\\corvane_update.log");
    size_t firstHeader = updateLog.find("[UpdateLog for " + Quoted(first) + " follows]");
    size_t secondHeader = updateLog.find("[UpdateLog for " + Quoted(second) + " follows]");
    ASSERT_NE(std::string::npos, firstHeader);
    ASSERT_NE(std::string::npos, secondHeader);
    EXPECT_LT(firstHeader, secondHeader);

    for (const Server& server : servers) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath(server).c_str()))
            << server.name;
        EXPECT_TRUE(ServerAnswers(server)) << server.name;
    }
}

TEST_F(UpdateService, StopDuringAHangingRunEndsTheToolAndANewStartStillUpdates) {
    Server& alpha = AddServer("alpha", true);
    const std::string tools = alpha.path + "\\tools";
    ASSERT_TRUE(InstallStandinTool(tools));
    ASSERT_TRUE(WriteToolControl(tools, "runs=hang,success\n"));
    ASSERT_TRUE(RequestUpdate(alpha));
    WriteFleetConfig("tools");
    Start();
    ASSERT_TRUE(WaitForLine(UpdateLaunched("alpha"), CycleWaitMs))
        << testing::PrintToString(LogLines());
    // The run writes its record before it starts to hang.
    ASSERT_TRUE(WaitToolRecords(tools, 2, 10000));
    std::vector<DWORD> running = ProcessesUnderRoot();
    // The service itself and the hanging tool; the server is not launched.
    ASSERT_EQ(2u, running.size());
    HANDLE tool = nullptr;
    for (DWORD pid : running) {
        HANDLE process =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
        ASSERT_NE(nullptr, process);
        char image[MAX_PATH] = "";
        GetModuleFileNameExA(process, nullptr, image, sizeof image);
        if (StartsWithNoCase(image, tools + "\\")) {
            tool = process;
        } else {
            CloseHandle(process);
        }
    }
    ASSERT_NE(nullptr, tool);
    // Held by the service for the whole cycle. This handle keeps the mutex
    // alive after the service has ended, so the next start finds it abandoned.
    updMutex = OpenMutexA(SYNCHRONIZE, FALSE, "Corvane/UpdMutex");
    ASSERT_NE(nullptr, updMutex);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(updMutex, 0));

    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, StateWaitMs));
    EXPECT_EQ(0u, Status().dwWin32ExitCode);
    EXPECT_EQ(0u, Status().dwServiceSpecificExitCode);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(tool, 5000));
    DWORD toolExit = 1;
    EXPECT_TRUE(GetExitCodeProcess(tool, &toolExit));
    EXPECT_EQ(0u, toolExit);
    CloseHandle(tool);
    EXPECT_TRUE(WaitNothingRunning(5000));
    EXPECT_EQ((Lines{Started, VersionCheck, UpToDate, UpdateLaunched("alpha"),
                     "[Update] Terminated for \"alpha\"", "Corvane v1.10 stopped", ""}),
              LogLines());
    // The cycle did not end, so the request stands.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath(alpha).c_str()));

    // A fresh start finds the mutex abandoned by the stopped thread, takes it
    // at once and gives it back at the end of the cycle.
    ASSERT_TRUE(DeleteFileA((root + "\\corvane.log").c_str()));
    Start();
    ASSERT_TRUE(WaitForLine(LaunchedLine("alpha"), CycleWaitMs))
        << testing::PrintToString(LogLines());
    EXPECT_EQ((Lines{Started, VersionCheck, UpToDate, UpdateLaunched("alpha"), Completed,
                     LaunchedLine("alpha")}),
              LogLines());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(updMutex, 2000));
    ReleaseMutex(updMutex);
    EXPECT_TRUE(ServerAnswers(alpha));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath(alpha).c_str()));
    std::vector<ToolRecord> records = ReadToolRecords(tools);
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ("hang", records[1].mode);
    EXPECT_EQ("success", records[3].mode);
    for (const ToolRecord& record : records) {
        EXPECT_FALSE(record.overlap) << record.kind << record.number;
    }
}

} // namespace
