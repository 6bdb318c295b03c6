// DrainPipe on real anonymous pipes, and the update log's records in a real file.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <string>
#include <time.h>

#include "support/log_prefix.h"
#include "update/output_capture.h"
#include "update_fixture.h"

namespace {

struct DrainJob {
    HANDLE pipe;
    OutputBuffer* output;
};

DWORD WINAPI DrainOnThread(LPVOID parameter) {
    DrainJob* job = static_cast<DrainJob*>(parameter);
    DrainPipe(job->pipe, *job->output);
    return 0;
}

class Drain : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(CreatePipe(&read_, &write_, nullptr, 2048)); }
    void TearDown() override {
        CloseHandle(read_);
        if (write_ != nullptr) {
            CloseHandle(write_);
        }
    }

    void Put(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(write_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(bytes.size(), written);
    }

    // Drains on another thread; a drain that has not returned within 5 s is
    // reported and released by closing the writer.
    bool DrainReturns(OutputBuffer& output) {
        DrainJob job = {read_, &output};
        HANDLE thread = CreateThread(nullptr, 0, DrainOnThread, &job, 0, nullptr);
        EXPECT_NE(nullptr, thread);
        if (thread == nullptr) {
            return false;
        }
        bool returned = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
        if (!returned) {
            CloseHandle(write_);
            write_ = nullptr;
            WaitForSingleObject(thread, INFINITE);
        }
        CloseHandle(thread);
        return returned;
    }

    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

TEST_F(Drain, EmptyPipeWithItsWriterOpenReturnsAtOnceAndAddsNothing) {
    OutputBuffer output(256);
    output.Append("kept");
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_STREQ("kept", output.Text());
    EXPECT_EQ(4u, output.Length());
}

TEST_F(Drain, TakesEverythingWaitingInChunksAndThenReturns) {
    std::string bytes;
    for (int i = 0; i < 600; ++i) {
        bytes += static_cast<char>('a' + i % 26);
    }
    Put(bytes);
    OutputBuffer output(256);
    output.Append(">");
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_EQ(">" + bytes, output.Text());

    // Later output is appended behind it on the next drain.
    Put("tail\r\n");
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_EQ(">" + bytes + "tail\r\n", output.Text());
}

TEST_F(Drain, ZeroByteEndsThatChunksText) {
    // 300 bytes arrive as a chunk of 255 and one of 45; the zero at index 10
    // cuts the first chunk there, the second is taken whole.
    std::string bytes(300, 'x');
    bytes[10] = '\0';
    for (size_t i = 255; i < 300; ++i) {
        bytes[i] = 'y';
    }
    Put(bytes);
    OutputBuffer output(256);
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_EQ(std::string(10, 'x') + std::string(45, 'y'), output.Text());
}

TEST_F(Drain, BrokenPipeEndsTheDrain) {
    Put("last words\r\n");
    CloseHandle(write_);
    write_ = nullptr;
    OutputBuffer output(256);
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_STREQ("last words\r\n", output.Text());
    EXPECT_TRUE(DrainReturns(output));
    EXPECT_STREQ("last words\r\n", output.Text());
}

class UpdateLog : public UpdateFixture {};

TEST_F(UpdateLog, AppendsAStampedHeaderThenTheTextAndALineFeed) {
    ServerEntry entry = MakeEntry(root_, "tool", "232330");
    time_t before = time(nullptr);
    WriteUpdateLog(entry, "Loading...\r\nSuccess! App '232330' fully installed.\r\n");
    WriteUpdateLog(entry, "");
    time_t after = time(nullptr);

    std::string bytes = ReadFileBytes(root_ + "\\corvane_update.log");
    // Text mode writes every line feed as CR LF, so the tool's CR LF become CR CR LF.
    const std::string header = "[UpdateLog for \"alpha\" follows]\r\n";
    const std::string first =
        header + "Loading...\r\r\nSuccess! App '232330' fully installed.\r\r\n\r\n";
    const std::string second = header + "\r\n";
    ASSERT_EQ(2 * StampLength + first.size() + second.size(), bytes.size()) << bytes;
    EXPECT_EQ(first, bytes.substr(StampLength, first.size()));
    EXPECT_EQ(second, bytes.substr(2 * StampLength + first.size()));

    // The stamps read the local time of the writing, as the event log's do.
    for (size_t at : {size_t(0), StampLength + first.size()}) {
        std::string stamp = bytes.substr(at, StampLength);
        bool matched = false;
        for (time_t t = before; t <= after; ++t) {
            char expected[LogPrefixSize];
            FormatLogPrefix(expected, sizeof expected, *localtime(&t));
            matched = matched || stamp == expected;
        }
        EXPECT_TRUE(matched) << stamp;
        EXPECT_EQ('L', stamp[0]);
        EXPECT_EQ(std::string::npos, stamp.find_first_not_of("L0123456789/-: ")) << stamp;
    }
    EXPECT_TRUE(LoggedMessages().empty());
}

TEST_F(UpdateLog, UnopenableLogWritesOneEventLineAndNothingElse) {
    ASSERT_TRUE(CreateDirectoryA("corvane_update.log", nullptr));
    ServerEntry entry = MakeEntry(root_, "tool", "232330");
    WriteUpdateLog(entry, "Success!\r\n");
    EXPECT_EQ(std::vector<std::string>{"[Update] Failed to write log to \"corvane_update.log\""},
              LoggedMessages());
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA("corvane_update.log") & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace
