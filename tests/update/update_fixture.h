// Shared ground for the update tests under Wine: each test runs in a fresh
// temp directory made current, with its own LogMutex and UpdMutex names, and
// reads the event log's messages back behind their time stamps.
#pragma once

#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "config/server_entry.h"
#include "helpers/handle_count.h"
#include "helpers/steamcmd_standin/tool_client.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"

// The event log's "L YYYY/MM/DD - hh:mm:ss: " in front of each message.
constexpr size_t StampLength = 25;

inline ServerEntry MakeEntry(const std::string& path, const char* updPath, const char* updArgs) {
    ServerEntry entry = {};
    CopyBounded(entry.FriendlyName, sizeof entry.FriendlyName, "alpha");
    CopyBounded(entry.Path, sizeof entry.Path, path.c_str());
    CopyBounded(entry.GameDir, sizeof entry.GameDir, "game");
    CopyBounded(entry.MonitorDelay, sizeof entry.MonitorDelay, "0");
    CopyBounded(entry.UpdPath, sizeof entry.UpdPath, updPath);
    CopyBounded(entry.UpdArgs, sizeof entry.UpdArgs, updArgs);
    return entry;
}

class UpdateFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = MakeTempDirectory("update");
        ASSERT_FALSE(root_.empty());
        ASSERT_NE(0u, GetCurrentDirectoryA(sizeof previousDirectory_, previousDirectory_));
        ASSERT_TRUE(SetCurrentDirectoryA(root_.c_str()));
        const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        char name[128];
        snprintf(name, sizeof name, "CorvaneTest/LogMutex/%lu/%s",
                 static_cast<unsigned long>(GetCurrentProcessId()), test);
        LogMutex = CreateMutexA(nullptr, FALSE, name);
        ASSERT_NE(nullptr, LogMutex);
        snprintf(name, sizeof name, "CorvaneTest/UpdMutex/%lu/%s",
                 static_cast<unsigned long>(GetCurrentProcessId()), test);
        UpdMutex = CreateMutexA(nullptr, FALSE, name);
        ASSERT_NE(nullptr, UpdMutex);
    }

    void TearDown() override {
        CloseHandle(LogMutex);
        LogMutex = nullptr;
        CloseHandle(UpdMutex);
        UpdMutex = nullptr;
        SetCurrentDirectoryA(previousDirectory_);
        RemoveTree(root_);
    }

    // The event log's messages without their time stamps; each line must end in CR LF.
    std::vector<std::string> LoggedMessages() const {
        std::vector<std::string> messages;
        std::string bytes = ReadFileBytes(root_ + "\\corvane.log");
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find("\r\n", start);
            EXPECT_NE(std::string::npos, end) << "unterminated line";
            if (end == std::string::npos) {
                break;
            }
            std::string line = bytes.substr(start, end - start);
            EXPECT_LE(StampLength, line.size()) << line;
            messages.push_back(line.size() < StampLength ? line : line.substr(StampLength));
            start = end + 2;
        }
        return messages;
    }

    std::string root_;
    char previousDirectory_[MAX_PATH] = {};
};
