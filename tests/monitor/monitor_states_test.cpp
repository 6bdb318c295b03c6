// The monitor's server states stepped by hand under Wine: real stand-in
// processes, real UDP on 127.0.0.1, the real event log. The time of each
// action is given, so every delay is checked exactly without waiting for it.
#include "support/windows_api.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <stdio.h>
#include <string>
#include <vector>

#include "helpers/handle_count.h"
#include "monitor/monitor_system.h"
#include "monitor/monitor_thread.h"

using namespace monitor_system;
using Lines = std::vector<std::string>;

namespace {

constexpr int64_t Start = 1000000;

class MonitorStates : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { StartProcessWideValues("Corvane/Test/MonitorStates"); }

    void TearDown() override {
        for (DWORD processId : launched_) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
            if (process != nullptr) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, StandinWaitMs);
                CloseHandle(process);
            }
        }
    }

    // One LaunchServer action at now that must succeed; waits until the new
    // stand-in answers. Checks the line, the state and the first check's time.
    void Launch(MonitorState& monitor, ServerDirectory& server, int64_t now, int64_t delay) {
        size_t before = LogMessages().size();
        ASSERT_EQ(LaunchServer, monitor.state);
        RunStateAction(monitor, now);
        // Wine's process creation fails now and then on a loaded machine; a
        // launch that failed with srcds.exe in place is taken again, and its
        // line not counted. The failure path has tests of its own.
        for (int retry = 0; retry < 3 && monitor.server.hProcess == nullptr &&
                            LogMessages().back() != "\"alpha\" launched successfully";
             ++retry) {
            ++before;
            RunStateAction(monitor, now);
        }
        ASSERT_NE(nullptr, monitor.server.hProcess);
        launched_.insert(monitor.server.dwProcessId);
        EXPECT_EQ(WatchServer, monitor.state);
        EXPECT_EQ(now + delay, monitor.nextActionTime);
        Lines lines = LogMessages();
        ASSERT_EQ(before + 1, lines.size());
        EXPECT_EQ("\"alpha\" launched successfully", lines.back());
        ASSERT_TRUE(server.WaitRecordOf(monitor.server.dwProcessId));
    }

    // One WatchServer action at now that finds the server healthy.
    void CheckHealthy(MonitorState& monitor, int64_t now) {
        size_t before = LogMessages().size();
        ASSERT_EQ(WatchServer, monitor.state);
        RunStateAction(monitor, now);
        EXPECT_EQ(WatchServer, monitor.state);
        EXPECT_EQ(now + 5, monitor.nextActionTime);
        EXPECT_NE(nullptr, monitor.server.hProcess);
        EXPECT_EQ(before, LogMessages().size());
    }

    // The server's record after a bad verdict: nothing held any more.
    static void ExpectReleased(const MonitorState& monitor) {
        EXPECT_EQ(nullptr, monitor.server.hProcess);
        EXPECT_EQ(nullptr, monitor.server.hThread);
        EXPECT_EQ(0u, monitor.server.dwProcessId);
        EXPECT_EQ(0u, monitor.server.dwThreadId);
        EXPECT_EQ(0u, monitor.silentChecks);
    }

    LogDirectory log_;
    std::set<DWORD> launched_;
};

} // namespace

TEST_F(MonitorStates, StartChoosesLaunchOrUpdate) {
    struct Case {
        const char* what;
        bool requestFile;
        bool pathMissing;
        uint32_t state;
    };
    const Case cases[] = {
        {"installed, no request", false, false, LaunchServer},
        {"request file present", true, false, AcquireUpdateLock},
        {"Path missing", false, true, AcquireUpdateLock},
    };
    for (const Case& c : cases) {
        ServerDirectory server;
        if (c.requestFile) {
            ASSERT_TRUE(server.RequestUpdate());
        }
        if (c.pathMissing) {
            char path[PathSize];
            snprintf(path, sizeof path, "%s\\not_installed", server.Path());
            CopyBounded(server.Entry().Path, PathSize, path);
        }
        MonitorState monitor(server.Entry());
        StartMonitor(monitor);
        EXPECT_EQ(c.state, monitor.state) << c.what;
        EXPECT_EQ(0, monitor.nextActionTime) << c.what;
        EXPECT_EQ(std::string(server.Entry().Path) + "\\cstrike\\update_request.txt",
                  monitor.requestPath)
            << c.what;
        EXPECT_EQ(nullptr, monitor.server.hProcess) << c.what;
    }
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(MonitorStates, HealthyServerIsCheckedEveryFiveSecondsWithoutALine) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    DWORD processId = monitor.server.dwProcessId;
    for (int64_t now = Start + 30; now <= Start + 45; now += 5) {
        CheckHealthy(monitor, now);
    }
    EXPECT_EQ(processId, monitor.server.dwProcessId);
    EXPECT_EQ(0u, monitor.silentChecks);
    ASSERT_TRUE(server.WaitState("requests", "4"));
    EXPECT_EQ(Lines{"\"alpha\" launched successfully"}, LogMessages());
    StopMonitor(monitor);
}

TEST_F(MonitorStates, MonitorDelayIsReadAsDecimal) {
    struct Case {
        const char* monitorDelay;
        int64_t delay;
    };
    const Case cases[] = {{"0", 0}, {"010", 10}, {"abc", 0}, {"7s", 7}};
    for (const Case& c : cases) {
        ServerDirectory server;
        CopyBounded(server.Entry().MonitorDelay, MonitorDelaySize, c.monitorDelay);
        MonitorState monitor(server.Entry());
        StartMonitor(monitor);
        Launch(monitor, server, Start, c.delay);
        StopMonitor(monitor);
    }
}

TEST_F(MonitorStates, ExitedServerIsRelaunchedFiveSecondsLater) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    CheckHealthy(monitor, Start + 30);

    ProcessWatch first(monitor.server.hProcess);
    DWORD firstId = monitor.server.dwProcessId;
    ASSERT_TRUE(server.Control("exit 3\n"));
    ASSERT_TRUE(first.WaitEnd());
    RunStateAction(monitor, Start + 35);
    EXPECT_EQ(LaunchServer, monitor.state);
    EXPECT_EQ(Start + 40, monitor.nextActionTime);
    ExpectReleased(monitor);
    // Already ended, the process keeps its own exit code.
    EXPECT_EQ(3u, first.ExitCode());
    EXPECT_EQ((Lines{"\"alpha\" launched successfully", "\"alpha\" has terminated"}),
              LogMessages());

    ASSERT_TRUE(server.Control("answer\n"));
    Launch(monitor, server, Start + 40, 30);
    EXPECT_NE(firstId, monitor.server.dwProcessId);
    CheckHealthy(monitor, Start + 70);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully", "\"alpha\" has terminated",
                     "\"alpha\" launched successfully"}),
              LogMessages());
    StopMonitor(monitor);
}

TEST_F(MonitorStates, FourthSilentCheckTerminatesTheServer) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    ProcessWatch watch(monitor.server.hProcess);
    ASSERT_TRUE(server.Control("silent\n"));
    ASSERT_TRUE(server.WaitState("mode", "silent"));

    int64_t now = Start + 30;
    for (uint32_t check = 1; check <= 3; ++check, now += 5) {
        CheckHealthy(monitor, now);
        EXPECT_EQ(check, monitor.silentChecks);
    }
    RunStateAction(monitor, now);
    EXPECT_EQ(LaunchServer, monitor.state);
    EXPECT_EQ(now + 5, monitor.nextActionTime);
    ExpectReleased(monitor);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully",
                     "\"alpha\" was unresponsive and has been terminated"}),
              LogMessages());
    ASSERT_TRUE(watch.WaitEnd());
    EXPECT_EQ(1u, watch.ExitCode());
    EXPECT_TRUE(server.WaitState("requests", "4"));
}

TEST_F(MonitorStates, AnAnswerClearsTheSilence) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    ASSERT_TRUE(server.Control("silent\n"));
    ASSERT_TRUE(server.WaitState("mode", "silent"));
    int64_t now = Start + 30;
    for (int check = 1; check <= 3; ++check, now += 5) {
        CheckHealthy(monitor, now);
    }
    EXPECT_EQ(3u, monitor.silentChecks);
    ASSERT_TRUE(server.Control("answer\n"));
    ASSERT_TRUE(server.WaitState("mode", "answer"));
    CheckHealthy(monitor, now);
    EXPECT_EQ(0u, monitor.silentChecks);
    StopMonitor(monitor);
}

TEST_F(MonitorStates, ChallengingServerStaysUp) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    ASSERT_TRUE(server.Control("challenge\n"));
    ASSERT_TRUE(server.WaitState("mode", "challenge"));
    for (int64_t now = Start + 30; now <= Start + 50; now += 5) {
        CheckHealthy(monitor, now);
        EXPECT_EQ(0u, monitor.silentChecks);
    }
    // Each of the five checks was answered only after its challenge.
    EXPECT_TRUE(server.WaitState("challenges", "5"));
    EXPECT_TRUE(server.WaitState("infos", "5"));
    StopMonitor(monitor);
}

TEST_F(MonitorStates, ServerOverItsMemoryLimitIsTerminated) {
    ServerDirectory server;
    CopyBounded(server.Entry().MaxMemory, MaxMemorySize, "64");
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    ProcessWatch watch(monitor.server.hProcess);
    ASSERT_TRUE(server.Control("commit 32\n"));
    ASSERT_TRUE(server.WaitState("committed", "32"));
    CheckHealthy(monitor, Start + 30);

    ASSERT_TRUE(server.Control("commit 100\n"));
    ASSERT_TRUE(server.WaitState("committed", "100"));
    RunStateAction(monitor, Start + 35);
    EXPECT_EQ(LaunchServer, monitor.state);
    EXPECT_EQ(Start + 40, monitor.nextActionTime);
    ExpectReleased(monitor);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully",
                     "\"alpha\" exceeded memory limit and has been terminated"}),
              LogMessages());
    ASSERT_TRUE(watch.WaitEnd());
    EXPECT_EQ(1u, watch.ExitCode());
}

TEST_F(MonitorStates, FailedLaunchIsRetriedEveryTenSeconds) {
    ServerDirectory server(false);
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    ASSERT_EQ(LaunchServer, monitor.state);
    for (int64_t now = Start; now <= Start + 10; now += 10) {
        RunStateAction(monitor, now);
        EXPECT_EQ(LaunchServer, monitor.state);
        EXPECT_EQ(now + 10, monitor.nextActionTime);
        EXPECT_EQ(nullptr, monitor.server.hProcess);
        EXPECT_EQ(nullptr, monitor.server.hThread);
    }
    const std::string failed = "CreateServerProcess failed for \"alpha\", retry in 10s";
    EXPECT_EQ((Lines{failed, failed}), LogMessages());

    ASSERT_TRUE(server.InstallServer());
    Launch(monitor, server, Start + 20, 30);
    EXPECT_EQ((Lines{failed, failed, "\"alpha\" launched successfully"}), LogMessages());
    StopMonitor(monitor);
}

TEST_F(MonitorStates, PathTooLongIsALaunchFailureNeverCut) {
    // Path\GameDir\update_request.txt of 273 and 281 characters (a Path\srcds.exe
    // too long for its buffer always makes the request path too long as well).
    // Neither path exists: a cut request path is never tested, so no update is asked for.
    struct Case {
        size_t pathLength;
        const char* gameDir;
    } cases[] = {{250, "mod"}, {230, "abcdefghijklmnopqrstuvwxyz01234"}};
    for (const Case& c : cases) {
        ServerEntry entry = {};
        CopyBounded(entry.FriendlyName, sizeof entry.FriendlyName, "alpha");
        std::string path = "Z:\\" + std::string(c.pathLength - 3, 'p');
        CopyBounded(entry.Path, sizeof entry.Path, path.c_str());
        CopyBounded(entry.GameDir, sizeof entry.GameDir, c.gameDir);
        MonitorState monitor(entry);
        StartMonitor(monitor);
        EXPECT_EQ(LaunchServer, monitor.state);
        RunStateAction(monitor, Start);
        EXPECT_EQ(LaunchServer, monitor.state);
        EXPECT_EQ(Start + 10, monitor.nextActionTime);
        EXPECT_EQ(nullptr, monitor.server.hProcess);
    }
    const std::string refused = "\"alpha\" cannot be launched: its path is too long, retry in 10s";
    EXPECT_EQ((Lines{refused, refused}), LogMessages());
}

TEST_F(MonitorStates, ServerEndingWithARequestGoesToUpdate) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    ProcessWatch watch(monitor.server.hProcess);
    // Created while the server runs, the request waits for the server's end.
    ASSERT_TRUE(server.RequestUpdate());
    CheckHealthy(monitor, Start + 30);
    ASSERT_TRUE(server.Control("exit 3\n"));
    ASSERT_TRUE(watch.WaitEnd());
    RunStateAction(monitor, Start + 35);
    EXPECT_EQ(AcquireUpdateLock, monitor.state);
    EXPECT_EQ(Start + 40, monitor.nextActionTime);
    ExpectReleased(monitor);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully", "\"alpha\" has terminated",
                     "\"alpha\" requested an update"}),
              LogMessages());
}

TEST_F(MonitorStates, StopTerminatesAHeldServer) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    Launch(monitor, server, Start, 30);
    CheckHealthy(monitor, Start + 30);
    ProcessWatch watch(monitor.server.hProcess);
    StopMonitor(monitor);
    EXPECT_EQ(nullptr, monitor.server.hProcess);
    EXPECT_EQ(nullptr, monitor.server.hThread);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully", "\"alpha\" has been terminated"}),
              LogMessages());
    ASSERT_TRUE(watch.WaitEnd());
    EXPECT_EQ(0u, watch.ExitCode());
}

TEST_F(MonitorStates, StopWritesNothingForAServerNotRunning) {
    {
        // The server ended by itself; no check has noticed yet.
        ServerDirectory server;
        MonitorState monitor(server.Entry());
        StartMonitor(monitor);
        Launch(monitor, server, Start, 30);
        ProcessWatch watch(monitor.server.hProcess);
        ASSERT_TRUE(server.Control("exit 3\n"));
        ASSERT_TRUE(watch.WaitEnd());
        StopMonitor(monitor);
        EXPECT_EQ(nullptr, monitor.server.hProcess);
        EXPECT_EQ(nullptr, monitor.server.hThread);
        EXPECT_EQ(3u, watch.ExitCode());
    }
    {
        // A failed launch leaves nothing held.
        ServerDirectory server(false);
        MonitorState monitor(server.Entry());
        StartMonitor(monitor);
        RunStateAction(monitor, Start);
        StopMonitor(monitor);
    }
    EXPECT_EQ((Lines{"\"alpha\" launched successfully",
                     "CreateServerProcess failed for \"alpha\", retry in 10s"}),
              LogMessages());
}

TEST(StopRequested, FindsTheStopBehindOtherMessagesOfTheRange) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    DWORD self = GetCurrentThreadId();
    EXPECT_FALSE(StopRequested());

    ASSERT_TRUE(PostThreadMessageA(self, 0x8002, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(self, StopMessage, 0, 0));
    EXPECT_TRUE(StopRequested());
    EXPECT_FALSE(StopRequested());
}

TEST(StopRequested, LeavesMessagesOutsideTheRange) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    DWORD self = GetCurrentThreadId();
    struct Case {
        UINT message;
        bool stays;
    };
    const Case cases[] = {
        {0x7FFF, true}, {0x8000, false}, {0x8002, false}, {0x80FF, false}, {0x8100, true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(PostThreadMessageA(self, c.message, 0, 0));
    }
    EXPECT_FALSE(StopRequested());
    for (const Case& c : cases) {
        EXPECT_EQ(c.stays, PeekMessageA(&message, nullptr, c.message, c.message, PM_REMOVE) != 0)
            << std::hex << c.message;
    }
    // A stop posted after foreign messages is still found.
    ASSERT_TRUE(PostThreadMessageA(self, 0x0400, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(self, StopMessage, 0, 0));
    EXPECT_TRUE(StopRequested());
    EXPECT_TRUE(PeekMessageA(&message, nullptr, 0x0400, 0x0400, PM_REMOVE));
}

TEST_F(MonitorStates, RelaunchesAndStopLeaveNoHandleBehind) {
    ServerDirectory server;
    MonitorState monitor(server.Entry());
    StartMonitor(monitor);
    // One full cycle first, so that whatever the socket layer and the
    // process calls open once for good is open before the count.
    int64_t now = Start;
    auto cycle = [&] {
        Launch(monitor, server, now, 30);
        CheckHealthy(monitor, now + 30);
        ProcessWatch watch(monitor.server.hProcess);
        ASSERT_TRUE(server.Control("exit 3\n"));
        ASSERT_TRUE(watch.WaitEnd());
        RunStateAction(monitor, now + 35);
        ASSERT_EQ(LaunchServer, monitor.state);
        ASSERT_TRUE(server.Control("answer\n"));
        now += 40;
    };
    cycle();
    size_t before = CountOwnHandles();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 5; ++i) {
        cycle();
    }
    Launch(monitor, server, now, 30);
    StopMonitor(monitor);
    size_t after = CountOwnHandles();
    EXPECT_LE(after, before);
    // The count itself sees handles come.
    HANDLE extra[10];
    for (HANDLE& event : extra) {
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    EXPECT_GE(CountOwnHandles(), after + 10);
    for (HANDLE event : extra) {
        CloseHandle(event);
    }
}
