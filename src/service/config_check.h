// The check of a configuration's values beyond its syntax: each value the
// service refuses or reads otherwise than it is written, and each key that no
// server uses, with the line the file gives it on.
#pragma once

#include <stdint.h>
#include <vector>

#include "config/server_entry.h"

enum FindingKind { OutOfRange, NotWhollyNumber, NoUrl, UnusedKey, NoTimes, NoMemoryHigh };

// Room for what a value is read as: a key's number or its leading digits.
constexpr uint32_t ReadAsSize = 16;

struct ConfigFinding {
    FindingKind kind;
    bool error;   // corvane -t fails on it; otherwise it is a warning
    bool ownLine; // the monitor or alert thread that reads the value logs it itself
    const ServerEntry* entry;
    const char* key;   // the key as the file writes it
    const char* value; // the entry's value; UnusedKey: the known key it resembles, or null
    const char* range; // OutOfRange: the values taken, "0 to 3600"
    char readAs[ReadAsSize];
    uint32_t line;
};

// Pure: the findings over the entries of a table (null slots skipped), in
// the order of their lines. A key left out of its block is never one.
std::vector<ConfigFinding> CheckConfigValues(const ServerEntry* const* entries, uint32_t count);

// Pure: the known key that name most resembles (letter case aside, at most two
// letters added, dropped or changed), or null.
const char* NearestServerKey(const char* name);

// Logs each finding as one line ending in "at line <n>": all of them for
// corvane -t, or (the service, at its start and each reload) those no thread
// logs itself. True when any finding is an error.
bool WriteConfigFindings(const std::vector<ConfigFinding>& findings, bool all);
