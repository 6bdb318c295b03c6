// ProcessExited on real child processes; FileExists and DirExists on real paths.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>

#include "service/test_processes.h"
#include "support/file_helpers.h"

namespace {

std::string ChildCommand(const std::string& arguments) {
    return "\"" + WinePath(TEST_CHILD_EXE) + "\" " + arguments;
}

TEST(ProcessExited, RunningChildReadsRunningUntilItEnds) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(ChildCommand("wait")));
    EXPECT_FALSE(ProcessExited(child.Handle()));
    child.CloseStdin();
    ASSERT_EQ(0u, child.WaitForExit());
    EXPECT_TRUE(ProcessExited(child.Handle()));
}

TEST(ProcessExited, EndedChildReadsEndedUnlessItsCodeIsStillActive) {
    const struct {
        DWORD exitCode;
        bool readsExited;
    } cases[] = {
        {0, true}, {1, true}, {258, true}, {259, false}, {260, true},
    };
    for (const auto& c : cases) {
        ChildProcess child;
        ASSERT_TRUE(child.Start(ChildCommand("exit " + std::to_string(c.exitCode))));
        ASSERT_EQ(c.exitCode, child.WaitForExit()) << c.exitCode;
        EXPECT_EQ(c.readsExited, ProcessExited(child.Handle())) << c.exitCode;
    }
}

TEST(ProcessExited, UnreadableHandleReadsEnded) {
    // A handle without query rights tells nothing more about the process.
    EXPECT_TRUE(ProcessExited(nullptr));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(ProcessExited(event));
    CloseHandle(event);
}

TEST(FileAndDirExists, TellFilesFromDirectoriesFromMissingPaths) {
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
    char unique[64];
    snprintf(unique, sizeof unique, "corvane_file_helpers_%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    std::string directory = std::string(temp) + unique;
    std::string file = directory + "\\update_request.txt";
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
    FILE* created = fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, created);
    fclose(created);

    const struct {
        std::string path;
        bool fileExists;
        bool dirExists;
    } cases[] = {
        {file, true, false},
        {directory, false, true},
        {directory + "\\", false, true},
        {directory + "\\missing.txt", false, false},
        {directory + "\\missing\\update_request.txt", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.fileExists, FileExists(c.path.c_str())) << c.path;
        EXPECT_EQ(c.dirExists, DirExists(c.path.c_str())) << c.path;
    }

    DeleteFileA(file.c_str());
    RemoveDirectoryA(directory.c_str());
    EXPECT_FALSE(DirExists(directory.c_str()));
}

} // namespace
