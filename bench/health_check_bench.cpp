// The cost of one health check: CheckServer on a healthy stand-in, which means
// one exit-code read, one UDP query on a socket of its own answered over
// 127.0.0.1, and (with a memory limit) one memory query.
//
// Usage: health_check_bench [iterations=2000]
#include "support/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <vector>

#include "bench_servers.h"
#include "monitor/health_check.h"
#include "monitor/server_launch.h"
#include "support/file_helpers.h"

using namespace bench;

namespace {

struct Figures {
    double minUs = 0;
    double avgUs = 0;
    double maxUs = 0;
    int unhealthy = 0;
};

Figures Measure(const ServerEntry& entry, const PROCESS_INFORMATION& process, int iterations) {
    Figures figures;
    uint32_t silentChecks = 0;
    double total = 0;
    for (int i = 0; i < iterations; ++i) {
        LARGE_INTEGER start = Counter();
        Verdict verdict = CheckServer(entry, process, silentChecks);
        double us = Seconds(start, Counter()) * 1e6;
        if (verdict != Healthy || silentChecks != 0) {
            ++figures.unhealthy;
        }
        total += us;
        if (i == 0 || us < figures.minUs) {
            figures.minUs = us;
        }
        if (us > figures.maxUs) {
            figures.maxUs = us;
        }
    }
    figures.avgUs = total / iterations;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? atoi(argv[1]) : 2000;
    if (iterations < 1) {
        return 2;
    }
    char logDirectory[MAX_PATH];
    BenchServer server;
    PROCESS_INFORMATION process = {};
    if (!StartProcessWideValues("HealthCheck", logDirectory, sizeof logDirectory) ||
        !PrepareServer(server, 0, "0", "0") || !CreateServerProcess(server.entry, process) ||
        WaitNewServer(server, 0, 30000) != process.dwProcessId) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    // Warm-up: the first query loads the socket layer's parts.
    Measure(server.entry, process, 20);
    Figures withoutLimit = Measure(server.entry, process, iterations);
    CopyBounded(server.entry.MaxMemory, sizeof server.entry.MaxMemory, "4096");
    Figures withLimit = Measure(server.entry, process, iterations);
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseProcessHandles(process);
    RemoveServerDirectory(server.directory);
    RemoveLogDirectory(logDirectory);

    printf("CheckServer on a healthy stand-in over 127.0.0.1, %d iterations each, timed\n"
           "with QueryPerformanceCounter around each call (after 20 warm-up calls):\n",
           iterations);
    printf("  MaxMemory 0 (exit code + query):         min %.0f us  avg %.0f us  max %.0f us\n",
           withoutLimit.minUs, withoutLimit.avgUs, withoutLimit.maxUs);
    printf("  MaxMemory 4096 (exit code + query + mem): min %.0f us  avg %.0f us  max %.0f us\n",
           withLimit.minUs, withLimit.avgUs, withLimit.maxUs);
    printf("  checks not Healthy: %d\n", withoutLimit.unhealthy + withLimit.unhealthy);
    return withoutLimit.unhealthy + withLimit.unhealthy == 0 ? 0 : 1;
}
