// The update cycle stepped by hand through its state actions, with real runs
// of the stand-in update tool, the real event log and update log, and a real
// named UpdMutex. Time is whatever the test says it is; each awaiting step
// comes after the tool has really ended (or is meant not to have).
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

#include "monitor/monitor_thread.h"
#include "update/update_cycle.h"
#include "update_fixture.h"

// The cycle asks ProcessExited whether the tool has ended. When a test arms
// exitGate, the question first opens the gate on which the stand-in holds back
// its last output, and waits until the tool has written it and exited: the
// output then arrives after the cycle's first drain and before the answer.
static HANDLE exitGate = nullptr;
extern "C" bool __real__Z13ProcessExitedPv(HANDLE process);
extern "C" bool __wrap__Z13ProcessExitedPv(HANDLE process) {
    if (exitGate != nullptr) {
        SetEvent(exitGate);
        exitGate = nullptr;
        WaitForSingleObject(process, 10000);
    }
    return __real__Z13ProcessExitedPv(process);
}

namespace {

const std::string VersionCheck = "[Update] Tool version check";
const std::string UpToDate = "[Update] Tool is up to date";
const std::string SelfUpdated = "[Update] Tool has been updated";
const std::string Launched = "[Update] Launched for \"alpha\"";
const std::string Completed = "[Update] Completed successfully";
const std::string Unreliable = "[Update] Result unreliable, retry in 10s";
const std::string TimedOut = "[Update] Timed out, retry in 120s";
const std::string GaveUp = "[Update] Ran 3 times without reliable result";
const std::string CreateFailed = "[Update] CreateUpdateProcess failed for \"alpha\", retry in 10s";
const std::string Terminated = "[Update] Terminated for \"alpha\"";
const std::string Header = "[UpdateLog for \"alpha\" follows]\r\n";

using Lines = std::vector<std::string>;

class UpdateCycle : public UpdateFixture {
  protected:
    void TearDown() override {
        if (monitor_ != nullptr && monitor_->tool.hProcess != nullptr) {
            TerminateProcess(monitor_->tool.hProcess, 1);
        }
        EndTracked();
        monitor_.reset();
        UpdateFixture::TearDown();
    }

    // A server whose Path exists, with the request file in its game directory
    // and the tool in Path\tool; or, for a first installation, no Path and
    // the tool beside it, reached as Path\..\tool.
    void Prepare(bool installed, const std::string& control) {
        path_ = root_ + "\\server";
        if (installed) {
            ASSERT_TRUE(CreateDirectoryA(path_.c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryA((path_ + "\\game").c_str(), nullptr));
            ASSERT_TRUE(
                WriteToolControl(path_ + "\\game", "") &&
                MoveFileA((path_ + "\\game\\steamcmd_control.txt").c_str(), RequestPath().c_str()));
            toolDir_ = path_ + "\\tool";
        } else {
            toolDir_ = root_ + "\\tool";
        }
        ASSERT_TRUE(InstallStandinTool(toolDir_));
        ASSERT_TRUE(WriteToolControl(toolDir_, control));
        entry_ = MakeEntry(path_, installed ? "tool" : "..\\tool", "232330 validate");
        monitor_ = std::make_unique<MonitorState>(entry_);
        StartMonitor(*monitor_);
        ASSERT_EQ(AcquireUpdateLock, monitor_->state);
    }

    std::string RequestPath() const { return path_ + "\\game\\update_request.txt"; }

    // Runs the current state's action at time now; after a tool was started,
    // keeps a handle of it to wait on and to read its exit code.
    void Step(int64_t now) {
        HANDLE before = monitor_->tool.hProcess;
        uint32_t stateBefore = monitor_->state;
        int64_t nextBefore = monitor_->nextActionTime;
        RunUpdateAction(*monitor_, now);
        // Wine's process creation fails now and then on a loaded machine. A
        // start that failed while the tool is in place is taken again at the
        // same second, and its failure line left out of LoggedMessages; the
        // failure path itself is tested with the tool missing.
        for (int retry = 0;
             retry < 3 && (stateBefore == StartToolCheck || stateBefore == StartUpdate) &&
             monitor_->state == stateBefore && ToolInPlace();
             ++retry) {
            spuriousFailureLines_.push_back(UpdateFixture::LoggedMessages().size() - 1);
            monitor_->nextActionTime = nextBefore;
            RunUpdateAction(*monitor_, now);
        }
        if (monitor_->tool.hProcess != nullptr && monitor_->tool.hProcess != before) {
            EndTracked();
            ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), monitor_->tool.hProcess,
                                        GetCurrentProcess(), &tracked_, 0, FALSE,
                                        DUPLICATE_SAME_ACCESS));
        }
    }

    void AwaitToolExit() {
        ASSERT_NE(nullptr, tracked_);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(tracked_, 10000));
    }

    DWORD TrackedExitCode() {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(tracked_, &code));
        return code;
    }

    void EndTracked() {
        if (tracked_ != nullptr) {
            if (WaitForSingleObject(tracked_, 0) == WAIT_TIMEOUT) {
                TerminateProcess(tracked_, 1);
                WaitForSingleObject(tracked_, 10000);
            }
            CloseHandle(tracked_);
            tracked_ = nullptr;
        }
    }

    // One step that starts a tool run and one, after its exit, that judges it.
    void StartAndJudge(int64_t now) {
        Step(now);
        AwaitToolExit();
        Step(now + 1);
    }

    void ExpectNoRunHeld() {
        EXPECT_EQ(nullptr, monitor_->tool.hProcess);
        EXPECT_EQ(nullptr, monitor_->tool.hThread);
        EXPECT_EQ(0u, monitor_->tool.dwProcessId);
        EXPECT_EQ(nullptr, monitor_->outputPipe);
        EXPECT_EQ(0u, monitor_->output.Length());
        EXPECT_STREQ("", monitor_->output.Text());
    }

    void ExpectAt(uint32_t state, int64_t nextActionTime) {
        EXPECT_EQ(state, monitor_->state);
        EXPECT_EQ(nextActionTime, monitor_->nextActionTime);
    }

    std::string UpdateLog() const { return ReadFileBytes(root_ + "\\corvane_update.log"); }

    ServerEntry entry_ = {};
    std::unique_ptr<MonitorState> monitor_;
    std::string path_;
    bool ToolInPlace() const {
        return !toolDir_.empty() &&
               GetFileAttributesA((toolDir_ + "\\steamcmd.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // The event log's messages less the failure lines of starts taken again.
    std::vector<std::string> LoggedMessages() const {
        std::vector<std::string> messages = UpdateFixture::LoggedMessages();
        for (auto index = spuriousFailureLines_.rbegin(); index != spuriousFailureLines_.rend();
             ++index) {
            if (*index < messages.size() && messages[*index] == CreateFailed) {
                messages.erase(messages.begin() + static_cast<std::ptrdiff_t>(*index));
            }
        }
        return messages;
    }

    std::vector<size_t> spuriousFailureLines_;
    std::string toolDir_;
    HANDLE tracked_ = nullptr;
};

// Another thread's view: can UpdMutex be taken right now?
bool UpdMutexFreeElsewhere() {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(UpdMutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(UpdMutex);
        }
    }).join();
    return result == WAIT_OBJECT_0;
}

TEST(OutputHasMarker, FindsOnlyWholeLinesWithinTheirFirst63Characters) {
    const std::string pad62(62, '.');
    const std::string pad63(63, '.');
    struct Case {
        std::string text;
        bool found;
    };
    const Case cases[] = {
        {"Success! App '232330' fully installed.\r\n", true},
        {"Loading...\r\nSuccess!\r\nDone\r\n", true},
        {"Loading...\r\nSuccess!", false},         // last piece, no CR LF behind it
        {"Success!\n", false},                     // a bare line feed ends no line
        {"success!\r\nSUCCESS!\r\n", false},       // letter case counts
        {pad62.substr(7) + "Success!\r\n", true},  // ends at the 63rd character
        {pad62.substr(6) + "Success!\r\n", false}, // its "!" is the 64th
        {pad63 + "Success!\r\n", false},           // behind the 63rd character
        {"Succ\r\ness!\r\n", false},               // split over two lines
        {"", false},
        {"\r\n\r\nSuccess!\r\n", true},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.found, OutputHasMarker(&text[0], "Success!")) << c.text;
        EXPECT_EQ(c.text, text) << "text not restored";
    }
}

TEST_F(UpdateCycle, SelfUpdatedToolIsCheckedAgainThenTheUpdateSucceeds) {
    Prepare(true, "check=selfupdate\r\nruns=success\r\nsrcds=" CORVANE_SRCDS_STANDIN_EXE "\r\n");
    const int64_t t = 1000;

    Step(t);
    ExpectAt(StartToolCheck, 0);
    EXPECT_EQ(0u, monitor_->attemptCount);
    EXPECT_FALSE(UpdMutexFreeElsewhere());

    Step(t);
    ExpectAt(AwaitToolCheck, 0);
    EXPECT_EQ(t + 60, monitor_->toolDeadline);
    AwaitToolExit();
    Step(t + 1);
    ExpectAt(StartToolCheck, t + 6);
    ExpectNoRunHeld();

    StartAndJudge(t + 6);
    ExpectAt(StartUpdate, t + 12);
    ExpectNoRunHeld();
    // The tool check's output goes to no log.
    EXPECT_EQ("", UpdateLog());

    Step(t + 12);
    ExpectAt(AwaitUpdate, t + 12);
    EXPECT_EQ(t + 12 + 1200, monitor_->toolDeadline);
    EXPECT_EQ(1u, monitor_->attemptCount);
    AwaitToolExit();
    Step(t + 13);
    ExpectAt(LaunchServer, t + 18);
    ExpectNoRunHeld();

    EXPECT_EQ((Lines{VersionCheck, SelfUpdated, VersionCheck, UpToDate, Launched, Completed}),
              LoggedMessages());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath().c_str()));
    EXPECT_TRUE(UpdMutexFreeElsewhere());

    // The whole output, CR LF stored as CR CR LF, behind one stamped header.
    std::string log = UpdateLog();
    ASSERT_LT(StampLength, log.size());
    EXPECT_EQ(Header + "Logging in anonymously... OK\r\r\n"
                       " Update state (0x61) downloading, progress: 50.00\r\r\n"
                       "Success! App '232330' fully installed.\r\r\n\r\n",
              log.substr(StampLength));

    // The tool installed the game server into Path, told to before its login.
    std::vector<ToolRecord> records = ReadToolRecords(toolDir_);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("check", records[0].kind);
    EXPECT_EQ("check", records[1].kind);
    EXPECT_EQ("run", records[2].kind);
    for (const ToolRecord& record : records) {
        EXPECT_FALSE(record.warned);
        EXPECT_FALSE(record.overlap);
    }
    EXPECT_EQ(path_, records[2].installDir);
    EXPECT_TRUE(records[2].installed);
    EXPECT_EQ(ReadFileBytes(CORVANE_SRCDS_STANDIN_EXE), ReadFileBytes(path_ + "\\srcds.exe"));
}

TEST_F(UpdateCycle, FirstInstallationCreatesPathAndMissesNoRequestFile) {
    Prepare(false, "check=uptodate\r\nruns=success\r\n");
    const int64_t t = 5000;
    Step(t);
    StartAndJudge(t);
    ExpectAt(StartUpdate, t + 6);
    StartAndJudge(t + 6);
    ExpectAt(LaunchServer, t + 12);
    EXPECT_EQ((Lines{VersionCheck, UpToDate, Launched, Completed}), LoggedMessages());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path_ + "\\srcds.exe").c_str()));
    EXPECT_TRUE(UpdMutexFreeElsewhere());
    std::vector<ToolRecord> records = ReadToolRecords(toolDir_);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(path_, records[1].installDir);
    EXPECT_FALSE(records[1].warned);
}

TEST_F(UpdateCycle, ThreeRunsWithoutAMarkerInAWholeLineGiveUp) {
    // None of these outputs holds the marker where it counts.
    const std::string checkOutput = "[----] downloading update (0 of 40,960 KB)...\\r\\n"
                                    "[----] Downloading update";
    const std::string runOutputs[] = {
        "Loading...\\r\\nSuccess! App '232330' fully installed.",
        std::string(60, '.') + "Success! App '232330' fully installed.\\r\\n",
        "success! app '232330' fully installed.\\r\\nSUCCESS!\\r\\n",
    };
    Prepare(true, "checkoutput=" + checkOutput + "\r\n");
    const int64_t t = 2000;
    Step(t);
    StartAndJudge(t);
    ExpectAt(StartUpdate, t + 6);

    int64_t now = t + 6;
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(WriteToolControl(toolDir_, "runoutput=" + runOutputs[run] + "\r\n"));
        StartAndJudge(now);
        EXPECT_EQ(static_cast<uint32_t>(run + 1), monitor_->attemptCount);
        ExpectNoRunHeld();
        if (run < 2) {
            ExpectAt(StartUpdate, now + 11);
            EXPECT_FALSE(UpdMutexFreeElsewhere());
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath().c_str()));
        }
        now += 11;
    }
    ExpectAt(LaunchServer, now - 11 + 1 + 10);
    EXPECT_EQ((Lines{VersionCheck, UpToDate, Launched, Unreliable, Launched, Unreliable, Launched,
                     GaveUp}),
              LoggedMessages());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath().c_str()));
    EXPECT_TRUE(UpdMutexFreeElsewhere());

    // Each run's output was logged before it was judged.
    std::string log = UpdateLog();
    size_t records = 0;
    for (size_t at = log.find(Header); at != std::string::npos; at = log.find(Header, at + 1)) {
        ++records;
    }
    EXPECT_EQ(3u, records);
    EXPECT_NE(std::string::npos, log.find("SUCCESS!\r\r\n"));
}

TEST_F(UpdateCycle, RunPastItsDeadlineIsCutOffAndCountsAsAnAttempt) {
    Prepare(true, "runs=hang,crash,fail\r\n");
    const int64_t t = 3000;
    Step(t);
    StartAndJudge(t);
    Step(t + 6);
    ExpectAt(AwaitUpdate, t + 6);
    // Its record is written after its output, so the output waits in the pipe.
    ASSERT_TRUE(WaitToolRecords(toolDir_, 2, 10000));

    Step(t + 6 + 1199);
    ExpectAt(AwaitUpdate, t + 6);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(tracked_, 0));
    EXPECT_EQ((Lines{VersionCheck, UpToDate, Launched}), LoggedMessages());

    Step(t + 6 + 1200);
    ExpectAt(StartUpdate, t + 6 + 1200 + 120);
    EXPECT_EQ(1u, monitor_->attemptCount);
    ExpectNoRunHeld();
    AwaitToolExit();
    EXPECT_EQ(1u, TrackedExitCode());
    EXPECT_FALSE(UpdMutexFreeElsewhere());
    EXPECT_EQ(Header + "Logging in anonymously... OK\r\r\n"
                       " Update state (0x61) downloading, progress: 10.00\r\r\n\r\n",
              UpdateLog().substr(StampLength));

    // A crash and a failure: the third attempt ends the cycle.
    int64_t now = t + 6 + 1320;
    StartAndJudge(now);
    AwaitToolExit();
    EXPECT_EQ(0xC0000005u, TrackedExitCode());
    ExpectAt(StartUpdate, now + 11);
    StartAndJudge(now + 11);
    ExpectAt(LaunchServer, now + 11 + 11);
    ExpectNoRunHeld();
    EXPECT_EQ(
        (Lines{VersionCheck, UpToDate, Launched, TimedOut, Launched, Unreliable, Launched, GaveUp}),
        LoggedMessages());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(RequestPath().c_str()));
    EXPECT_TRUE(UpdMutexFreeElsewhere());
    for (const ToolRecord& record : ReadToolRecords(toolDir_)) {
        EXPECT_FALSE(record.overlap);
        EXPECT_FALSE(record.warned);
    }
}

TEST_F(UpdateCycle, ToolCheckPastSixtySecondsIsCutOffWithoutAnUpdateLog) {
    Prepare(true, "check=hang\r\n");
    const int64_t t = 4000;
    Step(t);
    Step(t);
    ASSERT_TRUE(WaitToolRecords(toolDir_, 1, 10000));
    Step(t + 59);
    ExpectAt(AwaitToolCheck, 0);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(tracked_, 0));

    Step(t + 60);
    ExpectAt(StartToolCheck, t + 180);
    ExpectNoRunHeld();
    AwaitToolExit();
    EXPECT_EQ(1u, TrackedExitCode());
    EXPECT_EQ((Lines{VersionCheck, TimedOut}), LoggedMessages());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("corvane_update.log"));
    EXPECT_EQ(0u, monitor_->attemptCount);
}

TEST_F(UpdateCycle, FailedStartRetriesInTenSecondsWithoutCountingAnAttempt) {
    Prepare(true, "");
    std::string tool = toolDir_ + "\\steamcmd.exe";
    ASSERT_TRUE(DeleteFileA(tool.c_str()));
    const int64_t t = 6000;
    Step(t);
    Step(t);
    ExpectAt(StartToolCheck, t + 10);
    ExpectNoRunHeld();

    ASSERT_TRUE(InstallStandinTool(toolDir_));
    StartAndJudge(t + 10);
    ExpectAt(StartUpdate, t + 16);

    ASSERT_TRUE(DeleteFileA(tool.c_str()));
    Step(t + 16);
    ExpectAt(StartUpdate, t + 26);
    EXPECT_EQ(0u, monitor_->attemptCount);
    ExpectNoRunHeld();
    EXPECT_FALSE(UpdMutexFreeElsewhere());

    ASSERT_TRUE(InstallStandinTool(toolDir_));
    Step(t + 26);
    ExpectAt(AwaitUpdate, t + 26);
    EXPECT_EQ(1u, monitor_->attemptCount);
    EXPECT_EQ((Lines{CreateFailed, VersionCheck, UpToDate, CreateFailed, Launched}),
              LoggedMessages());
}

TEST_F(UpdateCycle, MutexHeldElsewhereIsTriedAgainInTenSecondsSilently) {
    Prepare(true, "");
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        WaitForSingleObject(UpdMutex, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(UpdMutex);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, 10000));
    Step(7000);
    ExpectAt(AcquireUpdateLock, 7010);
    SetEvent(release);
    holder.join();
    CloseHandle(taken);
    CloseHandle(release);

    Step(7010);
    ExpectAt(StartToolCheck, 7010);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("corvane.log"));
    EXPECT_FALSE(UpdMutexFreeElsewhere());
}

TEST_F(UpdateCycle, AbandonedMutexCountsAsTaken) {
    Prepare(true, "");
    std::thread([] { WaitForSingleObject(UpdMutex, INFINITE); }).join();
    Step(7500);
    ExpectAt(StartToolCheck, 0);
    // This thread owns it now: releasing succeeds once, and it is free again.
    EXPECT_TRUE(ReleaseMutex(UpdMutex));
    EXPECT_TRUE(UpdMutexFreeElsewhere());
}

TEST_F(UpdateCycle, StopDuringARunTerminatesTheTool) {
    Prepare(true, "runs=hang\r\n");
    Step(8000);
    StartAndJudge(8000);
    Step(8006);
    ASSERT_TRUE(WaitToolRecords(toolDir_, 2, 10000));
    StopMonitor(*monitor_);
    AwaitToolExit();
    EXPECT_EQ(0u, TrackedExitCode());
    EXPECT_EQ(nullptr, monitor_->tool.hProcess);
    EXPECT_EQ(nullptr, monitor_->tool.hThread);
    EXPECT_EQ(nullptr, monitor_->outputPipe);
    EXPECT_EQ((Lines{VersionCheck, UpToDate, Launched, Terminated}), LoggedMessages());
}

TEST_F(UpdateCycle, StopAfterAFinishedRunTerminatesNothing) {
    Prepare(true, "");
    Step(8500);
    StartAndJudge(8500);
    ExpectAt(StartUpdate, 8506);
    StopMonitor(*monitor_);
    EXPECT_EQ((Lines{VersionCheck, UpToDate}), LoggedMessages());
}

TEST_F(UpdateCycle, OutputWrittenJustBeforeTheExitIsJudged) {
    char gateName[96];
    snprintf(gateName, sizeof gateName, "CorvaneTest/ToolGate/%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, gateName);
    ASSERT_NE(nullptr, gate);
    Prepare(true, std::string("runs=gated\r\ngate=") + gateName + "\r\n");
    Step(9000);
    StartAndJudge(9000);
    Step(9006);
    // The run has read its script and prints nothing until the gate opens.
    ASSERT_TRUE(WaitToolRecords(toolDir_, 2, 10000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(tracked_, 0));

    exitGate = gate;
    Step(9007);
    exitGate = nullptr;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(tracked_, 0));
    ExpectAt(LaunchServer, 9012);
    EXPECT_EQ((Lines{VersionCheck, UpToDate, Launched, Completed}), LoggedMessages());
    EXPECT_NE(std::string::npos, UpdateLog().find("Success! App '232330' fully installed.\r\r\n"));
    CloseHandle(gate);
}

} // namespace
