// Starting the update tool: what the stand-in tool receives on its command
// line, in its working directory and on its standard input, and which handles
// the call leaves behind.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <string>

#include "update/output_capture.h"
#include "update/update_process.h"
#include "update_fixture.h"

namespace {

class UpdateProcess : public UpdateFixture {
  protected:
    // Runs the tool once to its end and returns what it recorded and printed.
    ToolRecord RunTool(const ServerEntry& entry, const std::string& toolDir, bool toolCheck,
                       std::string* printed = nullptr) {
        PROCESS_INFORMATION process = {};
        HANDLE pipe = nullptr;
        EXPECT_TRUE(CreateUpdateProcess(entry, process, pipe, toolCheck));
        if (process.hProcess == nullptr) {
            return ToolRecord();
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 10000));
        OutputBuffer output(256);
        DrainPipe(pipe, output);
        if (printed != nullptr) {
            *printed = output.Text();
        }
        CloseHandle(pipe);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        std::vector<ToolRecord> records = ReadToolRecords(toolDir);
        EXPECT_EQ(1u, records.size());
        return records.empty() ? ToolRecord() : records.back();
    }
};

TEST_F(UpdateProcess, ToolCheckPassesArg0QuitAndNothingOnInput) {
    std::string path = root_ + "\\server";
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    ASSERT_TRUE(InstallStandinTool(path + "\\tool"));
    ServerEntry entry = MakeEntry(path, "tool", "232330 validate");

    std::string printed;
    ToolRecord record = RunTool(entry, path + "\\tool", true, &printed);
    EXPECT_EQ("check", record.kind);
    EXPECT_EQ("arg0 +quit", record.commandLine);
    EXPECT_EQ("", record.stdinBytes);
    EXPECT_EQ(path + "\\tool", record.cwd);
    EXPECT_FALSE(record.overlap);
    EXPECT_NE(std::string::npos, printed.find("Verifying installation...\r\n")) << printed;
}

TEST_F(UpdateProcess, UpdateRunGetsNoCommandLineAndTheFourScriptLines) {
    // Blanks in Path stay inside the quotes of one force_install_dir argument.
    std::string path = root_ + "\\my game server";
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    ASSERT_TRUE(InstallStandinTool(path + "\\tool"));
    ServerEntry entry = MakeEntry(path, "tool", "232330 validate");

    std::string printed;
    ToolRecord record = RunTool(entry, path + "\\tool", false, &printed);
    EXPECT_EQ("run", record.kind);
    // Without a command line the system gives the child its application name.
    EXPECT_EQ(std::string::npos, record.commandLine.find("+quit")) << record.commandLine;
    EXPECT_NE(std::string::npos, record.commandLine.find("steamcmd.exe")) << record.commandLine;
    // Exactly the four lines, no terminating zero and nothing behind "quit".
    EXPECT_EQ("force_install_dir \"" + path +
                  "\"\nlogin anonymous\napp_update 232330 validate\nquit\n",
              record.stdinBytes);
    EXPECT_EQ(path + "\\tool", record.cwd);
    // The directory is set before the login, so the tool works on Path.
    EXPECT_FALSE(record.warned);
    EXPECT_EQ(path, record.installDir);
    EXPECT_TRUE(record.installed);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path + "\\srcds.exe").c_str()));
    EXPECT_EQ(std::string::npos, printed.find("force_install_dir before logon")) << printed;
    EXPECT_NE(std::string::npos, printed.find("Success! App '232330' fully installed.\r\n"));
}

TEST_F(UpdateProcess, EmptyUpdArgsLeaveAppUpdateWithOneBlank) {
    std::string path = root_ + "\\server";
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    ASSERT_TRUE(InstallStandinTool(path + "\\tool"));
    ServerEntry entry = MakeEntry(path, "tool", "");

    ToolRecord record = RunTool(entry, path + "\\tool", false);
    EXPECT_EQ("force_install_dir \"" + path + "\"\nlogin anonymous\napp_update \nquit\n",
              record.stdinBytes);
}

TEST_F(UpdateProcess, EmptyUpdPathStartsTheToolInPathItself) {
    // The tool path then holds two backslashes in a row, which the system accepts.
    std::string path = root_ + "\\server";
    ASSERT_TRUE(InstallStandinTool(path));
    ServerEntry entry = MakeEntry(path, "", "232330");

    ToolRecord record = RunTool(entry, path, true);
    EXPECT_EQ("check", record.kind);
    EXPECT_EQ(path, record.cwd);
}

TEST_F(UpdateProcess, ScriptSetsTheDirectoryBeforeTheLogin) {
    ServerEntry entry = MakeEntry("C:\\srv\\a b", "tool", "232330 -beta x");
    char script[512];
    size_t length = BuildUpdateScript(script, sizeof script, entry);
    const std::string expected =
        "force_install_dir \"C:\\srv\\a b\"\nlogin anonymous\napp_update 232330 -beta x\nquit\n";
    EXPECT_EQ(expected.size(), length);
    EXPECT_EQ(expected, script);
    // One byte short of room for the terminator: refused rather than cut.
    EXPECT_EQ(0u, BuildUpdateScript(script, expected.size(), entry));
    EXPECT_EQ(expected.size(), BuildUpdateScript(script, expected.size() + 1, entry));
}

TEST_F(UpdateProcess, HoldsExactlyThreeHandlesAfterAStartAndNoneAfterAFailure) {
    std::string path = root_ + "\\server";
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    ServerEntry entry = MakeEntry(path, "tool", "232330");

    // No steamcmd.exe in the directory: all four pipe ends are closed again.
    for (bool toolCheck : {true, false}) {
        PROCESS_INFORMATION process = {};
        HANDLE pipe = nullptr;
        size_t before = CountOwnHandles();
        ASSERT_NE(0u, before);
        EXPECT_FALSE(CreateUpdateProcess(entry, process, pipe, toolCheck));
        EXPECT_EQ(before, CountOwnHandles());
        EXPECT_EQ(nullptr, pipe);
        EXPECT_EQ(nullptr, process.hProcess);
        EXPECT_EQ(nullptr, process.hThread);
    }

    // With the tool in place: its process, its thread and the pipe's read end.
    ASSERT_TRUE(InstallStandinTool(path + "\\tool"));
    for (bool toolCheck : {true, false}) {
        PROCESS_INFORMATION process = {};
        HANDLE pipe = nullptr;
        size_t before = CountOwnHandles();
        ASSERT_TRUE(CreateUpdateProcess(entry, process, pipe, toolCheck));
        EXPECT_EQ(before + 3, CountOwnHandles());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 10000));
        CloseHandle(pipe);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        EXPECT_EQ(before, CountOwnHandles());
    }
}

} // namespace
