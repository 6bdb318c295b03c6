// Server records: the lock around each server's published facts.
#include "report/server_record.h"

#include <string.h>
#include <time.h>

#include "support/text_helpers.h"

namespace {

// Applies change to the record's facts under its lock; a null record is none.
template <typename Change> void Publish(ServerRecord* record, Change change) {
    if (record != nullptr) {
        EnterCriticalSection(&record->lock);
        change(record->facts);
        LeaveCriticalSection(&record->lock);
    }
}

// The block name, read in the ANSI code page, as UTF-8; bytes past ASCII as
// '?' should Windows refuse the conversion.
void ConvertName(const char* ansi, char (&utf8)[NameUtf8Size]) {
    wchar_t wide[FriendlyNameSize];
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, FriendlyNameSize) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, NameUtf8Size, nullptr, nullptr) == 0) {
        for (size_t i = 0; i < NameUtf8Size; ++i) {
            utf8[i] = static_cast<unsigned char>(ansi[i]) < 0x80 ? ansi[i] : '?';
            if (ansi[i] == '\0') {
                break;
            }
        }
    }
}

} // namespace

void OpenServerRecords(ServerRecord* records, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        InitializeCriticalSection(&records[i].lock);
        records[i].facts = {};
    }
}

void CloseServerRecords(ServerRecord* records, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        DeleteCriticalSection(&records[i].lock);
    }
}

void SnapshotRecords(ServerRecord* records, uint32_t count, ServerFacts* copies) {
    for (uint32_t i = 0; i < count; ++i) {
        Publish(&records[i], [&](ServerFacts& facts) { copies[i] = facts; });
    }
}

void PublishStart(ServerRecord* record, const ServerEntry& entry, int64_t memoryLimitBytes) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    Publish(record, [&](ServerFacts& facts) {
        if (strcmp(facts.name, entry.FriendlyName) != 0) {
            facts = {};
            CopyBounded(facts.name, sizeof facts.name, entry.FriendlyName);
            ConvertName(facts.name, facts.nameUtf8);
        }
        CopyBounded(facts.alertUrl, sizeof facts.alertUrl, entry.AlertUrl);
        facts.inUse = true;
        facts.removed = false;
        facts.status = Launching;
        facts.stateSince = now;
        facts.memoryLimitBytes = memoryLimitBytes;
        facts.players = -1;
        facts.bots = -1;
        facts.committedBytes = -1;
    });
}

void PublishStop(ServerRecord* record, bool removed) {
    Publish(record, [=](ServerFacts& facts) {
        facts.inUse = false;
        facts.removed = removed;
    });
}

void PublishEntryValues(ServerRecord* record, const char* alertUrl, int64_t memoryLimitBytes) {
    Publish(record, [=](ServerFacts& facts) {
        CopyBounded(facts.alertUrl, sizeof facts.alertUrl, alertUrl);
        facts.memoryLimitBytes = memoryLimitBytes;
    });
}

void PublishStatus(ServerRecord* record, ServerStatus status) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    Publish(record, [=](ServerFacts& facts) {
        if (facts.status != status) {
            facts.status = status;
            facts.stateSince = now;
        }
    });
}

void PublishLaunch(ServerRecord* record) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    Publish(record, [=](ServerFacts& facts) { facts.lastLaunch = now; });
}

void PublishRestart(ServerRecord* record, RestartReason reason) {
    Publish(record, [=](ServerFacts& facts) { ++facts.restarts[reason]; });
}

void PublishCrashLoop(ServerRecord* record, int64_t pause) {
    Publish(record, [=](ServerFacts& facts) {
        ++facts.crashLoops;
        facts.lastPause = static_cast<uint32_t>(pause);
    });
}

void PublishCheck(ServerRecord* record, int players, int bots, int64_t committedBytes) {
    Publish(record, [=](ServerFacts& facts) {
        facts.players = players;
        facts.bots = bots;
        facts.committedBytes = committedBytes;
    });
}

void PublishQueryFailing(ServerRecord* record, bool failing) {
    Publish(record,
            [=](ServerFacts& facts) { ++(failing ? facts.queryLosses : facts.queryReturns); });
}

void PublishHold(ServerRecord* record, bool taken) {
    Publish(record,
            [=](ServerFacts& facts) { ++(taken ? facts.holdsTaken : facts.holdsReleased); });
}

void PublishPlannedRestart(ServerRecord* record, PlannedReason reason) {
    Publish(record, [=](ServerFacts& facts) { ++facts.plannedRestarts[reason]; });
}

void PublishNextRestart(ServerRecord* record, int64_t secondsAhead) {
    // A listed time is a whole minute of Unix time too (zones are whole minutes
    // off UTC): rounded to it, a second that ticked between the two clocks'
    // reads does not move it.
    int64_t at = static_cast<int64_t>(time(nullptr)) + secondsAhead + 30;
    at = secondsAhead < 0 ? 0 : at - at % 60;
    Publish(record, [=](ServerFacts& facts) { facts.nextPlannedRestart = at; });
}

void PublishUpdateEnd(ServerRecord* record, UpdateResult result) {
    Publish(record, [=](ServerFacts& facts) { ++facts.updateCycles[result]; });
}

void PublishBuilds(ServerRecord* record, const char* installed, const char* newest) {
    Publish(record, [=](ServerFacts& facts) {
        if (installed != nullptr) {
            CopyBounded(facts.installedBuild, sizeof facts.installedBuild, installed);
        }
        if (newest != nullptr) {
            CopyBounded(facts.newestBuild, sizeof facts.newestBuild, newest);
        }
    });
}
