// What the alerts send and when: events gathered into at most one message per
// server a minute, a bounded queue of messages per server, and the pauses of
// delivery. Pure: the clock and the answers of the webhook come in as facts.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

#include "report/server_facts.h"

// Events a server's message tells of. Crashes and failed launches are only
// counted: they alone send nothing, the other kinds send. The first four are
// ends of the server; InCrashLoop is noted by the rules themselves.
enum AlertKind : uint32_t {
    Crashed,
    LaunchFailed,
    WasUnresponsive,
    OverMemoryLimit,
    KeepsFailing,
    InCrashLoop,
    UpdateGaveUpAlert,
    QueryLost,
    QueryBack,
    HoldTaken,
    HoldReleased,
    AlertKindCount
};

// The seconds between two messages of one server.
constexpr int64_t AlertMinute = 60;
// A server that ends CrashLoopEnds times within CrashLoopWindow seconds (the
// last end at most that long after the first), for any reason, is in a crash
// loop until it has CrashLoopEnds ends no longer within the window.
constexpr uint32_t CrashLoopEnds = 3;
constexpr int64_t CrashLoopWindow = 600;

// A server's ends, kept across its messages.
struct CrashLoop {
    int64_t lastEnds[CrashLoopEnds] = {}; // oldest first
    uint32_t known = 0;                   // of lastEnds, at most CrashLoopEnds
    uint32_t loopEnds = 0;                // ends since the loop began; 0: none runs
    int64_t loopSince = 0;                // the first of them
};

// One server's events since its last message; kept by the alert thread.
struct AlertGather {
    uint32_t counts[AlertKindCount] = {};
    uint32_t pause = 0;    // seconds of the latest KeepsFailing
    int64_t since = 0;     // when the first of them came
    bool sends = false;    // one of them is of a kind that sends
    bool composed = false; // a message was made before, at lastMessage
    int64_t lastMessage = 0;
    CrashLoop loop;
};

// Counts count events of kind at now. Counted-only events older than a
// minute, with nothing that sends beside them, are forgotten first. Each end
// in a crash loop adds an InCrashLoop, which sends.
void GatherAlert(AlertGather& gather, AlertKind kind, uint32_t count, int64_t now,
                 int64_t minute = AlertMinute);

// Adds to gather what happened between two snapshots of a server's facts:
// the growth of its counters. pause comes from now.
void GatherChanges(AlertGather& gather, const ServerFacts& before, const ServerFacts& now,
                   int64_t at, int64_t minute = AlertMinute);

// The message due at now, emptying the gather; empty when none is: nothing
// that sends was gathered, or the last message is not a minute old.
// E.g. "\"crashy\" crashed 14 times in 10 minutes; keeps failing, next launch in 300s",
// or "\"s\" crashed 3 times in 1 minute; is in a crash loop, 3 ends in 1 minute".
std::string TakeAlert(AlertGather& gather, const char* server, int64_t now,
                      int64_t minute = AlertMinute);

constexpr uint32_t AlertQueueLength = 16;
// Retry pauses of a failed delivery: doubling from the first to the last.
constexpr int64_t FirstRetryPause = 5;
constexpr int64_t LastRetryPause = 300;

// A server's messages waiting for delivery, oldest first.
struct AlertQueue {
    std::string texts[AlertQueueLength];
    uint32_t first = 0;
    uint32_t count = 0;
    uint32_t lost = 0;     // dropped while the queue was full, since the last delivery
    int64_t nextTry = 0;   // no post before then
    uint32_t failures = 0; // deliveries or lookups failed in a row
    bool failing = false;  // said in the log as not delivered
    bool hostFound = false; // the webhook's host resolved; posts wait for it
};

// Messages of a server not delivered yet: queued, or waiting for the minute.
uint32_t Undelivered(const AlertQueue& queue, const AlertGather& gather);

// Queues text; a full queue drops its oldest and counts it lost.
void QueueAlert(AlertQueue& queue, const std::string& text);

// The text of the next post at now, with the count of lost messages before
// it; empty when the queue is empty, a pause runs or the host is not found.
std::string NextAlertPost(const AlertQueue& queue, int64_t now);

// Whether the webhook's host is to be looked up at now: not found yet and no
// pause runs, whether messages wait or not.
bool LookupDue(const AlertQueue& queue, int64_t now);

enum DeliveryNote { NothingToSay, NowFailing, DeliveredAgain };

// Applies the answer to the last post at now: status 0 for none (no
// connection, no answer in time). A 2xx takes the message off the queue;
// a 429 waits its retryAfter seconds (clamped to 1..LastRetryPause; a
// negative one, not given, counts as a failure's pause) and keeps it; any
// other answer keeps it and pauses FirstRetryPause, doubling up to
// LastRetryPause. Says when the server's alerts stop or start again being
// delivered, once each.
DeliveryNote AfterPost(AlertQueue& queue, int status, int64_t retryAfter, int64_t now);

// Applies a lookup of the host at now: found, posts may go; not found (or no
// answer in time), as a post without an answer.
DeliveryNote AfterLookup(AlertQueue& queue, bool found, int64_t now);

// Pure: the JSON body that Discord's and Slack's incoming webhooks both take,
// all ASCII: text is UTF-8, each of its code points above 0x7F an escape (a
// pair above U+FFFF), each byte that begins no valid sequence U+FFFD.
std::string AlertBody(const std::string& text);

// A webhook's address taken apart: http or https, host, port, path.
struct AlertTarget {
    bool secure = false;
    std::string host;
    uint16_t port = 0;
    std::string path;
};

// Pure: false for anything but http://host[:port][/path] or https://...,
// the scheme in any letter case, a port from 1 to 65535, no blank.
bool ParseAlertUrl(const char* url, AlertTarget& target);
