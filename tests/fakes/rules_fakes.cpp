// The event log as a list of messages in memory, and allocation that fails on
// demand (linked with --wrap=malloc and --wrap=calloc). Not for concurrent use.
#include "fakes/fakes.h"

#include <stdarg.h>
#include <stdio.h>

#include "support/event_log.h"

std::vector<std::string> loggedLines;
bool allocationsCounted = false;
int allocationsSeen = 0;
int failingAllocation = 0;

void WriteLog(const char* format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    loggedLines.push_back(message);
}

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_malloc(size_t size) {
    bool fails = allocationsCounted && ++allocationsSeen == failingAllocation;
    return fails ? nullptr : __real_malloc(size);
}
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    bool fails = allocationsCounted && ++allocationsSeen == failingAllocation;
    return fails ? nullptr : __real_calloc(count, size);
}
