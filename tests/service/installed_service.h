// Test fixture for end-to-end runs: corvane.exe installed as the service in
// this Wine prefix from a temp directory of its own, started and stopped
// through the service control manager, and read back through its reported
// status and the messages of its event log. Whatever a test started from that
// directory is ended, and the directory removed, when the test is over.
// Tests that use it share the service name, so CTest runs them one at a time.
#pragma once

#include "support/windows_api.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "helpers/srcds_standin/standin_client.h"
#include "helpers/steamcmd_standin/tool_client.h"
#include "service/test_processes.h"

// "L YYYY/MM/DD - hh:mm:ss: " in front of every event-log message.
constexpr size_t LogStampLength = 25;
constexpr DWORD ServiceStateWaitMs = 20000;

inline std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

inline bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str(),
                          static_cast<int>(prefix.size()), prefix.c_str(),
                          static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

class InstalledService : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA socketLayer;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &socketLayer));
        root = MakeTempDirectory("service");
        ASSERT_FALSE(root.empty());
        exe = root + "\\corvane.exe";
        ASSERT_TRUE(CopyFileA(CORVANE_EXE, exe.c_str(), FALSE));
        ProgramResult installed = RunProgram("\"" + exe + "\" -i");
        ASSERT_EQ(TextMode("Service \"Corvane\" successfully installed\n"), installed.output);
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager);
        service = OpenServiceA(manager, "Corvane", SERVICE_ALL_ACCESS);
        ASSERT_NE(nullptr, service);
    }

    void TearDown() override {
        if (service != nullptr) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED, ServiceStateWaitMs);
            CloseServiceHandle(service);
        }
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
        if (!exe.empty()) {
            RunProgram("\"" + exe + "\" -u");
        }
        for (DWORD pid : ProcessesUnderRoot()) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process != nullptr) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        if (!root.empty()) {
            RemoveTree(root);
        }
        WSACleanup();
    }

    void WriteConfig(const std::string& text) {
        ASSERT_TRUE(WriteServerFile(root.c_str(), "corvane.cfg", text.c_str()));
    }

    // Asks the service control manager to start the service; does not wait.
    bool StartCorvane() { return ::StartServiceA(service, 0, nullptr) != 0; }

    SERVICE_STATUS Status() {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        return status;
    }

    bool WaitForState(DWORD state, DWORD timeoutMs) {
        for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
            if (Status().dwCurrentState == state) {
                return true;
            }
            Sleep(20);
        }
        return Status().dwCurrentState == state;
    }

    // The event log's messages without their time stamps. Every line must
    // carry the stamp and end in CR LF; an empty line has no stamp.
    std::vector<std::string> LogLines() {
        std::string bytes = ReadWholeFile(root + "\\corvane.log");
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = bytes.substr(start, end - start);
            if (line.size() >= LogStampLength && line.compare(0, 2, "L ") == 0 &&
                line[LogStampLength - 1] == ' ') {
                line = line.substr(LogStampLength);
            } else if (!line.empty()) {
                line = "<no prefix> " + line;
            }
            lines.push_back(line);
        }
        EXPECT_EQ(start, bytes.size()) << "the log ends in the middle of a line";
        return lines;
    }

    size_t CountLine(const std::string& line) {
        std::vector<std::string> lines = LogLines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    bool WaitForLine(const std::string& line, DWORD timeoutMs, size_t times = 1) {
        for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
            if (CountLine(line) >= times) {
                return true;
            }
            Sleep(50);
        }
        return CountLine(line) >= times;
    }

    // The ids of running processes whose executable lies below root.
    std::vector<DWORD> ProcessesUnderRoot() {
        std::vector<DWORD> found;
        DWORD ids[4096];
        DWORD bytes = 0;
        if (root.empty() || !EnumProcesses(ids, sizeof ids, &bytes)) {
            return found;
        }
        for (DWORD i = 0; i < bytes / sizeof ids[0]; ++i) {
            HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                                         FALSE, ids[i]);
            if (process == nullptr) {
                continue;
            }
            char image[MAX_PATH] = "";
            bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
            if (running && GetModuleFileNameExA(process, nullptr, image, sizeof image) != 0 &&
                StartsWithNoCase(image, root + "\\")) {
                found.push_back(ids[i]);
            }
            CloseHandle(process);
        }
        return found;
    }

    // True once nothing started from root runs any more, waiting up to timeoutMs.
    bool WaitNothingRunning(DWORD timeoutMs) {
        for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
            if (ProcessesUnderRoot().empty()) {
                return true;
            }
            Sleep(50);
        }
        return ProcessesUnderRoot().empty();
    }

    std::string root;
    std::string exe;
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
};
