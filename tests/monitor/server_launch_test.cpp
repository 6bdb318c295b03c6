// CreateServerProcess under Wine: the stand-in srcds.exe records the command
// line, current directory, priority class and processor mask it was given.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "monitor/monitor_system.h"
#include "monitor/server_launch.h"
#include "support/file_helpers.h"

using namespace monitor_system;

namespace {

class ServerLaunch : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { StartProcessWideValues("Corvane/Test/ServerLaunch"); }

    // Launches the entry, waits for the stand-in's record and reads one key of it.
    std::string LaunchAndRead(ServerDirectory& server, const char* key) {
        PROCESS_INFORMATION process = {};
        if (!CreateServerProcess(server.Entry(), process)) {
            ADD_FAILURE() << "launch failed";
            return "";
        }
        ProcessWatch watch(process.hProcess);
        EXPECT_TRUE(server.WaitRecordOf(process.dwProcessId));
        char value[1024] = {};
        EXPECT_TRUE(server.Record(key, value, sizeof value)) << key;
        CloseProcessHandles(process);
        return value;
    }
};

} // namespace

TEST_F(ServerLaunch, PassesTheCommandLineAndRunsInPath) {
    struct Case {
        const char* miscArgs;
        const char* tail;
    };
    const Case cases[] = {
        {"-tickrate 66", "+map de_dust2 -tickrate 66"},
        {"", "+map de_dust2 "}, // an empty MiscArgs leaves the blank
    };
    for (const Case& c : cases) {
        ServerDirectory server;
        CopyBounded(server.Entry().MiscArgs, MiscArgsSize, c.miscArgs);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateServerProcess(server.Entry(), process));
        ProcessWatch watch(process.hProcess);
        ASSERT_NE(0u, process.dwProcessId);
        ASSERT_NE(0u, process.dwThreadId);
        ASSERT_TRUE(server.WaitRecordOf(process.dwProcessId));

        std::string expected = std::string("arg0 -console -game cstrike -ip 127.0.0.1 -port ") +
                               server.Entry().Port + " -maxplayers 24 " + c.tail;
        char value[1024] = {};
        ASSERT_TRUE(server.Record("commandline", value, sizeof value));
        EXPECT_EQ(expected, value) << c.miscArgs;
        ASSERT_TRUE(server.Record("cwd", value, sizeof value));
        EXPECT_STREQ(server.Path(), value);
        ASSERT_TRUE(server.Record("port", value, sizeof value));
        EXPECT_STREQ(server.Entry().Port, value);
        EXPECT_FALSE(ProcessExited(process.hProcess));
        CloseProcessHandles(process);
    }
}

TEST_F(ServerLaunch, AppliesThePriorityClass) {
    struct Case {
        const char* priority;
        const char* recorded;
    };
    const Case cases[] = {
        {"High", "0x00000080"},   {"BelowNormal", "0x00004000"}, {"low", "0x00000040"},
        {"Normal", "0x00000020"}, {"Idle", "0x00000020"},
    };
    for (const Case& c : cases) {
        ServerDirectory server;
        CopyBounded(server.Entry().Priority, PrioritySize, c.priority);
        EXPECT_EQ(c.recorded, LaunchAndRead(server, "priorityclass")) << c.priority;
    }
}

TEST_F(ServerLaunch, RestrictsTheProcessorMask) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    // A child that is given no usable mask keeps the one it was created with.
    ServerDirectory plain;
    CopyBounded(plain.Entry().Affinity, AffinitySize, "0");
    std::string defaultMask = LaunchAndRead(plain, "affinity");
    ASSERT_FALSE(defaultMask.empty());

    char f0Mask[32];
    snprintf(f0Mask, sizeof f0Mask, "0x%llX", static_cast<unsigned long long>(systemMask & 0xF0));
    struct Case {
        const char* affinity;
        std::string recorded;
    };
    std::vector<Case> cases = {
        {"1", "0x1"},
        {"0x1", "0x1"},
        {"zz", defaultMask},
        {"F0", (systemMask & 0xF0) == 0 ? defaultMask : std::string(f0Mask)},
    };
    if ((systemMask & 0x2) != 0) {
        cases.push_back({"2", "0x2"});
    }
    for (const Case& c : cases) {
        ServerDirectory server;
        CopyBounded(server.Entry().Affinity, AffinitySize, c.affinity);
        EXPECT_EQ(c.recorded, LaunchAndRead(server, "affinity")) << c.affinity;
    }
}

TEST_F(ServerLaunch, FailsWithoutTheServerProgram) {
    ServerDirectory empty(false);
    PROCESS_INFORMATION process = {};
    EXPECT_FALSE(CreateServerProcess(empty.Entry(), process));

    ServerDirectory missing(false);
    char path[PathSize];
    snprintf(path, sizeof path, "%s\\nowhere", missing.Path());
    CopyBounded(missing.Entry().Path, PathSize, path);
    EXPECT_FALSE(CreateServerProcess(missing.Entry(), process));
}
