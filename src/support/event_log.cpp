// Event log: one open, write and close per message, under the named log mutex.
#include "support/event_log.h"

#include "support/windows_api.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "support/log_prefix.h"
#include "support/shared_mutexes.h"

HANDLE LogMutex = nullptr;
HANDLE UpdMutex = nullptr;
bool LogToConsole = false;

constexpr DWORD LogMutexWaitMs = 250;

FILE* OpenLogFile(const char* name) { return fopen(name, "atN"); }

void WriteLog(const char* format, ...) {
    if (LogToConsole) {
        va_list arguments;
        va_start(arguments, format);
        vprintf(format, arguments);
        va_end(arguments);
        putchar('\n');
        return;
    }
    // An abandoned mutex (its owner ended while holding it) is ours now: the
    // file is opened per message, so nothing half-written stands in the way of
    // this line, and releasing it below puts the mutex back into use at once.
    DWORD waitResult = WaitForSingleObject(LogMutex, LogMutexWaitMs);
    if (waitResult != WAIT_OBJECT_0 && waitResult != WAIT_ABANDONED) {
        return;
    }
    FILE* file = OpenLogFile("corvane.log");
    if (file == nullptr) {
        ReleaseMutex(LogMutex);
        return;
    }
    time_t now = time(nullptr);
    struct tm localTime = *localtime(&now);
    char prefix[LogPrefixSize];
    FormatLogPrefix(prefix, sizeof prefix, localTime);
    fputs(prefix, file);

    va_list arguments;
    va_start(arguments, format);
    vfprintf(file, format, arguments);
    va_end(arguments);

    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);

    fputs("\n", file);
    fclose(file);
    ReleaseMutex(LogMutex);
}
