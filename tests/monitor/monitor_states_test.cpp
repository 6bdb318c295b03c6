// The monitor's states, update cycle included, stepped by hand through real
// stand-in servers and tools, real pipes and mutexes and the real logs. Time
// is an argument of every action, so each delay and deadline (5, 10, 60, 120
// and 1200 s) is checked to the second without being waited for.
#include "helpers/win_test.h"

#include <memory>

#include "config/server_entry.h"
#include "monitor/monitor_thread.h"
#include "support/file_helpers.h"
#include "support/memory_query.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"
#include "update/update_process.h"

// When armed, the next question whether the tool has ended first lets the
// gated tool print its last line and end: that output reaches the pipe after
// the cycle's drain and before the answer.
static HANDLE gate = nullptr;
extern "C" bool __real__Z13ProcessExitedPv(HANDLE process);
extern "C" bool __wrap__Z13ProcessExitedPv(HANDLE process) {
    if (gate != nullptr && SetEvent(gate) && CloseHandle(gate)) {
        gate = nullptr;
        WaitForSingleObject(process, 10000);
    }
    return __real__Z13ProcessExitedPv(process);
}

namespace {

using Lines = std::vector<std::string>;
const std::string Up = R"("s" launched successfully)", Ended = R"("s" has terminated)",
                  Requested = R"("s" requested an update)", Check = "[Update] Tool version check",
                  UpToDate = "[Update] Tool is up to date", Launched = R"([Update] Launched for "s")",
                  Completed = "[Update] Completed successfully",
                  Hung = R"("s" was unresponsive and has been terminated)";

DWORD ExitCode(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

HANDLE Duplicate(HANDLE process) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

class MonitorStates : public WineTest {
  protected:
    void SetUp() override {
        WineTest::SetUp();
        LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
        UpdMutex = CreateMutexA(nullptr, FALSE, nullptr);
        QueryProcessMemory = GetProcessMemoryInfo;
        const char* pairs[][2] = {{"FriendlyName", "s"}, {"GameDir", "mod"}, {"Host", "127.0.0.1"},
                                  {"MaxPlayers", "8"},   {"MapName", "m"},   {"MiscArgs", "-tickrate 66"},
                                  {"Priority", "High"},  {"Affinity", "2"},  {"MaxMemory", "64"},
                                  {"MonitorDelay", "0"}, {"UpdPath", "tools"}, {"UpdArgs", "232330"}};
        for (auto& pair : pairs) {
            keys.Set(pair[0], pair[1]);
        }
        keys.Set("Port", FreePort().c_str());
        Set("Path", dir + "\\srv");
    }

    void TearDown() override {
        if (monitor) {
            StopMonitor(*monitor);
        }
        CloseHandle(firstServer);
        CloseHandle(LogMutex);
        CloseHandle(UpdMutex);
        WineTest::TearDown();
    }

    // Sets a key of the server's block and builds its entry anew from them.
    void Set(const char* key, const std::string& value) {
        keys.Set(key, value.c_str());
        ServerEntry* built = ReadServerKeys(keys);
        entry = *built;
        FreeServerEntry(built);
    }

    std::string Path(const std::string& file = "") { return entry.Path + file; }

    // srcds.exe with its control lines (one per launch), the game directory,
    // and the tool in Path\tools with its control text.
    void Server(const std::string& srcds, const std::string& tool = "") {
        Place("srv", "srcds.exe");
        CreateDirectoryA(Path("\\mod").c_str(), nullptr);
        WriteText(Path("\\srcds_control.txt"), srcds);
        WriteText(Place("srv\\tools", "steamcmd.exe") + "\\steamcmd_control.txt", tool);
    }

    // Starts afresh at second 0 (1000 on the clock) with the entry as it is now.
    void Restart() {
        StopMonitor(*monitor);
        monitor.reset();
        now = 1000;
        logRead = ReadText("corvane.log").size();
    }

    // Runs the machine up to the given second and returns each line logged as
    // "<second> <message>". Before a check the server settles (has bound its
    // port under its control line, or ended); a started tool gets up to 10 s
    // to end unless its record says it hangs: the clock then jumps to its deadline.
    Lines Run(int64_t until) {
        if (!monitor) {
            monitor.reset(new MonitorState(entry));
            StartMonitor(*monitor);
        }
        Lines seen;
        std::string record = Path("\\tools\\steamcmd_record.txt");
        while ((now = std::max(now, monitor->nextActionTime)) <= 1000 + until) {
            HANDLE server = monitor->server.hProcess;
            std::string pid = std::to_string(GetProcessId(server));
            for (int i = 0; i < 1000 && monitor->state == WatchServer && !ProcessExited(server) &&
                            RecordValue(Path("\\srcds_record.txt"), "pid") != pid;
                 ++i) {
                Sleep(10);
            }
            HANDLE tool = monitor->tool.hProcess;
            RunStateAction(*monitor, now);
            if (firstServer == nullptr && monitor->server.hProcess != nullptr) {
                firstServer = Duplicate(monitor->server.hProcess);
            }
            std::string log = ReadText("corvane.log");
            for (size_t at; (at = log.find("\r\n", logRead)) != std::string::npos; logRead = at + 2) {
                seen.push_back(std::to_string(now - 1000) + log.substr(logRead + 24, at - logRead - 24));
            }
            toolStarts += monitor->tool.hProcess != tool && monitor->tool.hProcess != nullptr;
            for (int i = 0; i < 1000 && monitor->tool.hProcess != tool && monitor->tool.hProcess &&
                            !ProcessExited(monitor->tool.hProcess);
                 ++i) {
                if (Count(ReadText(record), "\nend\n") == toolStarts &&
                    RecordValue(record, "mode") == "hang") {
                    now = monitor->toolDeadline;
                    break;
                }
                Sleep(10);
            }
        }
        return seen;
    }

    // True when another thread can take UpdMutex at once.
    static bool UpdMutexFree() {
        HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
            DWORD result = WaitForSingleObject(UpdMutex, 0);
            return result == WAIT_OBJECT_0 && ReleaseMutex(UpdMutex);
        }, nullptr, 0, nullptr);
        DWORD free = 0;
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &free);
        CloseHandle(thread);
        return free != 0;
    }

    KeyTable keys{KeyTableBuckets};
    ServerEntry entry = {};
    std::unique_ptr<MonitorState> monitor;
    int64_t now = 1000;
    size_t logRead = 0;
    size_t toolStarts = 0;
    HANDLE firstServer = nullptr; // the first launch, kept for its exit code
};

struct Case {
    const char* name;
    const char* srcds; // control lines, one per launch
    const char* tool;  // the tool's control
    const char* monitorDelay;
    int64_t until;
    DWORD firstExitCode; // of the first launch at the end; 259: it still runs
    Lines expected;
};

const Case Cases[] = {
    {"healthy_in_challenge_mode", "challenge\n", "", "7", 40, STILL_ACTIVE, {"0 " + Up}},
    {"exit", "exit 3\nanswer\n", "", "7", 30, 3, {"0 " + Up, "7 " + Ended, "12 " + Up}},
    {"silence", "silent\nanswer\n", "", "abc", 30, 1, {"0 " + Up, "15 " + Hung, "20 " + Up}},
    {"wrong_reply_type", "badheader\nanswer\n", "", "0", 30, 1, {"0 " + Up, "15 " + Hung, "20 " + Up}},
    {"challenge_never_met", "challengeonly\n", "", "0", 19, 1, {"0 " + Up, "15 " + Hung}},
    {"memory", "commit 100\nanswer\n", "", "010", 20, 1,
     {"0 " + Up, R"(10 "s" exceeded memory limit and has been terminated)", "15 " + Up}},
    {"update_requested_at_the_end", "request 3\nanswer\n", "", "0", 20, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "10 " + Completed, "15 " + Up}},
    {"tool_updates_itself", "request 3\nanswer\n", "check selfupdate,uptodate\n", "0", 25, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 [Update] Tool has been updated",
      "10 " + Check, "10 " + UpToDate, "15 " + Launched, "15 " + Completed, "20 " + Up}},
    {"three_unreliable_runs", "request 3\nanswer\n", "run fail\n", "0", 45, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "10 [Update] Result unreliable, retry in 10s", "20 " + Launched,
      "20 [Update] Result unreliable, retry in 10s", "30 " + Launched,
      "30 [Update] Ran 3 times without reliable result", "40 " + Up}},
    {"cut_off_runs_count", "request 3\nanswer\n", "run hang,fail\n", "0", 1400, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "1210 [Update] Timed out, retry in 120s", "1330 " + Launched,
      "1330 [Update] Result unreliable, retry in 10s", "1340 " + Launched,
      "1340 [Update] Ran 3 times without reliable result", "1350 " + Up}},
    {"hung_tool_check", "request 3\nanswer\n", "check hang\n", "0", 200, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check,
      "65 [Update] Timed out, retry in 120s", "185 " + Check}},
};

class MonitorCases : public MonitorStates, public ::testing::WithParamInterface<Case> {};

TEST_P(MonitorCases, LogsItsLinesAtTheirSeconds) {
    const Case& c = GetParam();
    Server(c.srcds, c.tool);
    Set("MonitorDelay", c.monitorDelay);
    EXPECT_EQ(c.expected, Run(c.until));
    EXPECT_EQ(c.firstExitCode, ExitCode(firstServer));
    if (monitor->state <= WatchServer) { // the cycle is over
        EXPECT_FALSE(FileExists(Path("\\mod\\update_request.txt").c_str()));
        EXPECT_TRUE(UpdMutexFree());
    }
}

INSTANTIATE_TEST_SUITE_P(Each, MonitorCases, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

TEST_F(MonitorStates, LaunchesAsConfiguredAndUpdatesBeforeIfAskedOrNotInstalled) {
    Server("answer\n");
    WriteText(Path("\\mod\\update_request.txt"), "");
    const Lines cycle = {"0 " + Check, "0 " + UpToDate, "5 " + Launched, "5 " + Completed, "10 " + Up};
    EXPECT_EQ(cycle, Run(12));
    std::string record = Path("\\srcds_record.txt"), tool = Path("\\tools\\steamcmd_record.txt");
    EXPECT_EQ("arg0 -console -game mod -ip 127.0.0.1 -port " + std::string(entry.Port) +
                  " -maxplayers 8 +map m -tickrate 66", RecordValue(record, "cmdline"));
    EXPECT_EQ(Path(), RecordValue(record, "cwd"));
    EXPECT_EQ("0x80", RecordValue(record, "priority"));
    EXPECT_EQ("0x2", RecordValue(record, "affinity"));
    EXPECT_LT(ReadText(tool).find("\ncmdline=arg0 +quit\n"), ReadText(tool).find("kind=run"));
    EXPECT_EQ(Path("\\tools"), RecordValue(tool, "cwd"));
    EXPECT_EQ("force_install_dir \"" + Path() + "\"\\nlogin anonymous\\napp_update 232330\\nquit\\n",
              RecordValue(tool, "stdin"));
    EXPECT_EQ("[UpdateLog for \"s\" follows]\r\nLogging in anonymously... OK\r\r\n"
              "Success! App '232330' fully installed.\r\r\n\r\n",
              ReadText("corvane_update.log").substr(25));
    Restart(); // not installed: the tool beside the missing Path puts srcds.exe there
    Set("Path", dir + "\\new");
    Set("UpdPath", "..\\srv\\tools");
    EXPECT_EQ(cycle, Run(12));
}

TEST_F(MonitorStates, FailedLaunchesAreRetriedEveryTenSeconds) {
    Set("Path", dir + "\\" + std::string(235 - dir.size(), 'p')); // Path\mod\update_request.txt: 259
    CreateDirectoryA(entry.Path, nullptr);
    EXPECT_EQ((Lines{R"(0 CreateServerProcess failed for "s", retry in 10s)",
                     R"(10 CreateServerProcess failed for "s", retry in 10s)"}),
              Run(15));
    Restart();
    Set("Path", dir + "\\" + std::string(236 - dir.size(), 'p'));
    EXPECT_EQ((Lines{R"(0 "s" cannot be launched: its path is too long, retry in 10s)",
                     R"(10 "s" cannot be launched: its path is too long, retry in 10s)"}),
              Run(15));
}

TEST_F(MonitorStates, AMutexHeldElsewhereOrAToolThatCannotStartIsWaitedFor) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, [](LPVOID event) -> DWORD {
        WaitForSingleObject(UpdMutex, INFINITE);
        WaitForSingleObject(event, INFINITE);
        return ReleaseMutex(UpdMutex);
    }, release, 0, nullptr);
    Sleep(100);
    Server("request 3\nanswer\n");
    DeleteFileA(Path("\\tools\\steamcmd.exe").c_str());
    EXPECT_EQ((Lines{"0 " + Up, "0 " + Ended, "0 " + Requested}), Run(30)); // tries at 5, 15, 25
    SetEvent(release);
    WaitForSingleObject(holder, INFINITE);
    const std::string failed = R"([Update] CreateUpdateProcess failed for "s", retry in 10s)";
    EXPECT_EQ((Lines{"35 " + failed, "45 " + failed}), Run(50));
    Place("srv\\tools", "steamcmd.exe");
    EXPECT_EQ((Lines{"55 " + Check, "55 " + UpToDate, "60 " + Launched, "60 " + Completed}), Run(60));
}

TEST_F(MonitorStates, AStopEndsTheServerOrTheToolWithExitCodeZero) {
    Server("answer\n", "run hang\n");
    Run(0);
    HANDLE server = Duplicate(monitor->server.hProcess);
    StopMonitor(*monitor);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 5000));
    EXPECT_EQ(0u, ExitCode(server));
    Restart();
    WriteText(Path("\\mod\\update_request.txt"), "");
    Run(5); // the update run starts and hangs
    HANDLE tool = Duplicate(monitor->tool.hProcess);
    StopMonitor(*monitor);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(tool, 5000));
    EXPECT_EQ(0u, ExitCode(tool));
    EXPECT_EQ(nullptr, monitor->outputPipe);
    Restart(); // a server that has ended by itself is not reported at the stop
    DeleteFileA(Path("\\mod\\update_request.txt").c_str());
    WriteText(Path("\\srcds_control.txt"), "exit 3\n");
    Set("MonitorDelay", "5");
    Run(0);
    WaitForSingleObject(monitor->server.hProcess, 5000);
    StopMonitor(*monitor);
    std::string log = ReadText("corvane.log");
    EXPECT_EQ(1u, Count(log, ": \"s\" has been terminated\r\n")) << log;
    EXPECT_EQ(1u, Count(log, ": [Update] Terminated for \"s\"\r\n")) << log;
    EXPECT_EQ(logRead, log.size()) << log; // nothing since the launch line
}

TEST_F(MonitorStates, RelaunchesAndUpdatesLeaveNoHandleBehind) {
    Server("request 3\n");
    Run(15); // a launch, its end, an update, the next launch and its end
    size_t held = CountOwnHandles();
    Run(60);
    EXPECT_EQ(held, CountOwnHandles());
    DeleteFileA(Path("\\tools\\steamcmd.exe").c_str());
    HANDLE pipe = nullptr;
    EXPECT_FALSE(CreateUpdateProcess(entry, monitor->tool, pipe, false));
    EXPECT_EQ(held, CountOwnHandles());
}

TEST_F(MonitorStates, OutputWrittenJustBeforeTheExitIsJudged) {
    Server("answer\n", "run gated\n");
    WriteText(Path("\\mod\\update_request.txt"), "");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "StandinGate");
    EXPECT_EQ((Lines{"0 " + Check, "0 " + UpToDate}), Run(4));
    RunStateAction(*monitor, now); // the run starts and holds back its last line
    gate = event;
    EXPECT_EQ((Lines{"5 " + Launched, "5 " + Completed, "10 " + Up}), Run(10));
}

TEST_F(MonitorStates, AnUpdateLogThatCannotBeWrittenIsOneLine) {
    Server("answer\n");
    WriteText(Path("\\mod\\update_request.txt"), "");
    CreateDirectoryA("corvane_update.log", nullptr);
    EXPECT_EQ((Lines{"0 " + Check, "0 " + UpToDate, "5 " + Launched,
                     R"(5 [Update] Failed to write log to "corvane_update.log")", "5 " + Completed,
                     "10 " + Up}),
              Run(12));
}

} // namespace
