// The monitor's states, update cycle included, stepped by hand through real
// stand-in servers and tools, real pipes and mutexes and the real logs. Time
// is an argument of every action, so each delay and deadline (5, 10, 60, 120
// and 1200 s) is checked to the second without being waited for. Every case
// also holds what holds for all: the launch and the tool runs as configured,
// the stop ending what still runs with exit code 0, and no handle left behind.
#include "helpers/win_test.h"

#include <map>
#include <memory>

#include "config/server_entry.h"
#include "monitor/monitor_thread.h"
#include "protocol/server_query.h"
#include "monitor/update_cycle.h"
#include "support/event_log.h"
#include "support/file_helpers.h"
#include "support/memory_query.h"
#include "support/shared_mutexes.h"
#include "update/output_capture.h"
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

// Wine now and then breaks a start on a loaded machine, which Windows does not
// do for these programs: it refuses it with ERROR_INTERNAL_ERROR, or the
// process dies before its first act (its pid in <program>_starts.txt) with
// STATUS_DLL_INIT_FAILED. Such a start is taken again, once: the one retry
// these tests make. Waits up to 10 s for the stand-in's first act or its end.
static bool BrokenByWine(bool started, const PROCESS_INFORMATION& process,
                         const std::string& program) {
    if (!started) {
        return GetLastError() == ERROR_INTERNAL_ERROR;
    }
    std::string starts = program.substr(0, program.size() - 4) + "_starts.txt";
    std::string pid = "\n" + std::to_string(process.dwProcessId) + "\n";
    auto began = [&] { return Count("\n" + ReadText(starts), pid) != 0; };
    DWORD code = 0;
    WaitUntil([&] { return began() || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; });
    if (began() || !GetExitCodeProcess(process.hProcess, &code) || code != 0xC0000142) {
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
#define START_AGAIN_IF_WINE_BROKE(name, parameters, arguments, program, discard)             \
    extern "C" bool __real_##name parameters;                                                      \
    extern "C" bool __wrap_##name parameters {                                                     \
        bool started = __real_##name arguments;                                                    \
        if (BrokenByWine(started, process, program)) {                                             \
            printf("\nWine broke a start of %s; it is taken again\n", (program).c_str());         \
            discard;                                                                               \
            started = __real_##name arguments;                                                     \
        }                                                                                          \
        return started;                                                                            \
    }
START_AGAIN_IF_WINE_BROKE(_Z19CreateServerProcessRK11ServerEntryR20_PROCESS_INFORMATION,
                          (const ServerEntry& entry, PROCESS_INFORMATION& process),
                          (entry, process), std::string(entry.Path) + "\\srcds.exe", )
START_AGAIN_IF_WINE_BROKE(
    _Z19CreateUpdateProcessRK11ServerEntryR20_PROCESS_INFORMATIONRPv7ToolRun,
    (const ServerEntry& entry, PROCESS_INFORMATION& process, HANDLE& pipe, ToolRun run),
    (entry, process, pipe, run),
    std::string(entry.Path) + "\\" + entry.UpdPath + "\\steamcmd.exe", CloseHandle(pipe))

namespace {

using Lines = std::vector<std::string>;

// The lines by the short names the cases below give them.
const std::map<std::string, std::string> Said = {
    {"Up", R"("s" launched successfully)"}, {"Ended", R"("s" has terminated)"},
    {"Hung", R"("s" was unresponsive and has been terminated)"},
    {"Failed", R"(CreateServerProcess failed for "s", retry in 10s)"},
    {"TooLong", R"("s" cannot be launched: its path is too long, retry in 10s)"},
    {"Install", R"("s" has no srcds.exe, an update installs it)"},
    {"Requested", R"("s" requested an update)"}, {"Check", R"([Update] Tool version check for "s")"},
    {"UpToDate", R"([Update] Tool is up to date for "s")"},
    {"SelfUpdated", R"([Update] Tool has been updated for "s")"},
    {"Launched", R"([Update] Launched for "s")"},
    {"Completed", R"([Update] Completed successfully for "s")"},
    {"Unreliable", R"([Update] Result unreliable, retry in 10s for "s")"},
    {"GaveUp", R"([Update] Ran 3 times without reliable result for "s")"},
    {"TimedOut", R"([Update] Timed out, retry in 120s for "s")"},
    {"NotStarted", R"([Update] CreateUpdateProcess failed for "s", retry in 10s)"},
    {"Tries", R"([Update] Gave up on "s" after 3 tries)"},
    {"Waiting", R"("s" has an update waiting for an empty server)"},
    {"Emptied", R"("s" is empty and has been terminated for its update)"},
    {"Held", R"("s" is held by stop_request.txt, not launched until it is removed)"},
    {"Due", R"("s" is due for its planned restart at 04:00)"},
    {"EmptyRestart", R"("s" is empty and has been terminated for its planned restart)"}};

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

bool UpdMutexFree() {
    return OnAnotherThread([](LPVOID) -> DWORD {
        return WaitForSingleObject(UpdMutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(UpdMutex);
    });
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

    // Server "s" in dir\srv, its stand-in srcds.exe answering, its tool in srv\tools.
    void SetUp() override {
        WineTest::SetUp();
        LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
        UpdMutex = CreateMutexA(nullptr, FALSE, nullptr);
        QueryProcessMemory = GetProcessMemoryInfo;
        std::istringstream pairs("FriendlyName s GameDir mod Host 127.0.0.1 MaxPlayers 8 MapName m "
                                 "Priority High Affinity 2 MaxMemory 64 MonitorDelay 0 UpdPath "
                                 "tools UpdArgs 232330 Port " + FreePort());
        for (std::string key, value; pairs >> key >> value;) {
            keys.Set(key.c_str(), value.c_str());
        }
        keys.Set("MiscArgs", "-tickrate 66");
        Set("Path", dir + "\\srv");
        Place("srv", "srcds.exe");
        CreateDirectoryA(Path("\\mod").c_str(), nullptr);
        WriteText(Path("\\srcds_control.txt"), "answer\n");
        Place("srv\\tools", "steamcmd.exe");
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

    // Sets a key of the server's block and builds its entry anew from them; a
    // running machine takes it as from a reload.
    void Set(const char* key, const std::string& value) {
        keys.Set(key, value.c_str());
        ServerEntry* built = ReadServerKeys(keys);
        entry = *built;
        FreeServerEntry(built);
        if (monitor) {
            TakeNewEntry(*monitor, entry, LiveKey);
        }
    }

    std::string Path(const std::string& file = "") { return entry.Path + file; }

    // Plays a case's steps: "run <second>" runs the machine up to that second,
    // and the steps "<second> <line or its short name>" after it are what it
    // must have logged by then. The others change the world in between:
    //   srcds|tool <control>   the stand-ins' control text (lines split by \n)
    //   write <file> [<text>]  writes a file of Path; rm <file> removes one; lock makes it read-only
    //   stop, place            stops the machine; puts the stand-in srcds.exe back
    //   hold                   another thread takes UpdMutex; again: lets it go
    //   nojob                  no job for the processes: each is refused one
    //   gate                   starts the update run with its last line held back
    //   logdir                 a folder where corvane_update.log would go
    //   longpath <length>      a Path that long with an srcds.exe that is no program
    //   clock <HH:MM:SS>       sets the local clock, which runs on with the seconds
    //   rcon <mode>            the stand-in's remote console, password pw, from its next launch
    //   record <packets>       what that console must have received by now
    //   <Key> <value>          a key of the block; $dir is the test's folder, $port its port
    void Play(const std::string& script) {
        Lines expected;
        int64_t until = -1;
        std::istringstream steps(script + "|run -1");
        for (std::string step; std::getline(steps, step, '|');) {
            std::string word = step.substr(0, step.find(' ')), rest = step.substr(word.size());
            rest.erase(0, 1);
            for (std::string name : {"$dir", "$port"}) {
                for (size_t at; (at = rest.find(name)) != std::string::npos;) {
                    rest.replace(at, name.size(), name == "$dir" ? dir : std::string(entry.Port));
                }
            }
            if (isdigit(word[0])) {
                expected.push_back(word + " " + (Said.count(rest) ? Said.at(rest) : rest));
                continue;
            }
            if (until >= 0) {
                EXPECT_EQ(expected, Run(until)) << "up to second " << until;
            }
            expected.clear();
            until = word == "run" ? std::stoll(rest) : -1;
            std::string file = Path("\\" + rest.substr(0, rest.find(' ')));
            if (word == "srcds" || word == "tool") {
                WriteText(Path(word == "tool" ? "\\tools\\steamcmd" : "\\srcds") + "_control.txt",
                          rest + "\n");
                if (monitor && monitor->server.hProcess) { // the running stand-in reads it again
                    Sleep(300);
                    WaitForSingleObject(monitor->server.hProcess, rest.find("exit ") ? 0 : 5000);
                    PROCESS_MEMORY_COUNTERS memory = {}; // one that grows has grown
                    WaitUntil([&] {
                        return rest.find("commit ") != 0 ||
                               (GetProcessMemoryInfo(monitor->server.hProcess, &memory, sizeof memory) &&
                                memory.PagefileUsage >> 20 >= std::stoul(rest.substr(7)));
                    });
                }
            } else if (word == "write") {
                std::filesystem::create_directories(file.substr(0, file.rfind('\\')));
                WriteText(file, rest.substr(std::min(rest.size(), rest.find(' ') + 1)));
            } else if (word == "rm") {
                SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(file.c_str());
            } else if (word == "lock") {
                SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
            } else if (word == "stop") {
                Stop();
            } else if (word == "place") {
                Place("srv", "srcds.exe");
            } else if (word == "hold" && holder == nullptr) {
                release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                holder = CreateThread(nullptr, 0, [](LPVOID event) -> DWORD {
                    WaitForSingleObject(UpdMutex, INFINITE);
                    WaitForSingleObject(event, INFINITE);
                    return ReleaseMutex(UpdMutex);
                }, release, 0, nullptr);
                WaitUntil([] { return !UpdMutexFree(); });
            } else if (word == "hold") {
                SetEvent(release);
                WaitForSingleObject(holder, INFINITE);
                CloseHandle(holder);
                CloseHandle(release);
                holder = nullptr;
            } else if (word == "nojob") {
                job = std::exchange(ProcessJob, CreateEventA(nullptr, TRUE, FALSE, nullptr));
            } else if (word == "gate") {
                HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "StandinGate");
                RunStateAction(*monitor, now);
                gate = event;
            } else if (word == "logdir") {
                CreateDirectoryA("corvane_update.log", nullptr);
            } else if (word == "longpath") {
                Set("Path", dir + "\\" + std::string(std::stoul(rest) - dir.size() - 1, 'p'));
                CreateDirectoryA(entry.Path, nullptr);
                WriteText(Path("\\srcds.exe"), "");
            } else if (word == "clock") { // the local time of day now, 24:00 and on the next day
                int hour = 0, minute = 0, second = 0;
                sscanf(rest.c_str(), "%d:%d:%d", &hour, &minute, &second);
                local = LocalClockSeconds(2026, 3, 29, hour, minute, second) - (now - 1000);
            } else if (word == "rcon") {
                WriteText(Path("\\srcds_rcon.txt"), rest + " pw\n");
            } else if (word == "record") {
                EXPECT_EQ(rest, ReadText(Path("\\srcds_rcon_record.txt")));
            } else if (word != "run") {
                Set(word.c_str(), rest);
            }
        }
    }

    // Adds the lines logged since the last call to lines, from the column given on.
    Lines NewLines(size_t column, const std::string& prefix, Lines lines = {}) {
        std::string log = ReadText("corvane.log");
        for (size_t at; (at = log.find("\r\n", logRead)) != std::string::npos; logRead = at + 2) {
            lines.push_back(prefix + log.substr(logRead + column, at - logRead - column));
        }
        return lines;
    }

    // Runs the machine up to the given second and returns each line logged as
    // "<second> <message>". Before a check the server settles (has bound its
    // port under its control line, or ended); a started tool gets up to 10 s
    // to end unless its record says it hangs or floods: the clock then jumps to
    // its deadline. A tool that spills is drained by the passes alone.
    Lines Run(int64_t until) {
        if (!monitor) {
            monitor.reset(new MonitorState(entry));
            StartMonitor(*monitor);
        }
        Lines seen;
        std::string record = Path("\\tools\\steamcmd_record.txt");
        while (now <= 1000 + until) { // now: the second of the next pass
            HANDLE server = monitor->server.hProcess;
            std::string pid = std::to_string(GetProcessId(server));
            WaitUntil([&] { // once a launch
                return monitor->state != WatchServer || pid == settled || ProcessExited(server) ||
                       RecordValue(Path("\\srcds_record.txt"), "pid") == pid;
            });
            settled = monitor->state == WatchServer ? pid : settled;
            std::string told = // a quit it obeys: gone
                monitor->state == EndServer ? ReadText(Path("\\srcds_rcon_record.txt")) : "";
            bool quitting = told.size() > 5 && told.compare(told.size() - 5, 5, "quit\n") == 0 &&
                            ReadText(Path("\\srcds_rcon.txt")).compare(0, 6, "ignore") != 0;
            WaitForSingleObject(server, monitor->state == EndServer && quitting ? 5000 : 0);
            HANDLE tool = monitor->tool.hProcess;
            RunPass(*monitor, now, local + now - 1000);
            EXPECT_LE(monitor->output.Length(), OutputKeepLimit) << "at second " << now - 1000;
            EXPECT_TRUE(monitor->state != AcquireUpdateLock || holder || UpdMutexFree())
                << "the mutex is kept while the cycle waits, at second " << now - 1000;
            if (firstServer == nullptr && monitor->server.hProcess != nullptr) {
                firstServer = Duplicate(monitor->server.hProcess);
            }
            seen = NewLines(24, std::to_string(now - 1000), std::move(seen));
            if (monitor->tool.hProcess != tool && monitor->tool.hProcess != nullptr) {
                ++toolStarts;
                std::string mode;
                bool ended = WaitUntil([&] {
                    mode = Count(ReadText(record), "\nend\n") == toolStarts ? RecordValue(record, "mode") : "";
                    if (mode == "hang" || mode == "flood" || mode == "spill") {
                        return true;
                    }
                    DrainPipe(monitor->outputPipe, monitor->output, 1 << 20); // as the passes do
                    return ProcessExited(monitor->tool.hProcess);
                }) && (ProcessExited(monitor->tool.hProcess) || mode == "spill");
                now = ended ? now : monitor->toolDeadline;
            }
            // A pass a second while a build check runs or a server is watched
            // (its end is seen in the pass after it); otherwise at the next action.
            int64_t due = std::max(now, monitor->nextActionTime);
            now = monitor->buildCheckRuns ? now + 1
                  : monitor->state == WatchServer ? std::min(due, now + 1) : due;
        }
        return seen;
    }

    // Stops the machine; what still ran ends with exit code 0 and one line.
    void Stop() {
        Lines expected;
        std::vector<HANDLE> running;
        for (HANDLE process : {monitor->server.hProcess, monitor->tool.hProcess}) {
            if (process != nullptr && !ProcessExited(process)) {
                running.push_back(Duplicate(process));
                expected.push_back(process == monitor->server.hProcess ? R"("s" has been terminated)"
                                                                       : R"([Update] Terminated for "s")");
            }
        }
        StopMonitor(*monitor);
        for (HANDLE process : running) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
            EXPECT_EQ(0u, ExitCode(process));
            CloseHandle(process);
        }
        EXPECT_EQ(nullptr, monitor->outputPipe);
        monitor.reset();
        EXPECT_EQ(expected, NewLines(25, ""));
        now = 1000;
    }

    KeyTable keys{KeyTableBuckets};
    ServerEntry entry = {};
    std::unique_ptr<MonitorState> monitor;
    int64_t now = 1000;
    int64_t local = 0; // the local clock at second 0
    size_t logRead = 0, toolStarts = 0, handles = 0;
    std::string settled; // the pid of the server settled last
    HANDLE firstServer = nullptr; // the first launch, kept for its exit code
    HANDLE holder = nullptr, release = nullptr, job = nullptr;
};

struct Case {
    const char* name;
    DWORD firstExitCode; // of the first launch at the end; 259: it still runs
    const char* script;  // its steps, split by |
};

const Case Cases[] = {
    {"healthy_in_challenge_mode", STILL_ACTIVE, "MonitorDelay 7|srcds challenge|run 40|0 Up"},
    {"silence", 1, "MonitorDelay abc|srcds silent\nanswer|run 30|0 Up|15 Hung|20 Up"},
    {"challenge_never_met", 1, "srcds challengeonly|run 19|0 Up|15 Hung"},
    {"memory", 1, "MonitorDelay 010|srcds commit 100\nanswer|run 20|0 Up|"
     R"(10 "s" exceeded memory limit and has been terminated|15 Up)"},
    {"longest_path", STILL_ACTIVE, "longpath 236|UpdateCheck 1|run 15|0 \"s\" cannot check its "
     "build: the path of its manifest is too long|0 Failed|10 Failed"}, // request file: 259
    {"path_too_long", STILL_ACTIVE, "longpath 237|run 15|0 TooLong|10 TooLong"},
    {"monitor_delay_above_an_hour", 3, "MonitorDelay 3601|srcds exit 3\nanswer|run 5|"
     R"(0 "s" has MonitorDelay "3601" out of range (0 to 3600), read as 0|0 Up|0 Ended|5 Up)"},
    {"monitor_delay_of_an_hour", 1, "MonitorDelay 3600|srcds commit 100|run 3600|0 Up|"
     R"(3600 "s" exceeded memory limit and has been terminated)"},
    {"srcds_missing", STILL_ACTIVE,
     "rm srcds.exe|run 12|0 Install|0 Check|0 UpToDate|5 Launched|5 Completed|10 Up"},
    {"not_installed", STILL_ACTIVE, "UpdPath ..\\srv\\tools|Path new|run 12|0 Install|"
     "0 Check|0 UpToDate|5 Launched|5 Completed|10 Up"},
    {"update_requested_at_the_start", STILL_ACTIVE,
     "write mod\\update_request.txt|run 12|0 Check|0 UpToDate|5 Launched|5 Completed|10 Up"},
    {"update_requested_at_the_end", 3, "srcds request 3\nanswer|run 20|0 Up|0 Ended|0 Requested|"
     "5 Check|5 UpToDate|10 Launched|10 Completed|15 Up"},
    {"tool_keeps_updating_itself", 3, "srcds request 3\nanswer|tool check selfupdate|run 25|0 Up|"
     "0 Ended|0 Requested|5 Check|5 SelfUpdated|10 Check|10 SelfUpdated|15 Check|15 SelfUpdated|"
     R"(15 [Update] Gave up on "s": the tool keeps updating itself|25 Up)"},
    {"tool_updates_itself", 3, "srcds request 3\nanswer|tool check selfupdate,uptodate|run 25|"
     "0 Up|0 Ended|0 Requested|5 Check|5 SelfUpdated|10 Check|10 UpToDate|15 Launched|"
     "15 Completed|20 Up"},
    {"three_unreliable_runs", 3, "srcds request 3\nanswer|tool run fail|run 45|0 Up|0 Ended|"
     "0 Requested|5 Check|5 UpToDate|10 Launched|10 Unreliable|20 Launched|20 Unreliable|"
     "30 Launched|30 GaveUp|40 Up"},
    {"cut_off_runs_count", 3, "srcds request 3\nanswer|tool run hang,fail|run 1400|0 Up|0 Ended|"
     "0 Requested|5 Check|5 UpToDate|10 Launched|1210 TimedOut|1330 Launched|1330 Unreliable|"
     "1340 Launched|1340 GaveUp|1350 Up"},
    {"runs_that_always_hang", 3, "srcds request 3\nanswer|tool run hang|run 3860|0 Up|0 Ended|"
     "0 Requested|5 Check|5 UpToDate|10 Launched|1210 TimedOut|1330 Launched|2530 TimedOut|"
     "2650 Launched|3850 GaveUp|3860 Up"},
    {"checks_that_always_hang", 3, "srcds request 3\nanswer|tool check hang|run 435|0 Up|"
     "0 Ended|0 Requested|5 Check|65 TimedOut|185 Check|245 TimedOut|365 Check|425 Tries|435 Up"},
    {"tool_missing", 3, "srcds request 3\nanswer|rm tools\\steamcmd.exe|run 35|0 Up|0 Ended|"
     "0 Requested|5 NotStarted|15 NotStarted|25 Tries|35 Up"},
    {"update_log_unwritable", STILL_ACTIVE, "write mod\\update_request.txt|logdir|run 12|0 Check|"
     R"(0 UpToDate|5 Launched|5 [Update] Failed to write log to "corvane_update.log" for "s"|)"
     "5 Completed|10 Up"},
    {"update_mutex_held_elsewhere", 3, "srcds request 3\nanswer|hold|run 30|0 Up|0 Ended|"
     "0 Requested|hold|run 40|35 Check|35 UpToDate|40 Launched|40 Completed"},
    {"output_written_just_before_the_exit", STILL_ACTIVE, "tool run gated|"
     "write mod\\update_request.txt|run 4|0 Check|0 UpToDate|gate|run 10|5 Launched|"
     "5 Completed|10 Up"},
    {"queries_that_cannot_be_sent", 0, "run 0|0 Up|Host no-such-host.invalid|run 12|5 \"s\" "
     "cannot be queried at no-such-host.invalid:$port (error 11001), its hang detection is off|"
     R"(Host 0.0.0.0|run 16|15 "s" can be queried again, its hang detection is on|stop|)"
     "write srcds.exe|run 0|0 Failed|write mod\\update_request.txt|run 15|10 Requested|"
     "15 Check|15 UpToDate"},
    {"a_failing_server_pauses_longer_each_time", 3, "srcds exit 3|RestartBackoff 45|run 119|"
     R"(0 Up|0 Ended|5 Up|5 Ended|5 "s" keeps failing, next launch in 10s|15 Up|15 Ended|)"
     R"(15 "s" keeps failing, next launch in 20s|35 Up|35 Ended|)"
     R"(35 "s" keeps failing, next launch in 40s|75 Up|75 Ended|)"
     R"(75 "s" keeps failing, next launch in 45s|srcds exit 3)" "\nanswer|run 179|120 Up|"
     "srcds exit 3|run 185|180 Ended|185 Up|185 Ended|" // a minute's run: the pause is as usual
     "stop|write srcds.exe|run 20|0 Failed|10 Failed|" // failed launches count as short runs
     R"(20 CreateServerProcess failed for "s", retry in 20s|stop|place|srcds request 3|run 20|)"
     "0 Up|0 Ended|0 Requested|5 Check|5 UpToDate|10 Launched|10 Completed|15 Up|15 Ended|"
     "15 Requested|20 Check|20 UpToDate"}, // an update comes without a pause
    {"a_server_dying_at_its_start_is_seen_before_its_first_check", 3, "MonitorDelay 60|"
     R"(RestartBackoff 45|srcds exit 3|run 20|0 Up|1 Ended|6 Up|7 Ended|7 "s" keeps failing, )"
     R"(next launch in 10s|17 Up|18 Ended|18 "s" keeps failing, next launch in 20s)"},
    {"an_end_between_checks_is_seen_in_the_next_pass", 3, "MonitorDelay 30|run 12|0 Up|"
     "srcds exit 3\nanswer|run 20|13 Ended|18 Up"},
    {"held_by_its_stop_request", 0, "run 0|0 Up|write mod\\stop_request.txt|run 7|"
     R"(1 "s" is held by stop_request.txt, not launched until it is removed|)"
     "rm mod\\stop_request.txt|run 9|8 Up|write mod\\stop_request.txt|write mod\\update_request.txt|"
     R"(run 13|10 "s" is held by stop_request.txt, not launched until it is removed|)"
     "rm mod\\stop_request.txt|run 24|14 Requested|14 Check|14 UpToDate|19 Launched|19 Completed|"
     "24 Up"},
    {"outside_the_job", 3, "nojob|srcds exit 3|run 5|0 Servers and tools cannot be put in the "
     "service's job (error 6): they outlive a service that ends without its stop|0 Up|0 Ended|"
     "5 Up|5 Ended"},
    {"an_update_waits_for_an_empty_server_or_its_limit", 0, "srcds players 3 1|UpdateWait 2|"
     "run 4|0 Up|write mod\\update_request.txt|run 14|5 Waiting|srcds players 2 2|run 30|"
     "15 Emptied|20 Check|20 UpToDate|25 Launched|25 Completed|30 Up|srcds players 5 0|"
     "write mod\\update_request.txt|run 160|35 Waiting|155 \"s\" waited 2 minutes for an empty "
     "server and has been terminated for its update|160 Check|160 UpToDate"},
    {"a_negative_wait_is_none", 0, "srcds players 3 0|UpdateWait -3|run 4|0 Up|"
     R"(write mod\update_request.txt|run 5|5 "s" waited 0 minutes for an empty server and has )"
     "been terminated for its update"},
    {"a_build_check_requests_a_newer_build_once", 0, "srcds players 0 0|UpdateCheck 1|"
     "UpdateWait 0|tool info full,full,none,hang\nbuild 200|" // asked at 60, 140, 201 and 262
     "write steamapps\\appmanifest_232330.acf \"AppState\"\n{\n\"buildid\" \"100\"\n}\n|run 400|"
     R"(0 Up|61 "s" has build 100, the newest is 200: update requested|65 Emptied|70 Check|)"
     R"(70 UpToDate|75 Launched|75 Completed|80 Up|202 [Update] Build check for "s" found no )"
     R"(build, again in 1 minutes|383 [Update] Build check for "s" timed out, again in 1 minutes)"},
    {"a_build_that_is_not_installed_is_asked_for_later", 0, "srcds players 0 0|UpdateCheck 5|"
     "UpdateWait 0|tool run fail\nbuild 200|write steamapps\\appmanifest_232330.acf \"AppState\"\n"
     "{\n\"buildid\" \"100\"\n}\n|run 400|0 Up|"
     R"(61 "s" has build 100, the newest is 200: update requested|65 Emptied|)"
     "70 Check|70 UpToDate|75 Launched|75 Unreliable|85 Launched|"
     R"(85 Unreliable|95 Launched|95 GaveUp|95 [Update] Build 200 for "s" was not installed, )"
     "asked again in 5 minutes|105 Up"},
    {"a_request_that_cannot_be_deleted_is_ignored", 3, "write mod\\update_request.txt|"
     "lock mod\\update_request.txt|srcds exit 3\nanswer|run 16|0 Check|0 UpToDate|5 Launched|"
     R"(5 Completed|5 "s" cannot delete its update_request.txt (error 5): it is ignored until it )"
     "is removed|10 Up|10 Ended|15 Up|rm mod\\update_request.txt"},
    {"a_new_run_starts_without_the_last_runs_silence", 0, "srcds silent|run 12|0 Up|"
     R"(write mod\stop_request.txt|run 15|13 "s" is held by stop_request.txt, not launched until )"
     "it is removed|rm mod\\stop_request.txt|run 30|16 Up"},
    {"a_tool_that_writes_without_pause_is_cut_off", 3, "srcds request 3\nanswer|"
     "tool check flood|run 75|0 Up|0 Ended|0 Requested|5 Check|65 TimedOut"},
    {"an_output_larger_than_what_is_kept", STILL_ACTIVE, "write mod\\update_request.txt|"
     "tool run spill|run 12|0 Check|0 UpToDate|5 Launched|5 Completed|10 Up"},
    {"a_build_check_without_its_tool", STILL_ACTIVE, "UpdateCheck 1|rm tools\\steamcmd.exe|"
     R"(run 60|0 Up|60 [Update] CreateUpdateProcess failed for "s", build check again in )"
     "1 minutes"},
    {"rcon_quit_ends_by_itself", 0, "RconPassword pw|rcon quit|run 0|0 Up|"
     "write mod\\stop_request.txt|run 6|1 Held|record 1 3 pw\n2 2 quit\nbye\n"},
    {"rcon_answer_in_pieces", 0, "RconPassword pw|rcon pieces|run 0|0 Up|"
     "write mod\\stop_request.txt|run 6|1 Held|record 1 3 pw\n2 2 quit\nbye\n"},
    {"rcon_quit_ignored_until_stop_wait", 0, "RconPassword pw|StopWait 61|rcon ignore|run 0|"
     R"(0 "s" has StopWait "61" out of range (1 to 60), read as 60|0 Up|write mod\stop_request.txt|)"
     R"(run 60|1 Held|run 61|61 "s" did not quit within 60s and has been terminated)"},
    {"a_reload_s_stop_wait_is_taken_at_once", 0, "RconPassword pw|rcon ignore|run 0|0 Up|StopWait 2|"
     R"(write mod\stop_request.txt|run 4|1 Held|3 "s" did not quit within 2s and has been terminated)"},
    {"rcon_password_refused_once", 0, "RconPassword pw|rcon refuse|run 0|0 Up|"
     R"(write mod\stop_request.txt|run 6|1 Held|1 "s" refused the RCON password and has been )"
     "terminated|record 1 3 pw\n"},
    {"rcon_closed_at_once", 0, "RconPassword pw|rcon close|run 0|0 Up|write mod\\stop_request.txt|"
     R"(run 6|1 Held|1 "s" could not be reached over RCON (error 10054) and has been terminated)"},
    {"rcon_never_answering", 0, "RconPassword pw|rcon mute|run 0|0 Up|write mod\\stop_request.txt|"
     R"(run 6|1 Held|1 "s" could not be reached over RCON (error 10060) and has been terminated)"},
    {"rcon_packet_too_large", 0, "RconPassword pw|rcon garble|run 0|0 Up|"
     R"(write mod\stop_request.txt|run 6|1 Held|1 "s" sent an invalid RCON packet and has been )"
     "terminated"},
    {"rcon_players_are_warned_before_an_update", 0, "srcds players 3 0|UpdateWait 0|RconPassword pw|"
     "rcon quit|run 4|0 Up|write mod\\update_request.txt|run 21|5 \"s\" waited 0 minutes for an "
     "empty server and has been terminated for its update|21 Check|21 UpToDate|record 1 3 pw\n"
     "2 2 say This server restarts for an update in 10 seconds.\n1 3 pw\n2 2 quit\nbye\n"},
    {"a_set_hour_with_the_server_empty", 0, "clock 03:59:50|RestartAt 4:00|srcds players 0 0|"
     "run 60|0 Up|10 Due|10 EmptyRestart|15 Up"},
    {"a_set_hour_waits_for_the_players_to_leave", 0, "clock 03:59:50|RestartAt 04:00|"
     "srcds players 2 0|run 14|0 Up|10 Due|srcds players 1 1|run 20|15 EmptyRestart|20 Up"},
    {"a_set_hour_at_the_window_end_after_warnings", 0, "clock 03:59:50|RestartAt 04:00|"
     "RestartWindow 6|RconPassword pw|rcon quit|srcds players 3 0|run 369|0 Up|10 Due|run 386|"
     R"(370 "s" waited 6 minutes for an empty server and has been terminated for its planned )"
     "restart|386 Up|record 1 3 pw\n2 2 say This server restarts in 5 min for its planned restart "
     "at 04:00.\n1 3 pw\n2 2 say This server restarts in 1 min for its planned restart at 04:00."
     "\n1 3 pw\n2 2 say This server restarts in 10 seconds.\n1 3 pw\n2 2 quit\nbye\n"},
    {"memory_high_crossed_by_a_growing_server", 0, "MemoryHigh 32|run 5|0 Up|" // 40 and its own 4
     "srcds commit 40\nanswer|run 20|10 \"s\" is due for a planned restart: memory at 44 MiB|"
     "10 EmptyRestart|15 Up"},
    {"a_set_hour_during_an_update_wait_is_one_end", 0, "clock 03:59:50|RestartAt 04:00|"
     "RestartWindow 1|UpdateWait 60|srcds players 3 0|run 4|0 Up|write mod\\update_request.txt|"
     R"(run 85|5 Waiting|10 Due|70 "s" waited 1 minutes for an empty server and has been )"
     "terminated for its planned restart|70 Requested|75 Check|75 UpToDate|80 Launched|"
     "80 Completed|85 Up"},
    {"a_hold_wins_over_a_due_restart", 0, "clock 03:59:50|RestartAt 04:00|srcds players 2 0|"
     "run 10|0 Up|10 Due|write mod\\stop_request.txt|run 15|11 Held|rm mod\\stop_request.txt|"
     "srcds players 0 0|run 40|16 Up"},
    {"planned_restart_keys_read_again_when_they_change", 0, "clock 03:59:30|srcds players 2 0|"
     "run 5|0 Up|RestartAt 03:00,04:00|RestartWindow x|run 34|6 \"s\" has RestartWindow \"x\" "
     "out of range (0 to 1440), read as 60|30 Due|RestartWindow 0|"
     R"(run 40|35 "s" waited 0 minutes for an empty server and has been terminated for its planned )"
     "restart|40 Up"},
    {"bad_planned_restart_keys_are_off", STILL_ACTIVE, "RestartAt 4pm|MemoryHigh 64|"
     R"(RestartWindow 1441|run 0|0 "s" has RestartAt "4pm", which is no list of times HH:MM: no )"
     R"(restarts at set hours|0 "s" has MemoryHigh "64", which is no number of MiB below its )"
     R"(MaxMemory: no restarts for memory|0 "s" has RestartWindow "1441" out of range (0 to )"
     "1440), read as 60|0 Up"},
};

class MonitorCases : public MonitorStates, public ::testing::WithParamInterface<Case> {};

TEST_P(MonitorCases, LogsItsLinesAtTheirSeconds) {
    const Case& c = GetParam();
    Play(c.script);
    WaitForSingleObject(firstServer, c.firstExitCode == STILL_ACTIVE ? 0 : 5000);
    EXPECT_EQ(c.firstExitCode, firstServer ? ExitCode(firstServer) : STILL_ACTIVE);
    if (monitor->state <= WatchServer) { // no cycle under way
        EXPECT_FALSE(FileExists(Path("\\mod\\update_request.txt").c_str()));
        EXPECT_TRUE(UpdMutexFree());
    }
    std::string record = Path("\\srcds_record.txt");
    char path[MAX_PATH]; // Path as the service reads it, from its own folder
    GetFullPathNameA(entry.Path, sizeof path, path, nullptr);
    if (FileExists(record.c_str())) {
        EXPECT_EQ("arg0 -console -game mod -ip 127.0.0.1 -port " + std::string(entry.Port) +
                      " -maxplayers 8 +map m -tickrate 66", RecordValue(record, "cmdline"));
        EXPECT_EQ(path + std::string("|0x80|0x2"), RecordValue(record, "cwd") + "|" +
                                            RecordValue(record, "priority") + "|" +
                                            RecordValue(record, "affinity"));
    }
    char tool[MAX_PATH];
    GetFullPathNameA((Path("\\") + entry.UpdPath).c_str(), sizeof tool, tool, nullptr);
    std::string tools = ReadText(tool + std::string("\\steamcmd_record.txt")), in = "\nstdin=";
    size_t runs = Count(tools, "kind=run\n"), infos = Count(tools, "kind=info\n");
    EXPECT_EQ(Count(tools, "\nend\n"), Count(tools, "\ncwd=" + std::string(tool) + "\n"));
    EXPECT_EQ(Count(tools, "kind=check\n"), Count(tools, "\ncmdline=arg0 +quit\n"));
    EXPECT_EQ(runs, Count(tools, in + "force_install_dir \"" + path +
                                     "\"\\nlogin anonymous\\napp_update 232330\\nquit\\n\n"));
    EXPECT_EQ(infos, Count(tools, in + "login anonymous\\napp_info_update 1\\n"
                                       "app_info_print 232330\\nquit\\n\n"));
    if (!DirExists("corvane_update.log")) { // each run ended has its output there, as it came
        std::string updates = ReadText("corvane_update.log");
        std::string header = ": [UpdateLog for \"s\" follows]\r\n";
        EXPECT_EQ(runs + infos - (monitor->tool.hProcess != nullptr), Count(updates, header));
        EXPECT_EQ(Count(tools, "\nmode=spill\n") * 65536, Count(updates, "progress ")); // all of it
        EXPECT_EQ(Count(tools, "\nmode=success\n") + Count(tools, "\nmode=gated\n"),
                  Count(updates, header + "Logging in anonymously... OK\r\r\n"
                                          "Success! App '232330' fully installed.\r\r\n\r\n"));
    }
    Stop();
    if (job != nullptr) {
        CloseHandle(std::exchange(ProcessJob, job));
    }
}

INSTANTIATE_TEST_SUITE_P(Each, MonitorCases, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

TEST_F(MonitorStates, AToolInheritsOnlyItsPipeEnds) {
    WriteText(Path("\\srcds_control.txt"), "silent\n");
    WriteText(Path("\\tools\\steamcmd_control.txt"), "check hang\n");
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
    EXPECT_TRUE(Bindable(atoi(&ports[ports.rfind('\n', ports.size() - 2) + 1]))); // free again
    TerminateProcess(tool.hProcess, 0);
    WaitForSingleObject(tool.hProcess, 5000);
    CloseProcessHandles(tool);
    CloseHandle(pipe);
    Stop();
}

TEST(MayRetire, NotOnceAnUpdateCycleHasBegunNorWhileABuildCheckRuns) {
    const ServerEntry entry = {};
    const struct {
        uint32_t state, resumeState, failedTries;
        bool buildCheckRuns, may;
    } cases[] = {{LaunchServer, StartToolCheck, 0, false, true},
                 {WatchServer, StartToolCheck, 0, false, true},
                 {HoldServer, StartToolCheck, 0, false, true},
                 {AcquireUpdateLock, StartToolCheck, 0, false, true}, // before its first try
                 {AcquireUpdateLock, StartToolCheck, 1, false, false},
                 {AcquireUpdateLock, StartUpdate, 0, false, false},
                 {StartToolCheck, StartToolCheck, 0, false, false},
                 {AwaitToolCheck, StartToolCheck, 0, false, false},
                 {StartUpdate, StartToolCheck, 0, false, false},
                 {AwaitUpdate, StartToolCheck, 0, false, false},
                 {WatchServer, StartToolCheck, 0, true, false}};
    for (const auto& c : cases) {
        MonitorState monitor(entry);
        monitor.state = c.state;
        monitor.resumeState = c.resumeState;
        monitor.failedTries = c.failedTries;
        monitor.buildCheckRuns = c.buildCheckRuns;
        EXPECT_EQ(c.may, MayRetire(monitor)) << c.state << " " << c.resumeState;
    }
}

} // namespace

namespace {

// However much a tool has written, one drain takes at most its limit: the pass returns.
TEST(DrainPipe, TakesAtMostItsLimit) {
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 20));
    std::string written(300000, 'x');
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(write, written.data(), static_cast<DWORD>(written.size()), &count, nullptr));
    OutputBuffer output(256);
    EXPECT_EQ(65535u, DrainPipe(read, output, 65535));
    EXPECT_EQ(300000u - 65535u, DrainPipe(read, output, 1 << 20));
    CloseHandle(read);
    CloseHandle(write);
}

} // namespace
