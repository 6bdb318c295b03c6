// What a full fleet costs the service in steady state: 16 monitor threads
// watching 16 healthy stand-in servers, measured in CPU time over a minute and
// in the private memory of the process.
//
// Usage: monitor_fleet_bench [seconds=60]
#include "support/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <vector>

#include "bench_servers.h"

using namespace bench;

namespace {

constexpr DWORD SettleMs = 7000;

double FileTimeSeconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

double ThreadCpuSeconds(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

struct Memory {
    double privateMib = 0;
    double pagefileMib = 0;
    double workingSetMib = 0;
};

Memory ProcessMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    Memory memory;
    if (QueryProcessMemory(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters)) {
        memory.privateMib = counters.PrivateUsage / 1048576.0;
        memory.pagefileMib = counters.PagefileUsage / 1048576.0;
        memory.workingSetMib = counters.WorkingSetSize / 1048576.0;
    }
    return memory;
}

// The monitor loop's pacing alone, without any server: a tick every second
// found by looking at the clock every 20 ms, and the stop check.
DWORD WINAPI PacingOnly(LPVOID) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    int64_t tickDeadline = 0;
    for (;;) {
        WaitNextTick(tickDeadline);
        if (StopRequested()) {
            return 0;
        }
    }
}

struct Phase {
    Memory before;
    Memory running;
    double threadCpu = 0;
    double processCpu = 0;
    double wall = 0;
};

// Measures threads that are already started: memory now, then CPU over seconds.
void MeasureThreads(const std::vector<BenchServer>& servers, int seconds, Phase& phase) {
    phase.running = ProcessMemory();
    std::vector<double> threadStart;
    for (const BenchServer& server : servers) {
        threadStart.push_back(ThreadCpuSeconds(server.thread));
    }
    double processStart = ProcessCpuSeconds();
    LARGE_INTEGER wallStart = Counter();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    phase.processCpu = ProcessCpuSeconds() - processStart;
    for (size_t i = 0; i < servers.size(); ++i) {
        phase.threadCpu += ThreadCpuSeconds(servers[i].thread) - threadStart[i];
    }
    phase.wall = Seconds(wallStart, Counter());
}

void PrintPhase(const char* what, const Phase& phase) {
    printf("%s\n  CPU over %.1f s: threads (sum of GetThreadTimes) %.3f s = %.3f%% of one core;\n"
           "  whole process (GetProcessTimes) %.3f s = %.3f%% of one core\n",
           what, phase.wall, phase.threadCpu, 100.0 * phase.threadCpu / phase.wall,
           phase.processCpu, 100.0 * phase.processCpu / phase.wall);
    printf("  memory, MiB (PrivateUsage / PagefileUsage / WorkingSet): before the threads "
           "%.2f / %.2f / %.2f, with them %.2f / %.2f / %.2f, growth %.2f / %.2f / %.2f\n",
           phase.before.privateMib, phase.before.pagefileMib, phase.before.workingSetMib,
           phase.running.privateMib, phase.running.pagefileMib, phase.running.workingSetMib,
           phase.running.privateMib - phase.before.privateMib,
           phase.running.pagefileMib - phase.before.pagefileMib,
           phase.running.workingSetMib - phase.before.workingSetMib);
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 60;
    if (seconds < 1) {
        return 2;
    }
    char logDirectory[MAX_PATH];
    if (!StartProcessWideValues("Fleet", logDirectory, sizeof logDirectory)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    int echo = EchoOff();
    std::vector<BenchServer> servers(MaxServers);
    for (uint32_t i = 0; i < MaxServers; ++i) {
        if (!PrepareServer(servers[i], static_cast<int>(i), "0", "4096")) {
            EchoOn(echo);
            fprintf(stderr, "server %u not prepared\n", i);
            return 1;
        }
    }
    // Baseline: as many threads with the same stacks, doing only the pacing.
    std::vector<BenchServer> pacers(MaxServers);
    Phase pacing;
    pacing.before = ProcessMemory();
    for (BenchServer& pacer : pacers) {
        pacer.thread = CreateThread(nullptr, 64 * 1024, PacingOnly, nullptr,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, &pacer.threadId);
    }
    Sleep(2000);
    MeasureThreads(pacers, seconds / 2 > 0 ? seconds / 2 : 1, pacing);
    for (BenchServer& pacer : pacers) {
        StopMonitorThread(pacer);
    }

    Phase fleet;
    fleet.before = ProcessMemory();
    bool started = true;
    for (BenchServer& server : servers) {
        started = started && StartMonitorThread(server);
    }
    int answering = 0;
    for (BenchServer& server : servers) {
        answering += WaitNewServer(server, 0, 30000) != 0 ? 1 : 0;
    }
    // Past the launches and the first checks: only the steady five-second checks remain.
    Sleep(SettleMs);
    MeasureThreads(servers, seconds, fleet);
    Memory after = ProcessMemory();
    size_t restarts = 0;
    for (BenchServer& server : servers) {
        StopMonitorThread(server);
        RemoveServerDirectory(server.directory);
    }
    EchoOn(echo);
    // Every line beyond the 16 launches and 16 stops would be a restart.
    FILE* log = fopen("corvane.log", "rb");
    if (log != nullptr) {
        char line[512];
        size_t lines = 0;
        while (fgets(line, sizeof line, log) != nullptr) {
            ++lines;
        }
        fclose(log);
        restarts = lines > 2 * MaxServers ? lines - 2 * MaxServers : 0;
    }
    RemoveLogDirectory(logDirectory);

    printf("Fleet of %u monitor threads (64 KiB stacks, MonitorDelay 0, MaxMemory 4096) over\n"
           "%u healthy stand-in servers; %d answering, %zu extra log lines (restarts).\n"
           "Measured after %lu ms to settle, so only the steady checks every 5 s remain.\n",
           MaxServers, MaxServers, answering, restarts, static_cast<unsigned long>(SettleMs));
    PrintPhase("Baseline: 16 threads running only the pacing loop and the stop check:", pacing);
    PrintPhase("Fleet: 16 monitor threads watching 16 servers:", fleet);
    printf("  after the fleet's minute: PagefileUsage %.2f MiB (PrivateUsage reads %.2f under "
           "Wine)\n",
           after.pagefileMib, after.privateMib);
    return started && answering == static_cast<int>(MaxServers) ? 0 : 1;
}
