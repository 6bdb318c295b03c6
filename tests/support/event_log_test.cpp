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

} // namespace
