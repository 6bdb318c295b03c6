// The stand-in update tool itself: it must notice what the update tests rely
// on it to notice, a login before force_install_dir and a second instance.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <string>

#include "helpers/steamcmd_standin/tool_client.h"

namespace {

// The stand-in started with the given script on its input; its output is read
// until it exits.
class StandinRun {
  public:
    bool Start(const std::string& toolDir, const std::string& script) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE inputRead = nullptr;
        HANDLE inputWrite = nullptr;
        HANDLE outputWrite = nullptr;
        if (!CreatePipe(&inputRead, &inputWrite, &inheritable, 4096) ||
            !CreatePipe(&outputRead_, &outputWrite, &inheritable, 4096)) {
            return false;
        }
        SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(outputRead_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inputRead;
        startup.hStdOutput = outputWrite;
        startup.hStdError = outputWrite;
        std::string tool = toolDir + "\\steamcmd.exe";
        bool started = CreateProcessA(tool.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr,
                                      toolDir.c_str(), &startup, &process_) != 0;
        CloseHandle(inputRead);
        CloseHandle(outputWrite);
        if (started) {
            DWORD written = 0;
            WriteFile(inputWrite, script.data(), static_cast<DWORD>(script.size()), &written,
                      nullptr);
        }
        CloseHandle(inputWrite);
        return started;
    }

    std::string ReadAll() {
        std::string all;
        char chunk[1024];
        DWORD got = 0;
        while (ReadFile(outputRead_, chunk, sizeof chunk, &got, nullptr) && got != 0) {
            all.append(chunk, got);
        }
        return all;
    }

    ~StandinRun() {
        if (process_.hProcess != nullptr) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 10000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        if (outputRead_ != nullptr) {
            CloseHandle(outputRead_);
        }
    }

  private:
    PROCESS_INFORMATION process_ = {};
    HANDLE outputRead_ = nullptr;
};

class ToolStandin : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = MakeTempDirectory("tool_standin");
        ASSERT_FALSE(root_.empty());
        toolDir_ = root_ + "\\tool";
        ASSERT_TRUE(InstallStandinTool(toolDir_));
    }
    void TearDown() override { RemoveTree(root_); }

    std::string root_;
    std::string toolDir_;
};

TEST_F(ToolStandin, LoginBeforeTheDirectoryWarnsAndInstallsIntoItsOwnDirectory) {
    std::string path = root_ + "\\server";
    StandinRun run;
    ASSERT_TRUE(run.Start(toolDir_, "login anonymous\nforce_install_dir \"" + path +
                                        "\"\napp_update 232330\nquit\n"));
    std::string output = run.ReadAll();
    EXPECT_NE(std::string::npos, output.find("Please use force_install_dir before logon!\r\n"));
    // Still reported as a success: only the install directory tells.
    EXPECT_NE(std::string::npos, output.find("Success! App '232330' fully installed.\r\n"));
    std::vector<ToolRecord> records = ReadToolRecords(toolDir_);
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0].warned);
    EXPECT_EQ(toolDir_ + "\\default_install", records[0].installDir);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path + "\\srcds.exe").c_str()));
}

TEST_F(ToolStandin, ScriptEndsAtQuitOrAtTheEndOfInput) {
    // No quit line: the closed input ends the script all the same.
    StandinRun run;
    ASSERT_TRUE(run.Start(toolDir_, "force_install_dir \"" + root_ + "\\s\"\nlogin anonymous\n"));
    run.ReadAll();
    std::vector<ToolRecord> records = ReadToolRecords(toolDir_);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("force_install_dir \"" + root_ + "\\s\"\nlogin anonymous\n", records[0].stdinBytes);
    EXPECT_FALSE(records[0].warned);
    EXPECT_EQ(root_ + "\\s", records[0].installDir);
}

TEST_F(ToolStandin, SecondInstanceRecordsTheOverlap) {
    ASSERT_TRUE(WriteToolControl(toolDir_, "runs=hang,fail\r\n"));
    StandinRun first;
    ASSERT_TRUE(first.Start(toolDir_, "quit\n"));
    ASSERT_TRUE(WaitToolRecords(toolDir_, 1, 10000));
    StandinRun second;
    ASSERT_TRUE(second.Start(toolDir_, "quit\n"));
    second.ReadAll();
    std::vector<ToolRecord> records = ReadToolRecords(toolDir_);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("hang", records[0].mode);
    EXPECT_FALSE(records[0].overlap);
    EXPECT_EQ("fail", records[1].mode);
    EXPECT_TRUE(records[1].overlap);
}

} // namespace
