// A fleet of sixteen stand-in servers run by corvane.exe as the real service
// in this Wine prefix: one temp directory holds the service beside its
// corvane.cfg, every server's Path and one update tool that all servers share,
// so that two tool runs at once would meet in its lock file. Also the figures
// of another process (handles, private memory, CPU time) and the event log
// read as it grows. Shared by the soak test and the service benchmark; no
// GoogleTest in here.
#pragma once

#include "support/windows_api.h"

#include <algorithm>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include "helpers/handle_count.h"
#include "helpers/srcds_standin/standin_client.h"
#include "helpers/steamcmd_standin/tool_client.h"
#include "monitor/server_query.h"
#include "service/test_processes.h"

namespace soak {

// The event log's "L YYYY/MM/DD - hh:mm:ss: " in front of each message.
constexpr size_t StampLength = 25;
constexpr DWORD QueryTimeoutMs = 250;
constexpr DWORD StateWaitMs = 20000;

inline std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

inline bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str(),
                          static_cast<int>(prefix.size()), prefix.c_str(),
                          static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

// One look at another process.
struct ProcessFigures {
    bool valid = false;
    size_t handles = 0;
    uint64_t privateBytes = 0;  // PrivateUsage
    uint64_t pagefileBytes = 0; // PagefileUsage: only pages the process has touched, under Wine
    uint64_t cpu100ns = 0;      // kernel plus user time
};

inline ProcessFigures MeasureProcess(DWORD pid) {
    ProcessFigures figures;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        return figures;
    }
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    FILETIME created, exited, kernel, user;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory) &&
        GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        figures.valid = true;
        figures.privateBytes = memory.PrivateUsage;
        figures.pagefileBytes = memory.PagefileUsage;
        auto ticks = [](const FILETIME& time) {
            return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        figures.cpu100ns = ticks(kernel) + ticks(user);
    }
    CloseHandle(process);
    figures.handles = CountProcessHandles(pid);
    return figures;
}

// True when the process with that id has ended (or never existed), waiting up to timeoutMs.
inline bool ProcessGone(DWORD pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        return true;
    }
    bool gone = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

// The event log read as it grows: each Poll returns the messages of the lines
// completed since the last one, without their time stamps. A line without the
// stamp comes back whole behind "<no prefix> ", so that it matches nothing.
class LogTail {
  public:
    explicit LogTail(const std::string& path) : path_(path) {}

    // False when the file could not be opened (held by another process, or not there yet).
    bool Poll(std::vector<std::string>& messages) {
        HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset_);
        SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
        char chunk[8192];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) {
            pending_.append(chunk, got);
            offset_ += got;
        }
        CloseHandle(file);
        size_t start = 0;
        for (size_t end; (end = pending_.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            std::string line = pending_.substr(start, end - start);
            if (line.size() >= StampLength && line.compare(0, 2, "L ") == 0 &&
                line[StampLength - 1] == ' ') {
                line = line.substr(StampLength);
            } else if (!line.empty()) {
                line = "<no prefix> " + line;
            }
            messages.push_back(line);
            all_.push_back(line);
        }
        pending_.erase(0, start);
        return true;
    }

    // Bytes read so far, the last unfinished line included.
    uint64_t Size() const { return offset_; }
    const std::vector<std::string>& All() const { return all_; }
    // Text after the last complete line; empty when the log ends with CR LF.
    const std::string& Unfinished() const { return pending_; }

  private:
    std::string path_;
    uint64_t offset_ = 0;
    std::string pending_;
    std::vector<std::string> all_;
};

struct FleetServer {
    std::string name;
    std::string path;
    char port[8] = {};
};

// The service installed from a fresh temp directory. Every failing step
// leaves an error text behind; the destructor stops and removes the service
// and ends whatever still runs from the directory.
class ServiceFleet {
  public:
    ServiceFleet() = default;
    ServiceFleet(const ServiceFleet&) = delete;
    ServiceFleet& operator=(const ServiceFleet&) = delete;
    ~ServiceFleet() { TearDown(); }

    // Copies corvane.exe in, installs it, and puts count stand-in servers
    // "s01"... and the shared tool in place. MaxMemory is given to every server.
    bool SetUp(const char* corvaneExe, size_t count, const char* maxMemory) {
        WSADATA socketLayer;
        if (WSAStartup(MAKEWORD(2, 2), &socketLayer) != 0) {
            return Fail("WSAStartup failed");
        }
        socketLayerStarted_ = true;
        root = MakeTempDirectory("soak");
        if (root.empty()) {
            return Fail("no temp directory");
        }
        exe = root + "\\corvane.exe";
        tools = root + "\\tools";
        if (!CopyFileA(corvaneExe, exe.c_str(), FALSE)) {
            return Fail("corvane.exe not copied");
        }
        if (!InstallStandinTool(tools)) {
            return Fail("tool not installed");
        }
        servers.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            FleetServer server;
            char name[8];
            snprintf(name, sizeof name, "s%02u", static_cast<unsigned>(i + 1));
            server.name = name;
            server.path = root + "\\" + name;
            if (!CreateDirectoryA(server.path.c_str(), nullptr) ||
                !CreateDirectoryA((server.path + "\\mod").c_str(), nullptr) ||
                !CopyFileA(CORVANE_STANDIN_EXE, (server.path + "\\srcds.exe").c_str(), FALSE)) {
                return Fail("server directory not made for " + server.name);
            }
            FreeUdpPort(server.port, sizeof server.port);
            servers.push_back(server);
        }
        std::string text = "// written by the test\r\n";
        for (const FleetServer& server : servers) {
            text += Quoted(server.name) + "\r\n{\r\n";
            text += "    Path \"" + server.path + "\"\r\n";
            text += "    GameDir mod\r\n    Host 127.0.0.1\r\n";
            text += "    Port " + std::string(server.port) + "\r\n";
            text += "    MaxPlayers 8\r\n    MapName map01\r\n    MiscArgs \"\"\r\n";
            text += "    Priority Normal\r\n    Affinity 3\r\n";
            text += "    MaxMemory " + std::string(maxMemory) + "\r\n";
            text += "    MonitorDelay 0\r\n    UpdPath ..\\tools\r\n    UpdArgs 1\r\n}\r\n";
        }
        if (!WriteServerFile(root.c_str(), "corvane.cfg", text.c_str())) {
            return Fail("corvane.cfg not written");
        }
        ProgramResult installed = RunProgram("\"" + exe + "\" -i");
        if (installed.output != TextMode("Service \"Corvane\" successfully installed\n")) {
            return Fail("install said: " + installed.output);
        }
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service_ =
            manager_ == nullptr ? nullptr : OpenServiceA(manager_, "Corvane", SERVICE_ALL_ACCESS);
        return service_ != nullptr || Fail("service not opened");
    }

    bool Start() {
        if (!StartServiceA(service_, 0, nullptr)) {
            return Fail("StartService failed");
        }
        if (!WaitForState(SERVICE_RUNNING, StateWaitMs)) {
            return Fail("service not running");
        }
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof status, &needed) ||
            status.dwProcessId == 0) {
            return Fail("service process id not read");
        }
        servicePid = status.dwProcessId;
        return true;
    }

    // Sends the stop control and waits for SERVICE_STOPPED; stopMs is the time
    // between the two (polled every 5 ms). False when it did not stop in time.
    bool Stop(double& stopMs) {
        LARGE_INTEGER frequency, begin, end;
        QueryPerformanceFrequency(&frequency);
        SERVICE_STATUS status;
        QueryPerformanceCounter(&begin);
        if (!ControlService(service_, SERVICE_CONTROL_STOP, &status)) {
            return Fail("stop control refused");
        }
        for (DWORD waited = 0; Status().dwCurrentState != SERVICE_STOPPED; waited += 5) {
            if (waited > StateWaitMs) {
                return Fail("service did not stop");
            }
            Sleep(5);
        }
        QueryPerformanceCounter(&end);
        stopMs = 1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) /
                 static_cast<double>(frequency.QuadPart);
        return true;
    }

    SERVICE_STATUS Status() {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service_, &status);
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

    std::string LogPath() const { return root + "\\corvane.log"; }

    // The pid in the server's stand-in record; 0 before its first record.
    static DWORD StandinPid(const FleetServer& server) {
        char pid[16] = {};
        if (!ReadStandinValue(server.path.c_str(), "standin_record.txt", "pid", pid, sizeof pid)) {
            return 0;
        }
        return static_cast<DWORD>(strtoul(pid, nullptr, 10));
    }

    static bool Answers(const FleetServer& server) {
        return QueryServer("127.0.0.1", server.port, QueryTimeoutMs) == 1;
    }

    // The ids of running processes whose executable lies below root, the
    // service's own included while it runs; their images go to images when given.
    std::vector<DWORD> ProcessesUnderRoot(std::vector<std::string>* images = nullptr) const {
        std::vector<DWORD> found;
        if (root.empty()) {
            return found;
        }
        static DWORD ids[4096];
        DWORD bytes = 0;
        if (!EnumProcesses(ids, sizeof ids, &bytes)) {
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
                if (images != nullptr) {
                    images->push_back(image);
                }
            }
            CloseHandle(process);
        }
        return found;
    }

    void TearDown() {
        if (service_ != nullptr) {
            SERVICE_STATUS status;
            ControlService(service_, SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED, StateWaitMs);
            CloseServiceHandle(service_);
            service_ = nullptr;
        }
        if (manager_ != nullptr) {
            CloseServiceHandle(manager_);
            manager_ = nullptr;
        }
        if (!exe.empty()) {
            RunProgram("\"" + exe + "\" -u");
            exe.clear();
        }
        // Whatever a failed run left behind ends here.
        for (DWORD pid : ProcessesUnderRoot()) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process != nullptr) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        if (!root.empty() && getenv("CORVANE_SOAK_KEEP") == nullptr) {
            RemoveTree(root);
        }
        root.clear();
        if (socketLayerStarted_) {
            WSACleanup();
            socketLayerStarted_ = false;
        }
    }

    std::string error;
    std::string root;
    std::string exe;
    std::string tools;
    std::vector<FleetServer> servers;
    DWORD servicePid = 0;

  private:
    bool Fail(const std::string& text) {
        error = text;
        return false;
    }

    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    bool socketLayerStarted_ = false;
};

// The median of a list of values; 0 for none.
template <typename T> T Median(std::vector<T> values) {
    if (values.empty()) {
        return T();
    }
    size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
    return values[middle];
}

} // namespace soak
