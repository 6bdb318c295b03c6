// The event log with real threads and a real mutex: a line is written whole,
// stamped and ended in CR LF, or dropped when the mutex or the file cannot be
// had in time; the mutex is released either way, and taken over when abandoned.
#include "helpers/win_test.h"

#include <time.h>

#include "support/event_log.h"
#include "support/log_prefix.h"
#include "support/shared_mutexes.h"

namespace {

DWORD WINAPI TakeAndRelease(LPVOID) {
    return WaitForSingleObject(LogMutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(LogMutex);
}

std::string Stamp() {
    time_t now = time(nullptr);
    char stamp[LogPrefixSize];
    FormatLogPrefix(stamp, sizeof stamp, *localtime(&now));
    return stamp;
}

using EventLog = WineTest;

TEST_F(EventLog, WritesWholeLinesOrDropsThemAndAlwaysReleasesTheMutex) {
    LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
    OnAnotherThread([](LPVOID) -> DWORD { return WaitForSingleObject(LogMutex, 0); }); // abandoned
    std::string before = Stamp();
    WriteLog("\"%s\" launched successfully", "alpha");
    std::string after = Stamp();
    WriteLog("Corvane v1.10 stopped\n");
    EXPECT_TRUE(OnAnotherThread(TakeAndRelease));
    HANDLE holder = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        WaitForSingleObject(LogMutex, 5000); // a mutex never released fails below, not hangs
        Sleep(1000);
        return ReleaseMutex(LogMutex);
    }, nullptr, 0, nullptr);
    Sleep(100);
    DWORD startMs = GetTickCount();
    WriteLog("waited too long");
    DWORD waitedMs = GetTickCount() - startMs;
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    EXPECT_GE(waitedMs, 240u);
    EXPECT_LT(waitedMs, 800u);
    HANDLE file = CreateFileA("corvane.log", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    WriteLog("while the file is held");
    CloseHandle(file);
    EXPECT_TRUE(OnAnotherThread(TakeAndRelease));
    std::string text = ReadText("corvane.log"), first = text.substr(0, 25);
    EXPECT_TRUE(first == before || first == after) << text;
    EXPECT_EQ(first + "\"alpha\" launched successfully\r\n" + text.substr(56, 25) +
                  "Corvane v1.10 stopped\r\n\r\n", text);
    CloseHandle(LogMutex);
}

TEST_F(EventLog, RollsOverKeepingFiveOldFilesOfWholeLines) {
    LogMutex = CreateMutexA(nullptr, FALSE, nullptr);
    LogRollBytes = 2000;
    HANDLE writers[4];
    for (intptr_t t = 0; t < 4; ++t) { // 400 lines of 40 bytes: the first ones roll out
        writers[t] = CreateThread(nullptr, 0, [](LPVOID writer) -> DWORD {
            for (int n = 100; n < 200; ++n) {
                WriteLog("writer %d line %d", static_cast<int>(reinterpret_cast<intptr_t>(writer)), n);
            }
            return 0;
        }, reinterpret_cast<LPVOID>(t), 0, nullptr);
    }
    WaitForMultipleObjects(4, writers, TRUE, INFINITE);
    LogRollBytes = 10LL << 20;
    EXPECT_FALSE(std::filesystem::exists("corvane.log.6"));
    std::string kept;
    for (const char* name : {"corvane.log.5", "corvane.log.4", "corvane.log.3", "corvane.log.2",
                             "corvane.log.1", "corvane.log"}) {
        std::string text = ReadText(name);
        EXPECT_TRUE(text.size() >= 1960 || name == std::string("corvane.log")) << name;
        EXPECT_LT(text.size(), 2040u) << name;
        kept += text;
    }
    int last[4] = {0, 0, 0, 0}, lines = 0; // each writer's lines: whole, in order, none missing
    std::istringstream read(kept);
    for (std::string line; std::getline(read, line); ++lines) {
        int t = -1, n = -1;
        sscanf(line.c_str() + 25, "writer %d line %d\r", &t, &n);
        ASSERT_TRUE(t >= 0 && t < 4 && line.size() == 43) << line;
        EXPECT_TRUE(last[t] == 0 || n == last[t] + 1) << line;
        last[t] = n;
    }
    EXPECT_EQ((std::vector<int>{199, 199, 199, 199}), std::vector<int>(last, last + 4));
    EXPECT_GE(lines, 5 * 46);
    for (HANDLE writer : writers) {
        CloseHandle(writer);
    }
    CloseHandle(LogMutex);
}

} // namespace
