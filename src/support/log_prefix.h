// The timestamp that begins every line of the event log and every record
// header of the update log: "L YYYY/MM/DD - hh:mm:ss: ".
#pragma once

#include <stddef.h>
#include <time.h>

// Room for the prefix of any four-digit year, with its terminator.
constexpr size_t LogPrefixSize = 32;

// Writes the prefix for the broken-down local time into buffer (always terminated).
void FormatLogPrefix(char* buffer, size_t size, const struct tm& localTime);
