// System-test plumbing for server supervision under Wine: the process-wide
// values the entry point sets (socket layer, memory query, log mutex), a
// working directory of its own per test for corvane.log, server directories
// holding the stand-in as srcds.exe, and reading the event log back.
#pragma once

#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "config/server_entry.h"
#include "helpers/srcds_standin/standin_client.h"
#include "support/memory_query.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"

namespace monitor_system {

constexpr DWORD StandinWaitMs = 10000;
// "L YYYY/MM/DD - hh:mm:ss: "
constexpr size_t LogPrefixLength = 25;

// What the entry point and ServiceMain set up before any monitor thread runs.
// The log mutex gets a name of this test program's own.
inline void StartProcessWideValues(const char* logMutexName) {
    WSADATA wsaData;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsaData));
    HMODULE psapi = LoadLibraryA("psapi.dll");
    ASSERT_NE(nullptr, psapi);
    QueryProcessMemory = reinterpret_cast<GetProcessMemoryInfoFunction>(
        reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
    ASSERT_NE(nullptr, QueryProcessMemory);
    char name[128];
    snprintf(name, sizeof name, "%s/%lu", logMutexName,
             static_cast<unsigned long>(GetCurrentProcessId()));
    LogMutex = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(nullptr, LogMutex);
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

// The messages of corvane.log in the current directory, each line's
// timestamp prefix checked for its shape and cut off. A line that is not
// "prefix message CR LF" is returned whole with a "BAD LINE: " mark, so that
// it fails any comparison.
inline std::vector<std::string> LogMessages() {
    std::string bytes = ReadWholeFile("corvane.log");
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            messages.push_back("BAD LINE: " + bytes.substr(start));
            break;
        }
        std::string line = bytes.substr(start, end - start);
        start = end + 2;
        const char shape[] = "L dddd/dd/dd - dd:dd:dd: ";
        bool ok = line.size() >= LogPrefixLength;
        for (size_t i = 0; ok && i < LogPrefixLength; ++i) {
            ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        }
        messages.push_back(ok ? line.substr(LogPrefixLength) : "BAD LINE: " + line);
    }
    return messages;
}

// Polls corvane.log until it holds count messages or more; false after timeoutMs.
inline bool WaitLogCount(size_t count, DWORD timeoutMs) {
    DWORD startMs = GetTickCount();
    while (LogMessages().size() < count) {
        if (GetTickCount() - startMs >= timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// A temporary directory made the current one for the life of the object, so
// that the real event log writes corvane.log into it.
class LogDirectory {
  public:
    LogDirectory() {
        GetCurrentDirectoryA(sizeof previous_, previous_);
        if (MakeServerDirectory(path_, sizeof path_)) {
            SetCurrentDirectoryA(path_);
        } else {
            path_[0] = '\0';
            ADD_FAILURE() << "no log directory";
        }
    }
    ~LogDirectory() {
        SetCurrentDirectoryA(previous_);
        if (path_[0] != '\0') {
            RemoveServerDirectory(path_);
        }
    }
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;

  private:
    char previous_[MAX_PATH] = {};
    char path_[MAX_PATH] = {};
};

// A server directory with the stand-in copied in as srcds.exe and an empty
// game directory "cstrike", and an entry named "alpha" that serves it on a
// free port of 127.0.0.1. Everything it holds is removed at the end.
class ServerDirectory {
  public:
    explicit ServerDirectory(bool withServer = true) {
        if (!MakeServerDirectory(path_, sizeof path_)) {
            path_[0] = '\0';
            ADD_FAILURE() << "no server directory";
            return;
        }
        snprintf(gameDir_, sizeof gameDir_, "%s\\cstrike", path_);
        snprintf(requestPath_, sizeof requestPath_, "%s\\update_request.txt", gameDir_);
        CreateDirectoryA(gameDir_, nullptr);
        if (withServer) {
            EXPECT_TRUE(InstallServer());
        }
        char port[PortSize];
        FreeUdpPort(port, sizeof port);
        entry_ = {};
        CopyBounded(entry_.FriendlyName, sizeof entry_.FriendlyName, "alpha");
        CopyBounded(entry_.Path, sizeof entry_.Path, path_);
        CopyBounded(entry_.GameDir, sizeof entry_.GameDir, "cstrike");
        CopyBounded(entry_.Host, sizeof entry_.Host, "127.0.0.1");
        CopyBounded(entry_.Port, sizeof entry_.Port, port);
        CopyBounded(entry_.MaxPlayers, sizeof entry_.MaxPlayers, "24");
        CopyBounded(entry_.MapName, sizeof entry_.MapName, "de_dust2");
        CopyBounded(entry_.Priority, sizeof entry_.Priority, "Normal");
        CopyBounded(entry_.Affinity, sizeof entry_.Affinity, "FFFFFFF");
        CopyBounded(entry_.MaxMemory, sizeof entry_.MaxMemory, "0");
        CopyBounded(entry_.MonitorDelay, sizeof entry_.MonitorDelay, "30");
    }
    ~ServerDirectory() {
        if (path_[0] == '\0') {
            return;
        }
        DeleteFileA(requestPath_);
        RemoveDirectoryA(gameDir_);
        RemoveServerDirectory(path_);
    }
    ServerDirectory(const ServerDirectory&) = delete;
    ServerDirectory& operator=(const ServerDirectory&) = delete;

    ServerEntry& Entry() { return entry_; }
    const char* Path() const { return path_; }

    bool InstallServer() {
        char target[MAX_PATH];
        snprintf(target, sizeof target, "%s\\srcds.exe", path_);
        return CopyFileA(CORVANE_STANDIN_EXE, target, FALSE) != 0;
    }
    bool RequestUpdate() { return WriteServerFile(gameDir_, "update_request.txt", "update\n"); }
    // Steers the running stand-in (and any later one started here).
    bool Control(const char* text) { return WriteServerFile(path_, "standin_control.txt", text); }
    bool WaitState(const char* key, const char* value) {
        return WaitStandinValue(path_, "standin_state.txt", key, value, StandinWaitMs);
    }
    bool Record(const char* key, char* value, uint32_t size) const {
        return ReadStandinValue(path_, "standin_record.txt", key, value, size);
    }
    // Waits until the stand-in with this process id has written its record,
    // that is until it is bound and answering.
    bool WaitRecordOf(DWORD processId) {
        char pid[16];
        snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(processId));
        return WaitStandinValue(path_, "standin_record.txt", "pid", pid, StandinWaitMs);
    }

  private:
    char path_[MAX_PATH] = {};
    char gameDir_[MAX_PATH] = {};
    char requestPath_[MAX_PATH] = {};
    ServerEntry entry_ = {};
};

// A second handle to a process, kept past the monitor's own so that its end
// and exit code can be read after the monitor has closed its handles.
class ProcessWatch {
  public:
    ProcessWatch() = default;
    explicit ProcessWatch(HANDLE process) { Watch(process); }
    ~ProcessWatch() { Release(); }
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    void Watch(HANDLE process) {
        Release();
        DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &handle_, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    bool Watching() const { return handle_ != nullptr; }
    bool WaitEnd(DWORD timeoutMs = StandinWaitMs) const {
        return handle_ != nullptr && WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
    }
    // The exit code once ended; STILL_ACTIVE while running; ~0 without a handle.
    DWORD ExitCode() const {
        DWORD code = ~0u;
        if (handle_ != nullptr) {
            GetExitCodeProcess(handle_, &code);
        }
        return code;
    }
    // Ends a process the test left running, so that nothing outlives the test.
    void Release() {
        if (handle_ == nullptr) {
            return;
        }
        if (WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(handle_, 0);
            WaitForSingleObject(handle_, StandinWaitMs);
        }
        CloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace monitor_system
