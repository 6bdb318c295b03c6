// Formats the timestamp prefix shared by the event log and the update log.
#include "support/log_prefix.h"

#include <stdio.h>

void FormatLogPrefix(char* buffer, size_t size, const struct tm& localTime) {
    snprintf(buffer, size, "L %04u/%02u/%02u - %02u:%02u:%02u: ",
             static_cast<unsigned>(localTime.tm_year + 1900),
             static_cast<unsigned>(localTime.tm_mon + 1), static_cast<unsigned>(localTime.tm_mday),
             static_cast<unsigned>(localTime.tm_hour), static_cast<unsigned>(localTime.tm_min),
             static_cast<unsigned>(localTime.tm_sec));
}
