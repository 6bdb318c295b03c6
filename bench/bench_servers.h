// Plumbing shared by the supervision benchmarks: the process-wide values the
// entry point sets, server directories holding the stand-in as srcds.exe, and
// monitor threads started the way the fleet starts them.
#pragma once

#include "support/windows_api.h"

#include <algorithm>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

#include "config/server_entry.h"
#include "helpers/srcds_standin/standin_client.h"
#include "monitor/monitor_thread.h"
#include "support/memory_query.h"
#include "support/shared_mutexes.h"
#include "support/text_helpers.h"

namespace bench {

// The socket layer, the memory query, a log mutex of this run's own, and a
// fresh temporary directory as the current one, where corvane.log goes.
inline bool StartProcessWideValues(const char* name, char* logDirectory, uint32_t size) {
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        return false;
    }
    HMODULE psapi = LoadLibraryA("psapi.dll");
    QueryProcessMemory = reinterpret_cast<GetProcessMemoryInfoFunction>(
        reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
    char mutexName[128];
    snprintf(mutexName, sizeof mutexName, "Corvane/Bench/%s/%lu", name,
             static_cast<unsigned long>(GetCurrentProcessId()));
    LogMutex = CreateMutexA(nullptr, FALSE, mutexName);
    return QueryProcessMemory != nullptr && LogMutex != nullptr &&
           MakeServerDirectory(logDirectory, size) && SetCurrentDirectoryA(logDirectory);
}

// The event log echoes every line to standard output; the benchmarks keep
// that output for their figures. Returns the saved descriptor for EchoOn.
inline int EchoOff() {
    fflush(stdout);
    int saved = _dup(1);
    if (freopen("NUL", "w", stdout) == nullptr) {
        return -1;
    }
    return saved;
}

inline void EchoOn(int saved) {
    fflush(stdout);
    if (saved >= 0) {
        _dup2(saved, 1);
        _close(saved);
    }
}

// Steps out of the log directory and removes it with the log.
inline void RemoveLogDirectory(const char* logDirectory) {
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) != 0) {
        SetCurrentDirectoryA(temp);
    }
    RemoveServerDirectory(logDirectory);
}

// One configured server in a directory of its own, named "bench<index>".
struct BenchServer {
    ServerEntry entry = {};
    char directory[MAX_PATH] = {};
    HANDLE thread = nullptr;
    DWORD threadId = 0;
};

inline bool PrepareServer(BenchServer& server, int index, const char* monitorDelay,
                          const char* maxMemory) {
    if (!MakeServerDirectory(server.directory, sizeof server.directory)) {
        return false;
    }
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\srcds.exe", server.directory);
    if (!CopyFileA(CORVANE_STANDIN_EXE, path, FALSE)) {
        return false;
    }
    ServerEntry& entry = server.entry;
    char name[32];
    snprintf(name, sizeof name, "bench%d", index);
    char port[PortSize];
    FreeUdpPort(port, sizeof port);
    CopyBounded(entry.FriendlyName, sizeof entry.FriendlyName, name);
    CopyBounded(entry.Path, sizeof entry.Path, server.directory);
    CopyBounded(entry.GameDir, sizeof entry.GameDir, "cstrike");
    CopyBounded(entry.Host, sizeof entry.Host, "127.0.0.1");
    CopyBounded(entry.Port, sizeof entry.Port, port);
    CopyBounded(entry.MaxPlayers, sizeof entry.MaxPlayers, "24");
    CopyBounded(entry.MapName, sizeof entry.MapName, "de_dust2");
    CopyBounded(entry.Priority, sizeof entry.Priority, "Normal");
    CopyBounded(entry.Affinity, sizeof entry.Affinity, "FFFFFFF");
    CopyBounded(entry.MaxMemory, sizeof entry.MaxMemory, maxMemory);
    CopyBounded(entry.MonitorDelay, sizeof entry.MonitorDelay, monitorDelay);
    return true;
}

// As the fleet does: a 64 KiB stack, the entry as the argument.
inline bool StartMonitorThread(BenchServer& server) {
    server.thread = CreateThread(nullptr, 64 * 1024, MonitorThread, &server.entry,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &server.threadId);
    return server.thread != nullptr;
}

// Posts StopMessage (retrying while the thread has no queue yet) and waits for
// the thread, which terminates its server on the way out.
inline void StopMonitorThread(BenchServer& server) {
    if (server.thread == nullptr) {
        return;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (PostThreadMessageA(server.threadId, StopMessage, 0, 0)) {
            break;
        }
        Sleep(10);
    }
    WaitForSingleObject(server.thread, 15000);
    CloseHandle(server.thread);
    server.thread = nullptr;
}

// The process id in the stand-in's record, or 0.
inline DWORD RecordedProcessId(const BenchServer& server) {
    char pid[16];
    if (!ReadStandinValue(server.directory, "standin_record.txt", "pid", pid, sizeof pid)) {
        return 0;
    }
    return static_cast<DWORD>(strtoul(pid, nullptr, 10));
}

// Waits up to timeoutMs for a stand-in other than notThisId to write its
// record (bound and answering); returns its id, or 0.
inline DWORD WaitNewServer(const BenchServer& server, DWORD notThisId, DWORD timeoutMs) {
    DWORD startMs = GetTickCount();
    for (;;) {
        DWORD processId = RecordedProcessId(server);
        if (processId != 0 && processId != notThisId) {
            return processId;
        }
        if (GetTickCount() - startMs >= timeoutMs) {
            return 0;
        }
        Sleep(5);
    }
}

inline double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

inline LARGE_INTEGER Counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// Prints count, min, median, mean, max and the values themselves.
inline void PrintDistribution(const char* what, std::vector<double> values) {
    if (values.empty()) {
        printf("%s: no samples\n", what);
        return;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double value : sorted) {
        sum += value;
    }
    printf("%s: n=%zu min=%.2f s median=%.2f s mean=%.2f s max=%.2f s\n  samples:", what,
           sorted.size(), sorted.front(), sorted[sorted.size() / 2], sum / sorted.size(),
           sorted.back());
    for (double value : sorted) {
        printf(" %.2f", value);
    }
    printf("\n");
}

} // namespace bench
