// The event log as a list of messages in memory. Not for concurrent use.
#include "fakes/fakes.h"

#include <stdarg.h>
#include <stdio.h>

#include "support/event_log.h"

std::vector<std::string> loggedLines;

void WriteLog(const char* format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    loggedLines.push_back(message);
}
