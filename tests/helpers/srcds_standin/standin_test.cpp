// The stand-in game server keeps the promises later tests rely on: it records
// what it was started with, commits the memory it is told to, and ends with
// the exit code it is given.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>

#include "helpers/srcds_standin/standin_client.h"

namespace {

class Standin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA wsaData;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsaData));
    }
    static void TearDownTestSuite() { WSACleanup(); }
    void SetUp() override {
        ASSERT_TRUE(MakeServerDirectory(directory_, sizeof directory_));
        FreeUdpPort(port_, sizeof port_);
        memset(&process_, 0, sizeof process_);
    }
    void TearDown() override {
        EndStandin(&process_);
        RemoveServerDirectory(directory_);
    }
    std::string Value(const char* file, const char* key) {
        char value[1024];
        if (!ReadStandinValue(directory_, file, key, value, sizeof value)) {
            return "(missing)";
        }
        return value;
    }
    SIZE_T PagefileUsage() {
        PROCESS_MEMORY_COUNTERS counters;
        memset(&counters, 0, sizeof counters);
        EXPECT_TRUE(GetProcessMemoryInfo(process_.hProcess, &counters, sizeof counters));
        return counters.PagefileUsage;
    }

    char directory_[MAX_PATH];
    char port_[8];
    PROCESS_INFORMATION process_;
};

} // namespace

// Started the way the service starts a game server: suspended, its priority
// class and processor mask set, then resumed.
TEST_F(Standin, RecordsItsCommandLineDirectoryAndAffinity) {
    char commandLine[512];
    snprintf(commandLine, sizeof commandLine,
             "arg0 -console -game tf -ip 127.0.0.1 -port %s -maxplayers 32 +map ctf_2fort "
             "+sv_pure 1",
             port_);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessA(CORVANE_STANDIN_EXE, commandLine, nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, directory_, &startup, &process_));
    // Wine ignores a priority class given as a creation flag; set afterwards, it holds.
    ASSERT_TRUE(SetPriorityClass(process_.hProcess, BELOW_NORMAL_PRIORITY_CLASS));
    ASSERT_TRUE(SetProcessAffinityMask(process_.hProcess, 0x1));
    ResumeThread(process_.hThread);
    char pid[16];
    snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(process_.dwProcessId));
    ASSERT_TRUE(WaitStandinValue(directory_, "standin_record.txt", "pid", pid, 10000));

    EXPECT_EQ(commandLine, Value("standin_record.txt", "commandline"));
    EXPECT_TRUE(_stricmp(directory_, Value("standin_record.txt", "cwd").c_str()) == 0 ||
                _stricmp((std::string(directory_) + "\\").c_str(),
                         Value("standin_record.txt", "cwd").c_str()) == 0)
        << Value("standin_record.txt", "cwd");
    EXPECT_EQ("0x00004000", Value("standin_record.txt", "priorityclass"));
    EXPECT_EQ("0x1", Value("standin_record.txt", "affinity"));
    EXPECT_EQ("tf", Value("standin_record.txt", "game"));
    EXPECT_EQ("127.0.0.1", Value("standin_record.txt", "ip"));
    EXPECT_EQ(port_, Value("standin_record.txt", "port"));
    EXPECT_EQ("32", Value("standin_record.txt", "maxplayers"));
    EXPECT_EQ("ctf_2fort", Value("standin_record.txt", "map"));
    EXPECT_EQ("answer", Value("standin_state.txt", "mode"));
    EXPECT_EQ("0", Value("standin_state.txt", "requests"));
}

TEST_F(Standin, CommitsAndReleasesTheMemoryItIsGiven) {
    ASSERT_TRUE(StartStandin(directory_, port_, &process_));
    SIZE_T before = PagefileUsage();

    ASSERT_TRUE(WriteServerFile(directory_, "standin_control.txt", "answer\ncommit 64\n"));
    ASSERT_TRUE(WaitStandinValue(directory_, "standin_state.txt", "committed", "64", 10000));
    SIZE_T committed = PagefileUsage();
    EXPECT_GE(committed, before + (SIZE_T(64) << 20)) << before << " " << committed;
    EXPECT_LT(committed, before + (SIZE_T(72) << 20)) << before << " " << committed;

    ASSERT_TRUE(WriteServerFile(directory_, "standin_control.txt", "answer\ncommit 0\n"));
    ASSERT_TRUE(WaitStandinValue(directory_, "standin_state.txt", "committed", "0", 10000));
    EXPECT_LT(PagefileUsage(), before + (SIZE_T(8) << 20));
}

TEST_F(Standin, EndsWithTheExitCodeItIsGiven) {
    ASSERT_TRUE(StartStandin(directory_, port_, &process_));
    ASSERT_TRUE(WriteServerFile(directory_, "standin_control.txt", "exit 7\n"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process_.hProcess, 10000));
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeProcess(process_.hProcess, &exitCode));
    EXPECT_EQ(7u, exitCode);
}

TEST_F(Standin, TakesAControlFileOnlyWhenItsLastLineIsComplete) {
    ASSERT_TRUE(StartStandin(directory_, port_, &process_));
    ASSERT_TRUE(WriteServerFile(directory_, "standin_control.txt", "exit 7"));
    // That it is not taken can only show as time passes: three re-reads.
    Sleep(350);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process_.hProcess, 0));
    ASSERT_TRUE(WriteServerFile(directory_, "standin_control.txt", "silent\n"));
    ASSERT_TRUE(WaitStandinValue(directory_, "standin_state.txt", "mode", "silent", 10000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process_.hProcess, 0));
}
