// Event log: one open, write and close per message, under the named log mutex.
#include "support/event_log.h"

#include "support/windows_api.h"

#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "support/log_prefix.h"
#include "support/shared_mutexes.h"

HANDLE LogMutex = nullptr;
HANDLE UpdMutex = nullptr;
bool LogToConsole = false;

constexpr DWORD LogMutexWaitMs = 250;

long long LogRollBytes = 10LL << 20;
// Old files kept beside a log: name.1 (the newest) to name.5.
constexpr int KeptLogFiles = 5;
constexpr size_t LogNameSize = MAX_PATH;

// The live file is moved aside first: only once that has worked are the old
// files shifted, so a file held by a reader never costs an old file.
static void RollOver(const char* name) {
    char aside[LogNameSize];
    char older[LogNameSize];
    char newer[LogNameSize];
    snprintf(aside, sizeof aside, "%s.rolling", name);
    if (!MoveFileExA(name, aside, MOVEFILE_REPLACE_EXISTING)) {
        return;
    }
    for (int number = KeptLogFiles; number > 1; --number) {
        snprintf(older, sizeof older, "%s.%d", name, number);
        snprintf(newer, sizeof newer, "%s.%d", name, number - 1);
        MoveFileExA(newer, older, MOVEFILE_REPLACE_EXISTING);
    }
    MoveFileExA(aside, newer, MOVEFILE_REPLACE_EXISTING);
}

FILE* OpenLogFile(const char* name, bool mayRoll) {
    FILE* file = fopen(name, "atN");
    if (file != nullptr && mayRoll && _filelengthi64(_fileno(file)) >= LogRollBytes) {
        fclose(file);
        RollOver(name);
        file = fopen(name, "atN");
    }
    return file;
}

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
