// Alerts: gathering, composing, queueing and pacing, as plain functions.
#include "report/alert_rules.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

// Notes one end of the server at now; true while it is in a crash loop.
static bool NoteEnd(CrashLoop& loop, int64_t now) {
    std::copy(loop.lastEnds + 1, loop.lastEnds + CrashLoopEnds, loop.lastEnds);
    loop.lastEnds[CrashLoopEnds - 1] = now;
    loop.known = std::min(loop.known + 1, CrashLoopEnds);
    if (loop.known < CrashLoopEnds || now - loop.lastEnds[0] > CrashLoopWindow) {
        loop.loopEnds = 0;
        return false;
    }
    if (loop.loopEnds == 0) {
        loop.loopSince = loop.lastEnds[0];
        loop.loopEnds = CrashLoopEnds - 1;
    }
    ++loop.loopEnds;
    return true;
}

void GatherAlert(AlertGather& gather, AlertKind kind, uint32_t count, int64_t now, int64_t minute) {
    if (count == 0) {
        return;
    }
    uint32_t looping = 0;
    for (uint32_t end = 0; kind <= OverMemoryLimit && end < count; ++end) {
        looping += NoteEnd(gather.loop, now) ? 1 : 0;
    }
    bool empty = std::all_of(gather.counts, gather.counts + AlertKindCount,
                             [](uint32_t n) { return n == 0; });
    if (!empty && !gather.sends && now - gather.since >= minute) {
        empty = true;
        std::fill(gather.counts, gather.counts + AlertKindCount, 0);
    }
    if (empty) {
        gather.since = now;
    }
    gather.counts[kind] += count;
    gather.counts[InCrashLoop] += looping;
    gather.sends = gather.sends || looping > 0 || (kind != Crashed && kind != LaunchFailed);
}

void GatherChanges(AlertGather& gather, const ServerFacts& before, const ServerFacts& now,
                   int64_t at, int64_t minute) {
    const struct {
        AlertKind kind;
        uint32_t before;
        uint32_t now;
    } counters[] = {
        {Crashed, before.restarts[ExitRestart], now.restarts[ExitRestart]},
        {LaunchFailed, before.restarts[FailedLaunchRestart], now.restarts[FailedLaunchRestart]},
        {WasUnresponsive, before.restarts[UnresponsiveRestart], now.restarts[UnresponsiveRestart]},
        {OverMemoryLimit, before.restarts[MemoryRestart], now.restarts[MemoryRestart]},
        {KeepsFailing, before.crashLoops, now.crashLoops},
        {UpdateGaveUpAlert, before.updateCycles[UpdateGaveUp], now.updateCycles[UpdateGaveUp]},
        {QueryLost, before.queryLosses, now.queryLosses},
        {QueryBack, before.queryReturns, now.queryReturns},
        {HoldTaken, before.holdsTaken, now.holdsTaken},
        {HoldReleased, before.holdsReleased, now.holdsReleased},
    };
    for (const auto& counter : counters) {
        GatherAlert(gather, counter.kind, counter.now - counter.before, at, minute);
    }
    if (now.crashLoops != before.crashLoops) {
        gather.pause = now.lastPause;
    }
}

std::string TakeAlert(AlertGather& gather, const char* server, int64_t now, int64_t minute) {
    if (!gather.sends || (gather.composed && now - gather.lastMessage < minute)) {
        return "";
    }
    // What each kind says once, and the count added when it came more often.
    const char* const phrases[AlertKindCount] = {
        "crashed",
        "could not be launched",
        "was unresponsive and has been terminated",
        "exceeded its memory limit and has been terminated",
        "keeps failing",
        "is in a crash loop",
        "gave up an update",
        "cannot be queried, its hang detection is off",
        "can be queried again",
        "is held by stop_request.txt",
        "is no longer held by stop_request.txt"};
    int64_t minutes = std::max<int64_t>(1, (now - gather.since + 59) / 60); // rounded up
    std::string text = std::string("\"") + server + "\"";
    const char* separator = " ";
    for (uint32_t kind = 0; kind < AlertKindCount; ++kind) {
        uint32_t n = gather.counts[kind];
        if (n == 0 || (kind == InCrashLoop && gather.loop.loopEnds == 0)) { // ended meanwhile
            continue;
        }
        char part[160];
        if (kind == KeepsFailing) {
            snprintf(part, sizeof part, "keeps failing, next launch in %us", gather.pause);
        } else if (kind == InCrashLoop) {
            int64_t loopMinutes = std::max<int64_t>(1, (now - gather.loop.loopSince + 59) / 60);
            snprintf(part, sizeof part, "%s, %u ends in %lld minute%s", phrases[kind],
                     gather.loop.loopEnds, static_cast<long long>(loopMinutes),
                     loopMinutes == 1 ? "" : "s");
        } else if (n == 1) {
            snprintf(part, sizeof part, "%s%s", phrases[kind], kind == Crashed ? " once" : "");
        } else {
            snprintf(part, sizeof part, "%s %u times in %lld minute%s", phrases[kind], n,
                     static_cast<long long>(minutes), minutes == 1 ? "" : "s");
        }
        text += separator + std::string(part);
        separator = "; ";
    }
    CrashLoop loop = gather.loop;
    gather = AlertGather();
    gather.loop = loop;
    gather.composed = true;
    gather.lastMessage = now;
    return text;
}

void QueueAlert(AlertQueue& queue, const std::string& text) {
    if (queue.count == AlertQueueLength) {
        queue.first = (queue.first + 1) % AlertQueueLength;
        --queue.count;
        ++queue.lost;
    }
    queue.texts[(queue.first + queue.count++) % AlertQueueLength] = text;
}

uint32_t Undelivered(const AlertQueue& queue, const AlertGather& gather) {
    return queue.count + (gather.sends ? 1 : 0);
}

std::string NextAlertPost(const AlertQueue& queue, int64_t now) {
    if (queue.count == 0 || now < queue.nextTry || !queue.hostFound) {
        return "";
    }
    if (queue.lost == 0) {
        return queue.texts[queue.first];
    }
    char lost[64];
    snprintf(lost, sizeof lost, "(%u earlier alert%s lost) ", queue.lost,
             queue.lost == 1 ? " was" : "s were");
    return lost + queue.texts[queue.first];
}

bool LookupDue(const AlertQueue& queue, int64_t now) {
    return !queue.hostFound && now >= queue.nextTry;
}

DeliveryNote AfterLookup(AlertQueue& queue, bool found, int64_t now) {
    queue.hostFound = found;
    return found ? NothingToSay : AfterPost(queue, 0, -1, now);
}

DeliveryNote AfterPost(AlertQueue& queue, int status, int64_t retryAfter, int64_t now) {
    if (status >= 200 && status < 300) {
        queue.texts[queue.first].clear();
        queue.first = (queue.first + 1) % AlertQueueLength;
        --queue.count;
        queue.lost = 0;
        queue.failures = 0;
        queue.nextTry = now;
        bool wasFailing = queue.failing;
        queue.failing = false;
        return wasFailing ? DeliveredAgain : NothingToSay;
    }
    if (status == 429 && retryAfter >= 0) {
        queue.nextTry = now + std::min(std::max<int64_t>(retryAfter, 1), LastRetryPause);
        return NothingToSay;
    }
    uint32_t doublings = std::min<uint32_t>(queue.failures++, 16);
    queue.nextTry = now + std::min(FirstRetryPause << doublings, LastRetryPause);
    if (status == 429) {
        return NothingToSay;
    }
    bool wasFailing = queue.failing;
    queue.failing = true;
    return wasFailing ? NothingToSay : NowFailing;
}

// The code point of the UTF-8 sequence at text[at], advancing at past it; a
// byte that begins no valid sequence reads as U+FFFD and is passed alone.
static uint32_t NextCodePoint(const std::string& text, size_t& at) {
    static const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000}; // by length
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80    ? 1
                    : lead > 0xF4  ? 0
                    : lead >= 0xF0 ? 4
                    : lead >= 0xE0 ? 3
                    : lead >= 0xC0 ? 2
                                   : 0;
    uint32_t point = length > 1 ? lead & (0x7F >> length) : lead;
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0;
        if ((next & 0xC0) != 0x80) {
            length = 0;
            break;
        }
        point = point << 6 | (next & 0x3F);
    }
    if (length == 0 || point < smallest[length] || point > 0x10FFFF ||
        (point >= 0xD800 && point < 0xE000)) {
        length = 1;
        point = 0xFFFD;
    }
    at += length;
    return point;
}

std::string AlertBody(const std::string& text) {
    std::string quoted = "\"";
    for (size_t at = 0; at < text.size();) {
        uint32_t point = NextCodePoint(text, at);
        char escaped[16];
        if (point == '"' || point == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(point);
        } else if (point >= 0x20 && point < 0x80) {
            quoted += static_cast<char>(point);
        } else if (point < 0x10000) {
            snprintf(escaped, sizeof escaped, "\\u%04x", point);
            quoted += escaped;
        } else {
            point -= 0x10000;
            snprintf(escaped, sizeof escaped, "\\u%04x\\u%04x", 0xD800 + (point >> 10),
                     0xDC00 + (point & 0x3FF));
            quoted += escaped;
        }
    }
    quoted += "\"";
    return "{\"content\":" + quoted + ",\"text\":" + quoted + "}";
}

bool ParseAlertUrl(const char* url, AlertTarget& target) {
    target = AlertTarget();
    const char* rest = nullptr;
    if (strncasecmp(url, "http://", 7) == 0) {
        rest = url + 7;
    } else if (strncasecmp(url, "https://", 8) == 0) {
        rest = url + 8;
        target.secure = true;
    } else {
        return false;
    }
    size_t hostLength = strcspn(rest, ":/");
    target.host.assign(rest, hostLength);
    rest += hostLength;
    long port = target.secure ? 443 : 80;
    if (*rest == ':') {
        char* end = nullptr;
        port = strtol(rest + 1, &end, 10);
        if (end == rest + 1 || (*end != '\0' && *end != '/') || port < 1 || port > 65535) {
            return false;
        }
        rest = end;
    }
    target.port = static_cast<uint16_t>(port);
    target.path = *rest == '/' ? rest : "/";
    return !target.host.empty() && strpbrk(url, " \t\"") == nullptr;
}
