// What the running service costs with sixteen healthy stand-in servers:
// corvane.exe installed and started through the service control manager, its
// CPU time (GetProcessTimes), handles and private memory sampled over a
// window, and the time from the stop control to SERVICE_STOPPED, over several
// starts. Uses the service name, so nothing else may run the service meanwhile.
//
// Usage: service_fleet_bench [seconds=180] [stops=5]
#include "support/windows_api.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

#include "soak/service_fleet.h"

using namespace soak;

namespace {

constexpr size_t ServerCount = 16;
constexpr DWORD SampleEveryMs = 5000;
constexpr DWORD UpWaitMs = 60000;

// Waits until every server has written its record and answers.
bool WaitFleetUp(ServiceFleet& fleet) {
    for (DWORD waited = 0; waited < UpWaitMs; waited += 100) {
        bool up = true;
        for (const FleetServer& server : fleet.servers) {
            if (ServiceFleet::StandinPid(server) == 0 || !ServiceFleet::Answers(server)) {
                up = false;
                break;
            }
        }
        if (up) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

void ForgetRecords(ServiceFleet& fleet) {
    for (const FleetServer& server : fleet.servers) {
        DeleteFileA((server.path + "\\standin_record.txt").c_str());
    }
}

double Mib(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

} // namespace

int main(int argc, char** argv) {
    unsigned seconds = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 180;
    unsigned stops = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 5;
    if (seconds < 10 || stops < 1) {
        fprintf(stderr, "usage: service_fleet_bench [seconds>=10] [stops>=1]\n");
        return 2;
    }
    ServiceFleet fleet;
    if (!fleet.SetUp(CORVANE_EXE, ServerCount, "4096")) {
        fprintf(stderr, "set-up failed: %s\n", fleet.error.c_str());
        return 1;
    }
    std::vector<double> stopMs;
    for (unsigned round = 0; round < stops; ++round) {
        ForgetRecords(fleet);
        if (!fleet.Start() || !WaitFleetUp(fleet)) {
            fprintf(stderr, "fleet not up in round %u: %s\n", round, fleet.error.c_str());
            return 1;
        }
        if (round == 0) {
            // Let the launches settle, then watch the healthy fleet.
            Sleep(SampleEveryMs);
            ProcessFigures first = MeasureProcess(fleet.servicePid);
            std::vector<size_t> handles;
            std::vector<uint64_t> pagefile;
            ProcessFigures last = first;
            for (unsigned waited = 0; waited < seconds * 1000; waited += SampleEveryMs) {
                Sleep(SampleEveryMs);
                last = MeasureProcess(fleet.servicePid);
                handles.push_back(last.handles);
                pagefile.push_back(last.pagefileBytes);
            }
            double cpu = static_cast<double>(last.cpu100ns - first.cpu100ns) / 1e7;
            printf("corvane.exe as a service with %zu healthy stand-in servers, %u s watched:\n",
                   ServerCount, seconds);
            printf("  CPU (GetProcessTimes; Wine reads it low for another process, see "
                   "docs/performance.md) %.3f s = %.1f s per hour = %.3f%% of "
                   "one core\n",
                   cpu, cpu * 3600.0 / seconds, cpu * 100.0 / seconds);
            printf("  handles: min %zu median %zu max %zu\n",
                   *std::min_element(handles.begin(), handles.end()), Median(handles),
                   *std::max_element(handles.begin(), handles.end()));
            printf("  private memory (PagefileUsage) MiB: min %.2f median %.2f max %.2f; "
                   "PrivateUsage reads %.2f\n",
                   Mib(*std::min_element(pagefile.begin(), pagefile.end())), Mib(Median(pagefile)),
                   Mib(*std::max_element(pagefile.begin(), pagefile.end())),
                   Mib(last.privateBytes));
        }
        double ms = 0;
        if (!fleet.Stop(ms)) {
            fprintf(stderr, "stop failed in round %u: %s\n", round, fleet.error.c_str());
            return 1;
        }
        stopMs.push_back(ms);
    }
    std::sort(stopMs.begin(), stopMs.end());
    double sum = 0;
    for (double ms : stopMs) {
        sum += ms;
    }
    printf(
        "  stop control to SERVICE_STOPPED, %zu stops: min %.0f ms  median %.0f ms  avg %.0f ms  "
        "max %.0f ms\n",
        stopMs.size(), stopMs.front(), stopMs[stopMs.size() / 2], sum / stopMs.size(),
        stopMs.back());
    return 0;
}
