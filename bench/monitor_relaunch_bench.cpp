// How long a server is gone: from a stand-in's exit, and from its falling
// silent, to its relaunched successor answering, with real monitor threads on
// real time. Several servers run side by side to gather samples faster.
//
// Usage: monitor_relaunch_bench [servers=10] [exitRuns=2] [silentRuns=2]
#include "support/windows_api.h"

#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <thread>
#include <vector>

#include "bench_servers.h"

using namespace bench;

namespace {

constexpr DWORD StartWaitMs = 30000;
// The design allows about 10 s after an exit and 25 s after silence.
constexpr DWORD RelaunchWaitMs = 60000;

struct Samples {
    std::mutex lock;
    std::vector<double> afterExit;
    std::vector<double> afterSilence;
    int failures = 0;
};

// One server's runs: each waits a random 0.5 to 5.5 s into the server's life
// (so the fault falls anywhere in the 5 s check cycle), causes the fault, and
// times until the successor's record appears.
void Drive(BenchServer& server, int index, int exitRuns, int silentRuns, Samples& samples) {
    uint32_t seed = GetTickCount() ^ (static_cast<uint32_t>(index) * 2654435761u);
    DWORD processId = WaitNewServer(server, 0, StartWaitMs);
    for (int run = 0; run < exitRuns + silentRuns && processId != 0; ++run) {
        bool silence = run >= exitRuns;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
        if (process == nullptr) {
            break;
        }
        seed = seed * 1664525u + 1013904223u;
        Sleep(500 + (seed >> 8) % 5000);
        LARGE_INTEGER faultAt;
        bool ok;
        if (silence) {
            ok = WriteServerFile(server.directory, "standin_control.txt", "silent\n") &&
                 WaitStandinValue(server.directory, "standin_state.txt", "mode", "silent", 5000);
            faultAt = Counter();
            ok = ok && WaitForSingleObject(process, RelaunchWaitMs) == WAIT_OBJECT_0;
        } else {
            ok = WriteServerFile(server.directory, "standin_control.txt", "exit 3\n") &&
                 WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
            faultAt = Counter();
        }
        CloseHandle(process);
        // The successor must start as a healthy server.
        WriteServerFile(server.directory, "standin_control.txt", "answer\n");
        DWORD next = ok ? WaitNewServer(server, processId, RelaunchWaitMs) : 0;
        double seconds = Seconds(faultAt, Counter());
        std::lock_guard<std::mutex> hold(samples.lock);
        if (next == 0) {
            ++samples.failures;
            break;
        }
        (silence ? samples.afterSilence : samples.afterExit).push_back(seconds);
        processId = next;
    }
}

} // namespace

int main(int argc, char** argv) {
    int serverCount = argc > 1 ? atoi(argv[1]) : 10;
    int exitRuns = argc > 2 ? atoi(argv[2]) : 2;
    int silentRuns = argc > 3 ? atoi(argv[3]) : 2;
    if (serverCount < 1 || serverCount > static_cast<int>(MaxServers)) {
        fprintf(stderr, "servers must be 1 to %u\n", MaxServers);
        return 2;
    }
    char logDirectory[MAX_PATH];
    if (!StartProcessWideValues("Relaunch", logDirectory, sizeof logDirectory)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    int echo = EchoOff();
    std::vector<BenchServer> servers(static_cast<size_t>(serverCount));
    for (int i = 0; i < serverCount; ++i) {
        if (!PrepareServer(servers[i], i, "0", "0") || !StartMonitorThread(servers[i])) {
            EchoOn(echo);
            fprintf(stderr, "server %d not started\n", i);
            return 1;
        }
    }
    Samples samples;
    std::vector<std::thread> drivers;
    LARGE_INTEGER start = Counter();
    for (int i = 0; i < serverCount; ++i) {
        drivers.emplace_back(Drive, std::ref(servers[i]), i, exitRuns, silentRuns,
                             std::ref(samples));
    }
    for (std::thread& driver : drivers) {
        driver.join();
    }
    double elapsed = Seconds(start, Counter());
    for (BenchServer& server : servers) {
        StopMonitorThread(server);
        RemoveServerDirectory(server.directory);
    }
    EchoOn(echo);

    printf("Relaunch after a fault: %d stand-in servers, each under its own MonitorThread\n"
           "(MonitorDelay 0, real clock, checks every 5 s, relaunch 5 s after the verdict).\n"
           "Each run waits a random 0.5-5.5 s, then makes the stand-in exit (exit 3) or fall\n"
           "silent; timed with QueryPerformanceCounter from the exit (process handle signalled)\n"
           "or from the stand-in confirming silence, to the successor's record file appearing\n"
           "(launched, bound and answering; polled every 5 ms). %.0f s in all.\n",
           serverCount, elapsed);
    PrintDistribution("exit -> relaunch", samples.afterExit);
    PrintDistribution("silence -> relaunch", samples.afterSilence);
    printf("runs without a relaunch in %lu s: %d\n",
           static_cast<unsigned long>(RelaunchWaitMs / 1000), samples.failures);
    RemoveLogDirectory(logDirectory);
    return samples.failures == 0 ? 0 : 1;
}
