// MonitorThread on a real thread with real time under Wine: it launches the
// stand-in, relaunches it after it has exited, and on StopMessage terminates
// it and ends.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include "monitor/monitor_system.h"
#include "monitor/monitor_thread.h"

using namespace monitor_system;
using Lines = std::vector<std::string>;

namespace {

// A relaunch comes at most 5 s after the check that finds the exit, which
// comes at most 5 s after it; generous room for a slow machine on top.
constexpr DWORD RelaunchWaitMs = 30000;
constexpr DWORD StopWaitMs = 10000;

class MonitorThreadRun : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { StartProcessWideValues("Corvane/Test/MonitorThread"); }
    // A test that failed half-way still stops its thread, which ends its server.
    void TearDown() override {
        if (thread_ != nullptr) {
            PostThreadMessageA(threadId_, StopMessage, 0, 0);
            WaitForSingleObject(thread_, StopWaitMs);
            CloseHandle(thread_);
        }
    }
    LogDirectory log_;
    ServerDirectory server_;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};

// The stand-in that now answers in the directory: its process, opened by id.
HANDLE OpenRecordedServer(const ServerDirectory& server, DWORD notThisId, DWORD timeoutMs) {
    DWORD startMs = GetTickCount();
    for (;;) {
        char pid[16] = {};
        if (server.Record("pid", pid, sizeof pid)) {
            DWORD processId = static_cast<DWORD>(strtoul(pid, nullptr, 10));
            if (processId != 0 && processId != notThisId) {
                return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                   FALSE, processId);
            }
        }
        if (GetTickCount() - startMs >= timeoutMs) {
            return nullptr;
        }
        Sleep(10);
    }
}

} // namespace

TEST_F(MonitorThreadRun, RelaunchesAnExitedServerAndStopsOnRequest) {
    ServerDirectory& server = server_;
    CopyBounded(server.Entry().MonitorDelay, MonitorDelaySize, "0");
    thread_ = CreateThread(nullptr, 64 * 1024, MonitorThread, &server.Entry(),
                           STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId_);
    ASSERT_NE(nullptr, thread_);

    ASSERT_TRUE(WaitLogCount(1, RelaunchWaitMs));
    HANDLE first = OpenRecordedServer(server, 0, StandinWaitMs);
    ASSERT_NE(nullptr, first);
    DWORD firstId = GetProcessId(first);
    EXPECT_EQ(Lines{"\"alpha\" launched successfully"}, LogMessages());

    ASSERT_TRUE(server.Control("exit 3\n"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, StandinWaitMs));
    // The relaunched server must not find the order to exit.
    ASSERT_TRUE(server.Control("answer\n"));
    ASSERT_TRUE(WaitLogCount(3, RelaunchWaitMs));
    HANDLE second = OpenRecordedServer(server, firstId, StandinWaitMs);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ((Lines{"\"alpha\" launched successfully", "\"alpha\" has terminated",
                     "\"alpha\" launched successfully"}),
              LogMessages());

    ASSERT_TRUE(PostThreadMessageA(threadId_, StopMessage, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread_, StopWaitMs));
    DWORD threadExit = ~0u;
    GetExitCodeThread(thread_, &threadExit);
    EXPECT_EQ(0u, threadExit);
    CloseHandle(thread_);
    thread_ = nullptr;

    Lines lines = LogMessages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("\"alpha\" has been terminated", lines.back());
    EXPECT_EQ(4u, lines.size());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, StandinWaitMs));
    DWORD exitCode = ~0u;
    GetExitCodeProcess(second, &exitCode);
    EXPECT_EQ(0u, exitCode);
    for (HANDLE process : {first, second}) {
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            ADD_FAILURE() << "a stand-in still runs";
            TerminateProcess(process, 1);
        }
        CloseHandle(process);
    }
}
