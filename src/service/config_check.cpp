// The value check: one rule per key that the service reads as a number or an
// address, and the search for the key a misspelt one was meant to be.
#include "service/config_check.h"

#include <algorithm>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "monitor/health_rules.h"
#include "monitor/restart_rules.h"
#include "report/alert_rules.h"
#include "support/event_log.h"

namespace {

// How many characters of text the service reads as its number: decimal
// digits, or hexadecimal ones after an optional 0x; 0 when none.
size_t NumberLength(const char* text, int base) {
    size_t skip = base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    size_t length = skip;
    while (base == 16 ? isxdigit(static_cast<unsigned char>(text[length]))
                      : isdigit(static_cast<unsigned char>(text[length]))) {
        ++length;
    }
    return length == skip ? 0 : length;
}

// A warning when the value is not wholly a number: read as its leading digits.
bool WholeNumber(const char* value, int base, ConfigFinding& finding) {
    size_t length = NumberLength(value, base);
    if (length != 0 && value[length] == '\0') {
        return false;
    }
    finding.kind = NotWhollyNumber;
    snprintf(finding.readAs, sizeof finding.readAs, "%.*s",
             length == 0 ? 1 : static_cast<int>(length), length == 0 ? "0" : value);
    return true;
}

bool WholeDecimal(const ServerEntry&, const char* value, ConfigFinding& finding) {
    return WholeNumber(value, 10, finding);
}

bool WholeHex(const ServerEntry&, const char* value, ConfigFinding& finding) {
    return WholeNumber(value, 16, finding);
}

bool OutOfRangeAs(ConfigFinding& finding, const char* range, long long readAs, bool ownLine) {
    finding.kind = OutOfRange;
    finding.error = true;
    finding.ownLine = ownLine;
    finding.range = range;
    snprintf(finding.readAs, sizeof finding.readAs, "%lld", readAs);
    return true;
}

// The monitor thread logs the value out of range as it reads it.
bool MonitorDelayRule(const ServerEntry& entry, const char* value, ConfigFinding& finding) {
    int64_t seconds = 0;
    return ReadMonitorDelay(value, seconds) ? WholeDecimal(entry, value, finding)
                                            : OutOfRangeAs(finding, "0 to 3600", 0, true);
}

// Read only with an RconPassword; empty is the default.
bool StopWaitRule(const ServerEntry& entry, const char* value, ConfigFinding& finding) {
    int64_t seconds = 0;
    if (entry.RconPassword[0] == '\0' || value[0] == '\0') {
        return false;
    }
    return ReadStopWait(value, seconds) ? WholeDecimal(entry, value, finding)
                                        : OutOfRangeAs(finding, "1 to 60", seconds, true);
}

// RestartBackoff, UpdateWait, UpdateCheck: empty is off; a negative number or
// text that is no number is refused as 0, a number with more after it warned.
bool CountRule(const ServerEntry& entry, const char* value, ConfigFinding& finding) {
    if (value[0] == '\0') {
        return false;
    }
    if (strtoll(value, nullptr, 10) < 0) {
        return OutOfRangeAs(finding, "0 or more", 0, false);
    }
    finding.error = NumberLength(value, 10) == 0;
    return WholeDecimal(entry, value, finding);
}

// The alert thread logs an AlertUrl it cannot use when it takes it.
bool AlertUrlRule(const ServerEntry&, const char* value, ConfigFinding& finding) {
    AlertTarget target;
    if (value[0] == '\0' || ParseAlertUrl(value, target)) {
        return false;
    }
    finding.kind = NoUrl;
    finding.error = true;
    finding.ownLine = true;
    return true;
}

// The planned restarts' keys: the monitor thread logs a value it refuses
// when it reads it, and leaves that key off.
bool Refused(ConfigFinding& finding, FindingKind kind) {
    finding.kind = kind;
    finding.error = true;
    finding.ownLine = true;
    return true;
}

bool RestartAtRule(const ServerEntry&, const char* value, ConfigFinding& finding) {
    RestartTimes times;
    return !ReadRestartTimes(value, times) && Refused(finding, NoTimes);
}

bool MemoryHighRule(const ServerEntry& entry, const char* value, ConfigFinding& finding) {
    uint32_t mib = 0;
    return !ReadMemoryHigh(value, entry.MaxMemory, mib) && Refused(finding, NoMemoryHigh);
}

bool RestartWindowRule(const ServerEntry&, const char* value, ConfigFinding& finding) {
    uint32_t minutes = 0;
    return !ReadRestartWindow(value, minutes) && OutOfRangeAs(finding, "0 to 1440", minutes, true);
}

// One row per key whose value the service reads as more than text; a rule
// fills in what it found and says whether it found anything.
struct KeyCheck {
    const char* key;
    bool (*rule)(const ServerEntry& entry, const char* value, ConfigFinding& finding);
};

const KeyCheck KeyChecks[] = {
    {"Port", WholeDecimal},      {"MaxPlayers", WholeDecimal},       {"Affinity", WholeHex},
    {"MaxMemory", WholeDecimal}, {"MonitorDelay", MonitorDelayRule}, {"RestartBackoff", CountRule},
    {"UpdateWait", CountRule},   {"UpdateCheck", CountRule},         {"StopWait", StopWaitRule},
    {"AlertUrl", AlertUrlRule},  {"RestartAt", RestartAtRule},       {"MemoryHigh", MemoryHighRule},
    {"RestartWindow", RestartWindowRule},
};

// Letters added, dropped or changed to turn one key into the other, letter
// case aside; keys are at most 63 characters.
uint32_t EditDistance(const char* first, const char* second) {
    uint32_t row[UnknownKeySize + 1];
    size_t secondLength = std::min<size_t>(strlen(second), UnknownKeySize);
    for (size_t j = 0; j <= secondLength; ++j) {
        row[j] = static_cast<uint32_t>(j);
    }
    for (size_t i = 1; i <= UnknownKeySize && first[i - 1] != '\0'; ++i) {
        uint32_t diagonal = row[0];
        row[0] = static_cast<uint32_t>(i);
        for (size_t j = 1; j <= secondLength; ++j) {
            bool same = tolower(static_cast<unsigned char>(first[i - 1])) ==
                        tolower(static_cast<unsigned char>(second[j - 1]));
            uint32_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[secondLength];
}

} // namespace

const char* NearestServerKey(const char* name) {
    const char* nearest = nullptr;
    uint32_t nearestDistance = 3;
    for (const ServerKey& key : ServerKeys) {
        uint32_t distance = EditDistance(name, key.name);
        if (distance < nearestDistance) {
            nearest = key.name;
            nearestDistance = distance;
        }
    }
    return nearest;
}

std::vector<ConfigFinding> CheckConfigValues(const ServerEntry* const* entries, uint32_t count) {
    std::vector<ConfigFinding> findings;
    for (uint32_t slot = 0; slot < count; ++slot) {
        const ServerEntry* entry = entries[slot];
        if (entry == nullptr) {
            continue;
        }
        for (const KeyCheck& check : KeyChecks) {
            uint32_t index = FindServerKey(check.key);
            const char* value = reinterpret_cast<const char*>(entry) + ServerKeys[index].offset;
            ConfigFinding finding = {};
            if (entry->Lines.known[index] != 0 && check.rule(*entry, value, finding)) {
                finding.entry = entry;
                finding.key = check.key;
                finding.value = value;
                finding.line = entry->Lines.known[index];
                findings.push_back(finding);
            }
        }
        for (uint32_t i = 0; i < entry->Lines.unknownCount; ++i) {
            ConfigFinding finding = {};
            finding.kind = UnusedKey;
            finding.entry = entry;
            finding.key = entry->Lines.unknown[i];
            finding.value = NearestServerKey(finding.key);
            finding.line = entry->Lines.unknownLine[i];
            findings.push_back(finding);
        }
    }
    std::stable_sort(
        findings.begin(), findings.end(),
        [](const ConfigFinding& a, const ConfigFinding& b) { return a.line < b.line; });
    return findings;
}

bool WriteConfigFindings(const std::vector<ConfigFinding>& findings, bool all) {
    bool error = false;
    for (const ConfigFinding& f : findings) {
        error = error || f.error;
        const char* name = f.entry->FriendlyName;
        if (f.ownLine && !all) {
            continue;
        }
        switch (f.kind) {
        case OutOfRange:
            WriteLog("\"%s\" has %s \"%s\" out of range (%s), read as %s at line %u", name, f.key,
                     f.value, f.range, f.readAs, f.line);
            break;
        case NotWhollyNumber:
            WriteLog("\"%s\" has %s \"%s\", which is not wholly a number, read as %s at line %u",
                     name, f.key, f.value, f.readAs, f.line);
            break;
        case NoUrl:
            WriteLog(
                "\"%s\" has AlertUrl \"%s\", which is no http or https URL: no alerts are sent "
                "at line %u",
                name, f.value, f.line);
            break;
        case NoTimes:
            WriteLog("\"%s\" has RestartAt \"%s\", which is no list of times HH:MM: no restarts "
                     "at set hours at line %u",
                     name, f.value, f.line);
            break;
        case NoMemoryHigh:
            WriteLog("\"%s\" has MemoryHigh \"%s\", which is no number of MiB below its "
                     "MaxMemory: no restarts for memory at line %u",
                     name, f.value, f.line);
            break;
        case UnusedKey:
            if (f.value != nullptr) {
                WriteLog("\"%s\" has key \"%s\", which no server uses (is it \"%s\"?) at line %u",
                         name, f.key, f.value, f.line);
            } else {
                WriteLog("\"%s\" has key \"%s\", which no server uses, at line %u", name, f.key,
                         f.line);
            }
            break;
        }
    }
    return error;
}
