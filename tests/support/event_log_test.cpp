// The event log under real threads, a real named mutex and a real second
// process that locks the file. Each test runs in a directory of its own.
#include "support/windows_api.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "service/test_processes.h"
#include "support/event_log.h"
#include "support/shared_mutexes.h"

namespace {

struct LogLine {
    time_t when = 0;
    std::string message;
};

// Splits the file into lines; every line must end in CR LF.
std::vector<std::string> SplitCrLf(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        EXPECT_NE(std::string::npos, end) << "unterminated line: " << bytes.substr(start);
        if (end == std::string::npos) {
            break;
        }
        std::string line = bytes.substr(start, end - start);
        EXPECT_EQ(std::string::npos, line.find('\n')) << "bare line feed in: " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

// Reads "L YYYY/MM/DD - hh:mm:ss: message" character by character.
bool ParseLine(const std::string& line, LogLine* parsed) {
    const char pattern[] = "L dddd/dd/dd - dd:dd:dd: ";
    const size_t prefixLength = sizeof pattern - 1;
    if (line.size() < prefixLength) {
        return false;
    }
    for (size_t i = 0; i < prefixLength; ++i) {
        bool ok = pattern[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                    : line[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    struct tm fields = {};
    auto number = [&](size_t at, size_t digits) { return std::stoi(line.substr(at, digits)); };
    fields.tm_year = number(2, 4) - 1900;
    fields.tm_mon = number(7, 2) - 1;
    fields.tm_mday = number(10, 2);
    fields.tm_hour = number(15, 2);
    fields.tm_min = number(18, 2);
    fields.tm_sec = number(21, 2);
    fields.tm_isdst = -1;
    parsed->when = mktime(&fields);
    parsed->message = line.substr(prefixLength);
    return true;
}

// Takes LogMutex on a thread of its own and says whether it was free at once
// (not owned, not abandoned); releases it again.
DWORD TryLogMutexFromOtherThread() {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(LogMutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(LogMutex);
        }
    }).join();
    return result;
}

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
        char unique[64];
        snprintf(unique, sizeof unique, "corvane_event_log_%lu",
                 static_cast<unsigned long>(GetCurrentProcessId()));
        directory_ = std::string(temp) + unique;
        CreateDirectoryA(directory_.c_str(), nullptr);
        ASSERT_NE(0u, GetCurrentDirectoryA(sizeof previousDirectory_, previousDirectory_));
        ASSERT_TRUE(SetCurrentDirectoryA(directory_.c_str()));
        DeleteFileA("corvane.log");

        char mutexName[96];
        snprintf(mutexName, sizeof mutexName, "CorvaneTest/LogMutex/%lu/%s",
                 static_cast<unsigned long>(GetCurrentProcessId()),
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        LogMutex = CreateMutexA(nullptr, FALSE, mutexName);
        ASSERT_NE(nullptr, LogMutex);
        ASSERT_NE(ERROR_ALREADY_EXISTS, GetLastError());
    }

    void TearDown() override {
        if (LogMutex != nullptr) {
            CloseHandle(LogMutex);
            LogMutex = nullptr;
        }
        DeleteFileA("corvane.log");
        SetCurrentDirectoryA(previousDirectory_);
        RemoveDirectoryA(directory_.c_str());
    }

    std::string CapturePath() const { return directory_ + "\\stdout.txt"; }

    // The messages of the log file, each line checked for its layout and for
    // a time stamp between from and to.
    std::vector<std::string> LoggedMessages(time_t from, time_t to) {
        std::vector<std::string> messages;
        for (const std::string& line : SplitCrLf(ReadWholeFile("corvane.log"))) {
            LogLine parsed;
            EXPECT_TRUE(ParseLine(line, &parsed)) << "malformed line: " << line;
            EXPECT_LE(from, parsed.when) << line;
            EXPECT_GE(to, parsed.when) << line;
            messages.push_back(parsed.message);
        }
        return messages;
    }

    std::string directory_;
    char previousDirectory_[MAX_PATH] = {};
};

TEST_F(EventLog, WritesTimestampedLinesAndEchoesBareMessages) {
    time_t before = time(nullptr);
    StdoutCapture capture(CapturePath());
    WriteLog("Corvane v%s started", "1.10");
    WriteLog("\"%s\" has %u slots", "alpha", 16u);
    std::string echoed = capture.Finish();
    time_t after = time(nullptr);

    // One line each in the file; on standard output the messages run together.
    EXPECT_EQ((std::vector<std::string>{"Corvane v1.10 started", "\"alpha\" has 16 slots"}),
              LoggedMessages(before, after));
    EXPECT_EQ("Corvane v1.10 started\"alpha\" has 16 slots", echoed);
}

TEST_F(EventLog, MessageEndingInLineFeedLeavesAnEmptyLine) {
    time_t before = time(nullptr);
    StdoutCapture capture(CapturePath());
    WriteLog("Corvane v1.10 stopped\n");
    WriteLog("next");
    std::string echoed = capture.Finish();
    time_t after = time(nullptr);

    std::string bytes = ReadWholeFile("corvane.log");
    ASSERT_GE(bytes.size(), 52u);
    EXPECT_EQ(": Corvane v1.10 stopped\r\n\r\nL ", bytes.substr(23, 29)) << bytes;
    std::vector<std::string> lines = SplitCrLf(bytes);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("", lines[1]);
    LogLine last;
    ASSERT_TRUE(ParseLine(lines[2], &last));
    EXPECT_EQ("next", last.message);
    EXPECT_LE(before, last.when);
    EXPECT_GE(after, last.when);
    EXPECT_EQ("Corvane v1.10 stopped\r\nnext", echoed);
}

TEST_F(EventLog, AppendsToAnExistingFileAndStartsAnewWhenItWasRemoved) {
    FILE* existing = fopen("corvane.log", "wb");
    ASSERT_NE(nullptr, existing);
    fputs("earlier line\r\n", existing);
    fclose(existing);

    StdoutCapture capture(CapturePath());
    WriteLog("appended");
    std::string afterAppend = ReadWholeFile("corvane.log");
    ASSERT_TRUE(DeleteFileA("corvane.log"));
    WriteLog("fresh");
    capture.Finish();

    ASSERT_EQ(0u, afterAppend.rfind("earlier line\r\nL ", 0)) << afterAppend;
    EXPECT_EQ("appended\r\n", afterAppend.substr(afterAppend.size() - 10));
    std::string fresh = ReadWholeFile("corvane.log");
    EXPECT_EQ(0u, fresh.rfind("L ", 0)) << fresh;
    EXPECT_EQ("fresh\r\n", fresh.substr(25)) << fresh;
}

TEST_F(EventLog, ManyThreadsNeitherInterleaveNorLoseLines) {
    const int threadCount = 8;
    const int messagesPerThread = 40;
    time_t before = time(nullptr);
    StdoutCapture capture(CapturePath());
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t) {
        writers.emplace_back([t] {
            for (int m = 0; m < messagesPerThread; ++m) {
                WriteLog("<writer %d message %02d with enough text to take a while to write>", t,
                         m);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    std::string echoed = capture.Finish();
    time_t after = time(nullptr);

    std::vector<std::string> messages = LoggedMessages(before, after);
    ASSERT_EQ(static_cast<size_t>(threadCount * messagesPerThread), messages.size());
    std::vector<int> nextOfWriter(threadCount, 0);
    std::string fileOrder;
    for (const std::string& message : messages) {
        int t = -1;
        int m = -1;
        char tail[80] = {};
        ASSERT_EQ(3, sscanf(message.c_str(), "<writer %d message %d %79[^\n]", &t, &m, tail))
            << message;
        ASSERT_EQ("with enough text to take a while to write>", std::string(tail)) << message;
        ASSERT_TRUE(t >= 0 && t < threadCount) << message;
        EXPECT_EQ(nextOfWriter[t], m) << message;
        nextOfWriter[t] = m + 1;
        fileOrder += message;
    }
    // Standard output got the same whole messages in the same order.
    EXPECT_EQ(fileOrder, echoed);
}

TEST_F(EventLog, WriterBlockedPastItsWaitDropsItsLine) {
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        WaitForSingleObject(LogMutex, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(LogMutex);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, 60000));

    StdoutCapture capture(CapturePath());
    WriteLog("dropped while the mutex is held");
    // The call has returned while the holder still has the mutex.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), TryLogMutexFromOtherThread());
    SetEvent(release);
    holder.join();
    time_t before = time(nullptr);
    WriteLog("written after release");
    std::string echoed = capture.Finish();
    time_t after = time(nullptr);

    EXPECT_EQ(std::vector<std::string>{"written after release"}, LoggedMessages(before, after));
    EXPECT_EQ("written after release", echoed);
    CloseHandle(taken);
    CloseHandle(release);
}

TEST_F(EventLog, FileHeldExclusivelyByAnotherProcessLosesTheLineOnly) {
    ChildProcess holder;
    ASSERT_TRUE(holder.Start("\"" + WinePath(TEST_CHILD_EXE) + "\" hold corvane.log"));
    ASSERT_EQ("held\r\n", holder.ReadLine());

    StdoutCapture capture(CapturePath());
    WriteLog("lost while the file is locked");
    WriteLog("also lost");
    std::string echoedWhileHeld = capture.Finish();
    // Nothing went anywhere, and the mutex was given back each time.
    EXPECT_EQ("", echoedWhileHeld);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), TryLogMutexFromOtherThread());

    ASSERT_TRUE(TerminateProcess(holder.Handle(), 0));
    ASSERT_EQ(0u, holder.WaitForExit());

    time_t before = time(nullptr);
    StdoutCapture captureAfter(CapturePath());
    WriteLog("written once the file is free");
    std::string echoed = captureAfter.Finish();
    time_t after = time(nullptr);
    EXPECT_EQ(std::vector<std::string>{"written once the file is free"},
              LoggedMessages(before, after));
    EXPECT_EQ("written once the file is free", echoed);
}

TEST_F(EventLog, AbandonedMutexIsTakenOverAndBackInUseAtOnce) {
    DWORD ownerWait = WAIT_FAILED;
    // This thread ends while it owns the mutex.
    std::thread([&] { ownerWait = WaitForSingleObject(LogMutex, 0); }).join();
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ownerWait);

    time_t before = time(nullptr);
    StdoutCapture capture(CapturePath());
    WriteLog("after the owner vanished");
    // Another thread gets the mutex at once: it was released, not kept.
    DWORD freeAgain = TryLogMutexFromOtherThread();
    std::thread([] { WriteLog("from another thread"); }).join();
    WriteLog("and once more");
    std::string echoed = capture.Finish();
    time_t after = time(nullptr);

    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), freeAgain);
    EXPECT_EQ((std::vector<std::string>{"after the owner vanished", "from another thread",
                                        "and once more"}),
              LoggedMessages(before, after));
    EXPECT_EQ("after the owner vanishedfrom another threadand once more", echoed);
}

TEST_F(EventLog, NoMutexMeansNoLine) {
    CloseHandle(LogMutex);
    LogMutex = nullptr;
    StdoutCapture capture(CapturePath());
    WriteLog("never written");
    EXPECT_EQ("", capture.Finish());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("corvane.log"));
}

} // namespace
