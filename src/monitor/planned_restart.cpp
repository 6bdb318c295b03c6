// Planned restarts: the keys read on change, the due restart and its wait.
#include "monitor/planned_restart.h"

#include <stdio.h>
#include <string.h>

#include "config/server_entry.h"
#include "monitor/planned_end.h"
#include "protocol/rcon_client.h"
#include "report/server_record.h"
#include "support/event_log.h"
#include "support/text_helpers.h"

// Copies the entry's text over what was read; true when it differed.
static bool Changed(char* read, uint32_t size, const char* text, bool first) {
    if (!first && strcmp(read, text) == 0) {
        return false;
    }
    CopyBounded(read, size, text);
    return true;
}

static void ReadRestartKeys(MonitorState& monitor, int64_t localMinute) {
    const ServerEntry& entry = monitor.entry;
    bool first = !monitor.restartKeysRead;
    monitor.restartKeysRead = true;
    if (Changed(monitor.restartAtRead, sizeof monitor.restartAtRead, entry.RestartAt, first)) {
        monitor.lastRestartTime = localMinute; // a time already past today is not taken
        if (!ReadRestartTimes(entry.RestartAt, monitor.restartTimes)) {
            WriteLog("\"%s\" has RestartAt \"%s\", which is no list of times HH:MM: no restarts "
                     "at set hours",
                     entry.FriendlyName, entry.RestartAt);
        }
    }
    bool limitChanged =
        Changed(monitor.maxMemoryRead, sizeof monitor.maxMemoryRead, entry.MaxMemory, first);
    if (Changed(monitor.memoryHighRead, sizeof monitor.memoryHighRead, entry.MemoryHigh, first) ||
        limitChanged) {
        if (!ReadMemoryHigh(entry.MemoryHigh, entry.MaxMemory, monitor.memoryHighMib)) {
            WriteLog("\"%s\" has MemoryHigh \"%s\", which is no number of MiB below its "
                     "MaxMemory: no restarts for memory",
                     entry.FriendlyName, entry.MemoryHigh);
        }
    }
    if (Changed(monitor.restartWindowRead, sizeof monitor.restartWindowRead, entry.RestartWindow,
                first) &&
        !ReadRestartWindow(entry.RestartWindow, monitor.restartWindow)) {
        WriteLog("\"%s\" has RestartWindow \"%s\" out of range (0 to 1440), read as %u",
                 entry.FriendlyName, entry.RestartWindow, monitor.restartWindow);
    }
}

static void MakeRestartDue(MonitorState& monitor, int64_t now, PlannedReason reason) {
    monitor.restartDue = true;
    monitor.restartReason = reason;
    monitor.restartDueSince = now;
    monitor.restartWarned = 0;
}

void WatchRestartTimes(MonitorState& monitor, int64_t now, int64_t localSeconds) {
    int64_t localMinute = localSeconds >= 0 ? localSeconds / 60 : (localSeconds + 1) / 60 - 1;
    ReadRestartKeys(monitor, localMinute);
    int64_t came = RestartTimeCame(monitor.restartTimes, localMinute, monitor.lastRestartTime);
    if (came >= 0) {
        monitor.lastRestartTime = came;
        if (monitor.state == WatchServer && !monitor.restartDue) {
            MakeRestartDue(monitor, now, HourPlanned);
            monitor.restartDueMinute = static_cast<int32_t>(came - came / 1440 * 1440);
            WriteLog("\"%s\" is due for its planned restart at %02d:%02d",
                     monitor.entry.FriendlyName, monitor.restartDueMinute / 60,
                     monitor.restartDueMinute % 60);
        }
    }
    int64_t next = NextRestartTime(monitor.restartTimes, localMinute > monitor.lastRestartTime
                                                             ? localMinute
                                                             : monitor.lastRestartTime);
    PublishNextRestart(monitor.record, next < 0 ? -1 : next * 60 - localSeconds);
}

// A warning over the remote console; one that is not delivered is not tried
// again, and the end at the window's close says what fails there.
static void WarnPlayers(MonitorState& monitor, uint32_t minutes) {
    const ServerEntry& entry = monitor.entry;
    char command[96];
    if (monitor.restartReason == HourPlanned) {
        snprintf(command, sizeof command,
                 "say This server restarts in %u min for its planned restart at %02d:%02d.",
                 minutes, monitor.restartDueMinute / 60, monitor.restartDueMinute % 60);
    } else {
        snprintf(command, sizeof command, "say This server restarts in %u min to free its memory.",
                 minutes);
    }
    int error = 0;
    SendRconCommand(QueryAddress(entry.Host), entry.Port, entry.RconPassword, command,
                    RconTimeoutMs, error);
}

void TakeDueRestart(MonitorState& monitor, int64_t now, const QueryFacts& facts) {
    const ServerEntry& entry = monitor.entry;
    int64_t committedMib = facts.committedBytes >> 20;
    if (!monitor.restartDue && monitor.memoryHighMib > 0 && facts.committedBytes >= 0 &&
        committedMib > monitor.memoryHighMib) {
        MakeRestartDue(monitor, now, MemoryPlanned);
        WriteLog("\"%s\" is due for a planned restart: memory at %u MiB", entry.FriendlyName,
                 static_cast<unsigned>(committedMib));
    }
    if (!monitor.restartDue) {
        return;
    }
    int64_t secondsLeft = monitor.restartDueSince + 60 * int64_t{monitor.restartWindow} - now;
    if (facts.humans == 0) {
        WriteLog("\"%s\" is empty and has been terminated for its planned restart",
                 entry.FriendlyName);
    } else if (secondsLeft <= 0) {
        WriteLog("\"%s\" waited %u minutes for an empty server and has been terminated for its "
                 "planned restart",
                 entry.FriendlyName, monitor.restartWindow);
    } else {
        uint32_t minutes = RestartWarningMinutes(secondsLeft, monitor.restartWarned);
        if (minutes > 0 && entry.RconPassword[0] != '\0') {
            WarnPlayers(monitor, minutes);
        }
        return;
    }
    PublishPlannedRestart(monitor.record, static_cast<PlannedReason>(monitor.restartReason));
    monitor.restartDue = false;
    BeginPlannedEnd(monitor, now, EndForPlanned);
}
