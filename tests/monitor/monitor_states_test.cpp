// The monitor's states, update cycle included, stepped by hand through real
// stand-in servers and tools, real pipes and mutexes and the real logs. Time
// is an argument of every action, so each delay and deadline (5, 10, 60, 120
// and 1200 s) is checked to the second without being waited for. Every case
// also holds what holds for all: the launch and the tool runs as configured,
// the stop ending what still runs with exit code 0, and no handle left behind.
#include "helpers/win_test.h"

#include <memory>

#include "config/server_entry.h"
#include "monitor/monitor_thread.h"
#include "monitor/server_query.h"
#include "support/event_log.h"
#include "support/file_helpers.h"
#include "support/memory_query.h"
#include "support/shared_mutexes.h"
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

// Wine now and then refuses to start a process on a loaded machine, with
// ERROR_INTERNAL_ERROR, which Windows does not give for these programs: such a
// start is taken again, the one retry these tests make.
template <typename Start> static bool StartAgainIfWineRefused(Start start) {
    bool started = start();
    for (int retry = 0; retry < 3 && !started && GetLastError() == ERROR_INTERNAL_ERROR; ++retry) {
        printf("\nWine refused a process start; it is taken again\n");
        started = start();
    }
    return started;
}
extern "C" bool __real__Z19CreateServerProcessRK11ServerEntryR20_PROCESS_INFORMATION(
    const ServerEntry& entry, PROCESS_INFORMATION& process);
extern "C" bool __wrap__Z19CreateServerProcessRK11ServerEntryR20_PROCESS_INFORMATION(
    const ServerEntry& entry, PROCESS_INFORMATION& process) {
    return StartAgainIfWineRefused([&] {
        return __real__Z19CreateServerProcessRK11ServerEntryR20_PROCESS_INFORMATION(entry, process);
    });
}
extern "C" bool __real__Z19CreateUpdateProcessRK11ServerEntryR20_PROCESS_INFORMATIONRPv7ToolRun(
    const ServerEntry& entry, PROCESS_INFORMATION& process, HANDLE& pipe, ToolRun run);
extern "C" bool __wrap__Z19CreateUpdateProcessRK11ServerEntryR20_PROCESS_INFORMATIONRPv7ToolRun(
    const ServerEntry& entry, PROCESS_INFORMATION& process, HANDLE& pipe, ToolRun run) {
    return StartAgainIfWineRefused([&] {
        return __real__Z19CreateUpdateProcessRK11ServerEntryR20_PROCESS_INFORMATIONRPv7ToolRun(
            entry, process, pipe, run);
    });
}

namespace {

using Lines = std::vector<std::string>;
const std::string Up = R"("s" launched successfully)", Ended = R"("s" has terminated)",
                  Requested = R"("s" requested an update)", Check = "[Update] Tool version check",
                  UpToDate = "[Update] Tool is up to date", Launched = R"([Update] Launched for "s")",
                  Completed = "[Update] Completed successfully",
                  Unreliable = "[Update] Result unreliable, retry in 10s",
                  GaveUp = "[Update] Ran 3 times without reliable result",
                  Hung = R"("s" was unresponsive and has been terminated)",
                  SelfUpdated = "[Update] Tool has been updated",
                  TimedOut = "[Update] Timed out, retry in 120s",
                  Install = R"("s" has no srcds.exe, an update installs it)";

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
  public:
    static void SetUpTestSuite() { // the first query, launch, pipe and name make lasting handles
        WSADATA socketLayer;
        WSAStartup(MAKEWORD(2, 2), &socketLayer);
        QueryServer("127.0.0.1", "9", 1);
        PROCESS_INFORMATION process = {};
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        CreateProcessA(CORVANE_STANDIN_EXE, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process);
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseProcessHandles(process);
        HANDLE pipe[2];
        CreatePipe(&pipe[0], &pipe[1], nullptr, 0);
        CloseHandle(pipe[0]);
        CloseHandle(pipe[1]);
        CloseHandle(CreateEventA(nullptr, TRUE, FALSE, "StandinWarmUp")); // the names' directory
        ProcessJob = CreateProcessJob(); // as the service has it
    }

    void SetUp() override {
        WineTest::SetUp();
        LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
        UpdMutex = CreateMutexA(nullptr, FALSE, nullptr);
        QueryProcessMemory = GetProcessMemoryInfo;
        const char* pairs[][2] = {
            {"FriendlyName", "s"}, {"GameDir", "mod"},      {"Host", "127.0.0.1"},
            {"MaxPlayers", "8"},   {"MapName", "m"},        {"MiscArgs", "-tickrate 66"},
            {"Priority", "High"},  {"Affinity", "2"},       {"MaxMemory", "64"},
            {"MonitorDelay", "0"}, {"UpdPath", "tools"},    {"UpdArgs", "232330"}};
        for (auto& pair : pairs) {
            keys.Set(pair[0], pair[1]);
        }
        keys.Set("Port", FreePort().c_str());
        Set("Path", dir + "\\srv");
        handles = CountOwnHandles();
    }

    void TearDown() override {
        if (monitor) {
            StopMonitor(*monitor);
        }
        CloseHandle(firstServer);
        EXPECT_EQ(handles, CountOwnHandles()) << "handles left behind";
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
        // A pass a second while a build check runs; otherwise on to the next action.
        while ((now = monitor->buildCheckRuns ? now + 1 : std::max(now, monitor->nextActionTime)) <=
               1000 + until) {
            HANDLE server = monitor->server.hProcess;
            std::string pid = std::to_string(GetProcessId(server));
            for (int i = 0; i < 1000 && monitor->state == WatchServer && !ProcessExited(server) &&
                            RecordValue(Path("\\srcds_record.txt"), "pid") != pid;
                 ++i) {
                Sleep(10);
            }
            HANDLE tool = monitor->tool.hProcess;
            RunPass(*monitor, now);
            EXPECT_TRUE(monitor->state != AcquireUpdateLock || heldElsewhere || UpdMutexFree())
                << "the mutex is kept while the cycle waits, at second " << now - 1000;
            if (firstServer == nullptr && monitor->server.hProcess != nullptr) {
                firstServer = Duplicate(monitor->server.hProcess);
            }
            std::string log = ReadText("corvane.log");
            for (size_t at; (at = log.find("\r\n", logRead)) != std::string::npos; logRead = at + 2) {
                seen.push_back(std::to_string(now - 1000) + log.substr(logRead + 24, at - logRead - 24));
            }
            if (monitor->tool.hProcess != tool && monitor->tool.hProcess != nullptr) {
                ++toolStarts;
                for (int i = 0; i < 1000 && !ProcessExited(monitor->tool.hProcess) &&
                                (Count(ReadText(record), "\nend\n") < toolStarts ||
                                 RecordValue(record, "mode") != "hang");
                     ++i) {
                    Sleep(10);
                }
                if (!ProcessExited(monitor->tool.hProcess)) {
                    now = monitor->toolDeadline;
                }
            }
        }
        return seen;
    }

    // Stops the machine; what still ran ends with exit code 0 and one line.
    void Stop() {
        HANDLE server = monitor->server.hProcess && !ProcessExited(monitor->server.hProcess)
                            ? Duplicate(monitor->server.hProcess) : nullptr;
        HANDLE tool = monitor->tool.hProcess && !ProcessExited(monitor->tool.hProcess)
                          ? Duplicate(monitor->tool.hProcess) : nullptr;
        StopMonitor(*monitor);
        Lines expected;
        for (HANDLE process : {server, tool}) {
            if (process != nullptr) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
                EXPECT_EQ(0u, ExitCode(process));
                CloseHandle(process);
                expected.push_back(process == server ? R"("s" has been terminated)"
                                                     : R"([Update] Terminated for "s")");
            }
        }
        EXPECT_EQ(nullptr, monitor->outputPipe);
        monitor.reset();
        std::string log = ReadText("corvane.log");
        Lines lines;
        for (size_t at; (at = log.find("\r\n", logRead)) != std::string::npos; logRead = at + 2) {
            lines.push_back(log.substr(logRead + 25, at - logRead - 25));
        }
        EXPECT_EQ(expected, lines);
        now = 1000;
    }

    // True when another thread can take UpdMutex at once.
    static bool UpdMutexFree() {
        HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
            return WaitForSingleObject(UpdMutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(UpdMutex);
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
    size_t logRead = 0, toolStarts = 0, handles = 0;
    bool heldElsewhere = false; // UpdMutex, by another thread
    HANDLE firstServer = nullptr; // the first launch, kept for its exit code
};

enum Setup { Plain, RequestFile, NotInstalled, NoSrcds, NoTool, UpdateLogDir, LongestPath, TooLongPath };

struct Case {
    const char* name;
    const char* srcds; // control lines, one per launch
    const char* tool;  // the tool's control
    const char* monitorDelay;
    Setup setup;
    int64_t until;
    DWORD firstExitCode; // of the first launch at the end; 259: it still runs
    Lines expected;
};

const Lines Cycle = {"0 " + Check, "0 " + UpToDate, "5 " + Launched, "5 " + Completed, "10 " + Up};
const std::string Failed = R"( CreateServerProcess failed for "s", retry in 10s)",
                  TooLong = R"( "s" cannot be launched: its path is too long, retry in 10s)",
                  NotStarted = R"( [Update] CreateUpdateProcess failed for "s", retry in 10s)";
const Case Cases[] = {
    {"healthy_in_challenge_mode", "challenge\n", "", "7", Plain, 40, STILL_ACTIVE, {"0 " + Up}},
    {"exit", "exit 3\nanswer\n", "", "7", Plain, 30, 3, {"0 " + Up, "7 " + Ended, "12 " + Up}},
    {"silence", "silent\nanswer\n", "", "abc", Plain, 30, 1, {"0 " + Up, "15 " + Hung, "20 " + Up}},
    {"wrong_reply_type", "badheader\nanswer\n", "", "0", Plain, 30, 1,
     {"0 " + Up, "15 " + Hung, "20 " + Up}},
    {"challenge_never_met", "challengeonly\n", "", "0", Plain, 19, 1, {"0 " + Up, "15 " + Hung}},
    {"memory", "commit 100\nanswer\n", "", "010", Plain, 20, 1,
     {"0 " + Up, R"(10 "s" exceeded memory limit and has been terminated)", "15 " + Up}},
    {"longest_path", "", "", "0", LongestPath, 15, STILL_ACTIVE, {"0" + Failed, "10" + Failed}},
    {"srcds_missing", "", "", "0", NoSrcds, 12, STILL_ACTIVE, {"0 " + Install, "0 " + Check,
     "0 " + UpToDate, "5 " + Launched, "5 " + Completed, "10 " + Up}},
    {"monitor_delay_below_zero", "answer\n", "", "-5", Plain, 1, STILL_ACTIVE,
     {R"(0 "s" has MonitorDelay "-5" out of range (0 to 3600), read as 0)", "0 " + Up}},
    {"monitor_delay_above_an_hour", "exit 3\nanswer\n", "", "3601", Plain, 5, 3,
     {R"(0 "s" has MonitorDelay "3601" out of range (0 to 3600), read as 0)", "0 " + Up,
      "0 " + Ended, "5 " + Up}},
    {"monitor_delay_of_an_hour", "exit 3\nanswer\n", "", "3600", Plain, 3600, 3,
     {"0 " + Up, "3600 " + Ended}},
    {"path_too_long", "", "", "0", TooLongPath, 15, STILL_ACTIVE, {"0" + TooLong, "10" + TooLong}},
    {"update_requested_at_the_end", "request 3\nanswer\n", "", "0", Plain, 20, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "10 " + Completed, "15 " + Up}},
    {"update_requested_at_the_start", "answer\n", "", "0", RequestFile, 12, STILL_ACTIVE, Cycle},
    {"not_installed", "answer\n", "", "0", NotInstalled, 12, STILL_ACTIVE, {"0 " + Install, "0 " + Check,
     "0 " + UpToDate, "5 " + Launched, "5 " + Completed, "10 " + Up}},
    {"tool_keeps_updating_itself", "request 3\nanswer\n", "check selfupdate\n", "0", Plain, 25, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + SelfUpdated, "10 " + Check,
      "10 " + SelfUpdated, "15 " + Check, "15 " + SelfUpdated,
      R"(15 [Update] Gave up on "s": the tool keeps updating itself)", "25 " + Up}},
    {"tool_updates_itself", "request 3\nanswer\n", "check selfupdate,uptodate\n", "0", Plain, 25, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 [Update] Tool has been updated",
      "10 " + Check, "10 " + UpToDate, "15 " + Launched, "15 " + Completed, "20 " + Up}},
    {"three_unreliable_runs", "request 3\nanswer\n", "run fail\n", "0", Plain, 45, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "10 " + Unreliable, "20 " + Launched, "20 " + Unreliable, "30 " + Launched, "30 " + GaveUp,
      "40 " + Up}},
    {"cut_off_runs_count", "request 3\nanswer\n", "run hang,fail\n", "0", Plain, 1400, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "1210 " + TimedOut, "1330 " + Launched, "1330 " + Unreliable, "1340 " + Launched,
      "1340 " + GaveUp, "1350 " + Up}},
    {"runs_that_always_hang", "request 3\nanswer\n", "run hang\n", "0", Plain, 3860, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate, "10 " + Launched,
      "1210 " + TimedOut, "1330 " + Launched, "2530 " + TimedOut, "2650 " + Launched,
      "3850 " + GaveUp, "3860 " + Up}},
    {"checks_that_always_hang", "request 3\nanswer\n", "check hang\n", "0", Plain, 435, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "65 " + TimedOut, "185 " + Check,
      "245 " + TimedOut, "365 " + Check, R"(425 [Update] Gave up on "s" after 3 tries)",
      "435 " + Up}},
    {"tool_missing", "request 3\nanswer\n", "", "0", NoTool, 35, 3,
     {"0 " + Up, "0 " + Ended, "0 " + Requested, "5" + NotStarted, "15" + NotStarted,
      R"(25 [Update] Gave up on "s" after 3 tries)", "35 " + Up}},
    {"update_log_unwritable", "answer\n", "", "0", UpdateLogDir, 12, STILL_ACTIVE,
     {"0 " + Check, "0 " + UpToDate, "5 " + Launched,
      R"(5 [Update] Failed to write log to "corvane_update.log")", "5 " + Completed, "10 " + Up}},
};

class MonitorCases : public MonitorStates, public ::testing::WithParamInterface<Case> {};

TEST_P(MonitorCases, LogsItsLinesAtTheirSeconds) {
    const Case& c = GetParam();
    Server(c.srcds, c.tool);
    Set("MonitorDelay", c.monitorDelay);
    if (c.setup == RequestFile || c.setup == UpdateLogDir) {
        WriteText(Path("\\mod\\update_request.txt"), "");
    }
    CreateDirectoryA(c.setup == UpdateLogDir ? "corvane_update.log" : "", nullptr);
    DeleteFileA(Path(c.setup == NoTool ? "\\tools\\steamcmd.exe" : "\\x").c_str());
    DeleteFileA(Path(c.setup == NoSrcds ? "\\srcds.exe" : "\\x").c_str());
    if (c.setup == NotInstalled) { // the tool beside it puts srcds.exe there
        Set("UpdPath", "..\\srv\\tools");
        Set("Path", dir + "\\new");
    } else if (c.setup == LongestPath || c.setup == TooLongPath) { // its request file: 259, 260
        Set("Path", dir + "\\" + std::string(235 - dir.size() + (c.setup == TooLongPath), 'p'));
        CreateDirectoryA(entry.Path, nullptr);
        WriteText(Path("\\srcds.exe"), ""); // cannot be started
    }
    EXPECT_EQ(c.expected, Run(c.until));
    EXPECT_EQ(c.firstExitCode, firstServer ? ExitCode(firstServer) : STILL_ACTIVE);
    if (monitor->state <= WatchServer) { // no cycle under way
        EXPECT_FALSE(FileExists(Path("\\mod\\update_request.txt").c_str()));
        EXPECT_TRUE(UpdMutexFree());
    }
    std::string record = Path("\\srcds_record.txt");
    if (FileExists(record.c_str())) {
        EXPECT_EQ("arg0 -console -game mod -ip 127.0.0.1 -port " + std::string(entry.Port) +
                      " -maxplayers 8 +map m -tickrate 66", RecordValue(record, "cmdline"));
        EXPECT_EQ(Path(), RecordValue(record, "cwd"));
        EXPECT_EQ("0x80", RecordValue(record, "priority"));
        EXPECT_EQ("0x2", RecordValue(record, "affinity"));
    }
    char tool[MAX_PATH];
    GetFullPathNameA((Path("\\") + entry.UpdPath).c_str(), sizeof tool, tool, nullptr);
    std::string tools = ReadText(tool + std::string("\\steamcmd_record.txt"));
    EXPECT_EQ(Count(tools, "\nend\n"), Count(tools, "\ncwd=" + std::string(tool) + "\n"));
    EXPECT_EQ(Count(tools, "kind=check\n"), Count(tools, "\ncmdline=arg0 +quit\n"));
    EXPECT_EQ(Count(tools, "kind=run\n"), Count(tools, "\nstdin=force_install_dir \"" + Path() +
                                                       "\"\\nlogin anonymous\\napp_update 232330\\nquit\\n\n"));
    if (!DirExists("corvane_update.log")) { // one record per run ended, as its output came
        std::string updateLog = ReadText("corvane_update.log");
        EXPECT_EQ(Count(tools, "kind=run\n") - (monitor->state == AwaitUpdate),
                  Count(updateLog, ": [UpdateLog for \"s\" follows]\r\n"));
        EXPECT_EQ(Count(tools, "\nmode=success\n"),
                  Count(updateLog, ": [UpdateLog for \"s\" follows]\r\nLogging in anonymously... OK\r\r\n"
                                   "Success! App '232330' fully installed.\r\r\n\r\n"));
    }
    Stop();
}

INSTANTIATE_TEST_SUITE_P(Each, MonitorCases, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

TEST_F(MonitorStates, AnUpdateMutexHeldElsewhereIsWaitedForWithoutALine) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, [](LPVOID event) -> DWORD {
        WaitForSingleObject(UpdMutex, INFINITE);
        WaitForSingleObject(event, INFINITE);
        return ReleaseMutex(UpdMutex);
    }, release, 0, nullptr);
    Sleep(100);
    Server("request 3\nanswer\n");
    heldElsewhere = true;
    EXPECT_EQ((Lines{"0 " + Up, "0 " + Ended, "0 " + Requested}), Run(30)); // tries at 5, 15, 25
    heldElsewhere = false;
    SetEvent(release);
    WaitForSingleObject(holder, INFINITE);
    EXPECT_EQ((Lines{"35 " + Check, "35 " + UpToDate, "40 " + Launched, "40 " + Completed}), Run(40));
    CloseHandle(holder);
    CloseHandle(release);
    Stop();
}

TEST_F(MonitorStates, QueriesThatCannotBeSentOrALaunchThatFailsAsked) {
    Server("answer\n");
    Run(0);
    Set("Host", "no-such-host.invalid");
    EXPECT_EQ(Lines{R"(5 "s" cannot be queried at no-such-host.invalid:)" + std::string(entry.Port) +
                    " (error 11001), its hang detection is off"},
              Run(12));
    Set("Host", "0.0.0.0"); // bound to every interface, so queried at 127.0.0.1
    EXPECT_EQ(Lines{R"(15 "s" can be queried again, its hang detection is on)"}, Run(16));
    Stop();
    WriteText(Path("\\srcds.exe"), ""); // there, but cannot be started
    EXPECT_EQ(Lines{"0" + Failed}, Run(0));
    WriteText(Path("\\mod\\update_request.txt"), "");
    EXPECT_EQ((Lines{"10 " + Requested, "15 " + Check, "15 " + UpToDate}), Run(15));
    Stop();
}

TEST_F(MonitorStates, AToolInheritsOnlyItsPipeEnds) {
    Server("silent\n", "check hang\n");
    Run(0);
    HANDLE query = CreateThread(nullptr, 0, [](LPVOID port) -> DWORD { // a socket open for 2 s
        return QueryServer("127.0.0.1", static_cast<const char*>(port), 2000);
    }, entry.Port, 0, nullptr);
    Sleep(500);
    PROCESS_INFORMATION tool = {};
    HANDLE pipe = nullptr;
    ASSERT_TRUE(CreateUpdateProcess(entry, tool, pipe, ToolCheck)); // it hangs
    FILE* log = OpenLogFile("corvane.log");
    DWORD flags[2] = {HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT};
    GetHandleInformation(pipe, &flags[0]);
    GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(log))), &flags[1]);
    fclose(log);
    EXPECT_EQ(0u, (flags[0] | flags[1]) & HANDLE_FLAG_INHERIT);
    WaitForSingleObject(query, INFINITE);
    CloseHandle(query);
    std::string ports = ReadText(Path("\\srcds_requests.txt")); // the query's is the last
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(atoi(&ports[ports.rfind('\n', ports.size() - 2) + 1])));
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address)) // free again
        << WSAGetLastError();
    closesocket(probe);
    TerminateProcess(tool.hProcess, 0);
    WaitForSingleObject(tool.hProcess, 5000);
    CloseProcessHandles(tool);
    CloseHandle(pipe);
    Stop();
}

TEST_F(MonitorStates, AFailingServerPausesLongerEachTimeUpToTheLongest) {
    Server("exit 3\n"); // at every launch
    Set("RestartBackoff", "45");
    const std::string failing = R"( "s" keeps failing, next launch in )";
    EXPECT_EQ((Lines{"0 " + Up, "0 " + Ended, "5 " + Up, "5 " + Ended, "5" + failing + "10s",
                     "15 " + Up, "15 " + Ended, "15" + failing + "20s", "35 " + Up, "35 " + Ended,
                     "35" + failing + "40s", "75 " + Up, "75 " + Ended, "75" + failing + "45s"}),
              Run(119));
    WriteText(Path("\\srcds_control.txt"), "exit 3\nanswer\n"); // the sixth launch runs a minute
    EXPECT_EQ((Lines{"120 " + Up}), Run(179));
    WriteText(Path("\\srcds_control.txt"), "exit 3\n"); // then ends: the pause is as usual again
    WaitForSingleObject(monitor->server.hProcess, 5000);
    EXPECT_EQ((Lines{"180 " + Ended, "185 " + Up, "185 " + Ended}), Run(185));
    Stop();
    WriteText(Path("\\srcds.exe"), ""); // failed launches count as short runs
    EXPECT_EQ((Lines{"0" + Failed, "10" + Failed, R"(20 CreateServerProcess failed for "s", retry in 20s)"}),
              Run(20));
    Stop();
    Place("srv", "srcds.exe");
    WriteText(Path("\\srcds_control.txt"), "request 3\n"); // an update comes without a pause
    Set("MonitorDelay", "0");
    EXPECT_EQ((Lines{"0 " + Up, "0 " + Ended, "0 " + Requested, "5 " + Check, "5 " + UpToDate,
                     "10 " + Launched, "10 " + Completed, "15 " + Up, "15 " + Ended,
                     "15 " + Requested, "20 " + Check, "20 " + UpToDate}), Run(20));
    Stop();
}

TEST_F(MonitorStates, AServerIsHeldWhileItsStopRequestIsThere) {
    Server("answer\n");
    EXPECT_EQ(Lines{"0 " + Up}, Run(0));
    HANDLE server = Duplicate(monitor->server.hProcess);
    WriteText(Path("\\mod\\stop_request.txt"), "");
    EXPECT_EQ(Lines{R"(5 "s" is held by stop_request.txt, not launched until it is removed)"}, Run(7));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 5000));
    EXPECT_EQ(0u, ExitCode(server));
    CloseHandle(server);
    DeleteFileA(Path("\\mod\\stop_request.txt").c_str());
    EXPECT_EQ(Lines{"8 " + Up}, Run(9));
    Stop();
}

TEST_F(MonitorStates, AProcessOutsideTheJobIsSaidOnce) {
    HANDLE job = ProcessJob;
    ProcessJob = CreateEventA(nullptr, TRUE, FALSE, nullptr); // no job: it refuses every process
    Server("exit 3\n");
    EXPECT_EQ((Lines{"0 Servers and tools cannot be put in the service's job (error 6): they "
                     "outlive a service that ends without its stop", "0 " + Up, "0 " + Ended,
                     "5 " + Up, "5 " + Ended}),
              Run(5));
    Stop();
    CloseHandle(ProcessJob);
    ProcessJob = job;
}

TEST_F(MonitorStates, AnUpdateWaitsForAnEmptyServerOrItsLimit) {
    Server("players 3 1\n"); // two players and a bot
    Set("UpdateWait", "2");
    EXPECT_EQ(Lines{"0 " + Up}, Run(4));
    WriteText(Path("\\mod\\update_request.txt"), "");
    EXPECT_EQ(Lines{R"(5 "s" has an update waiting for an empty server)"}, Run(14));
    HANDLE server = Duplicate(monitor->server.hProcess);
    WriteText(Path("\\srcds_control.txt"), "players 2 2\n"); // bots only: empty
    Sleep(300);
    EXPECT_EQ((Lines{R"(15 "s" is empty and has been terminated for its update)", "20 " + Check,
                     "20 " + UpToDate, "25 " + Launched, "25 " + Completed, "30 " + Up}),
              Run(30));
    EXPECT_EQ(0u, ExitCode(server));
    CloseHandle(server);
    WriteText(Path("\\srcds_control.txt"), "players 5 0\n");
    Sleep(300);
    WriteText(Path("\\mod\\update_request.txt"), "");
    EXPECT_EQ((Lines{R"(35 "s" has an update waiting for an empty server)",
                     R"(155 "s" waited 2 minutes for an empty server and has been terminated for its update)",
                     "160 " + Check, "160 " + UpToDate}),
              Run(160));
    Stop();
}

TEST_F(MonitorStates, ABuildCheckRequestsANewerBuildOnce) {
    Server("players 0 0\n", "info full,full,none,hang\nbuild 200\n");
    Set("UpdateCheck", "1");
    Set("UpdateWait", "0");
    CreateDirectoryA(Path("\\steamapps").c_str(), nullptr);
    WriteText(Path("\\steamapps\\appmanifest_232330.acf"), "\"AppState\"\n{\n\"buildid\" \"100\"\n}\n");
    const std::string again = R"( [Update] Build check for "s" )";
    EXPECT_EQ((Lines{"0 " + Up, R"(61 "s" has build 100, the newest is 200: update requested)",
                     R"(65 "s" is empty and has been terminated for its update)", "70 " + Check,
                     "70 " + UpToDate, "75 " + Launched, "75 " + Completed, "80 " + Up,
                     "206" + again + "found no build, again in 1 minutes",
                     "391" + again + "timed out, again in 1 minutes"}),
              Run(400)); // asks at 60 (200: requested), 140 (200: none), 205, 270 (cut off)
    std::string tool = ReadText(Path("\\tools\\steamcmd_record.txt"));
    EXPECT_EQ(4u, Count(tool, "kind=info\n"));
    EXPECT_EQ(4u, Count(tool, "\nstdin=login anonymous\\napp_info_update 1\\napp_info_print 232330\\nquit\\n\n"));
    EXPECT_EQ(5u, Count(ReadText("corvane_update.log"), "[UpdateLog for \"s\" follows]")); // and a run
    Stop();
}

TEST_F(MonitorStates, OutputWrittenJustBeforeTheExitIsJudged) {
    Server("answer\n", "run gated\n");
    WriteText(Path("\\mod\\update_request.txt"), "");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "StandinGate");
    EXPECT_EQ((Lines{"0 " + Check, "0 " + UpToDate}), Run(4));
    RunStateAction(*monitor, now); // the run starts and holds back its last line
    gate = event;
    EXPECT_EQ((Lines{"5 " + Launched, "5 " + Completed, "10 " + Up}), Run(10));
    Stop();
}

} // namespace
