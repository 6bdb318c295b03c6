// Stand-in for the event log that records messages for tests.
#include "fakes/event_log_fake.h"

#include <stdarg.h>
#include <stdio.h>

#include "support/event_log.h"

static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
}

const std::vector<std::string>& LoggedLines() { return Lines(); }

void ClearLoggedLines() { Lines().clear(); }

void WriteLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        vsnprintf(&line[0], line.size() + 1, format, again);
    }
    va_end(again);
    Lines().push_back(line);
}
