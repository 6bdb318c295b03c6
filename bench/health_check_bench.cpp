// The cost of one health check: CheckServer on a healthy stand-in, that is an
// exit-code read, one UDP query answered over 127.0.0.1 and, with a memory
// limit, one memory query. Usage: health_check_bench [iterations=2000]
#include "helpers/win_test.h"

#include "config/server_entry.h"
#include "monitor/health_check.h"
#include "monitor/server_launch.h"
#include "support/memory_query.h"
#include "support/text_helpers.h"

int main(int argc, char** argv) {
    int iterations = argc > 1 ? atoi(argv[1]) : 2000;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string dir = std::string(temp) + "corvane_health_check_bench";
    CreateDirectoryA(dir.c_str(), nullptr);
    CopyFileA(CORVANE_STANDIN_EXE, (dir + "\\srcds.exe").c_str(), FALSE);
    WSADATA socketLayer;
    WSAStartup(MAKEWORD(2, 2), &socketLayer);
    QueryProcessMemory = GetProcessMemoryInfo;
    ServerEntry entry = {};
    CopyBounded(entry.Path, sizeof entry.Path, dir.c_str());
    CopyBounded(entry.Host, sizeof entry.Host, "127.0.0.1");
    CopyBounded(entry.Port, sizeof entry.Port, FreePort().c_str());
    PROCESS_INFORMATION process = {};
    if (!CreateServerProcess(entry, process)) {
        return 1;
    }
    while (RecordValue(dir + "\\srcds_record.txt", "pid").empty()) {
        Sleep(10);
    }
    printf("CheckServer on a healthy stand-in over 127.0.0.1, %d calls each after 20 warm-up\n"
           "calls, timed with QueryPerformanceCounter around each call:\n", iterations);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (const char* limit : {"0", "4096", "0"}) {
        CopyBounded(entry.MaxMemory, sizeof entry.MaxMemory, limit);
        double minUs = 1e12, maxUs = 0, totalUs = 0;
        uint32_t silentChecks = 0;
        int unhealthy = 0;
        QueryFacts facts;
        for (int i = -20; i < iterations; ++i) {
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            unhealthy += CheckServer(entry, process, silentChecks, facts) != Healthy && i >= 0;
            QueryPerformanceCounter(&end);
            double us = 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart);
            if (i >= 0) {
                minUs = us < minUs ? us : minUs;
                maxUs = us > maxUs ? us : maxUs;
                totalUs += us;
            }
        }
        printf("  MaxMemory %-4s: min %.0f us  avg %.0f us  max %.0f us  (not healthy: %d)\n",
               limit, minUs, totalUs / iterations, maxUs, unhealthy);
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 5000);
    std::filesystem::remove_all(dir);
    return 0;
}
