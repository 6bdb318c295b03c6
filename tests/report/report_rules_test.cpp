// The metrics text and the alerts' decisions, as tables.
#include <gtest/gtest.h>
#include <stdio.h>

#include "report/alert_rules.h"
#include "report/metrics_text.h"

namespace {

ServerFacts Server(const char* name) {
    ServerFacts facts = {};
    facts.inUse = true;
    snprintf(facts.name, sizeof facts.name, "%s", name);
    facts.players = facts.bots = facts.committedBytes = -1;
    return facts;
}

TEST(RenderMetrics, OneSeriesPerServerEscapedAndWhole) {
    ServerFacts servers[] = {Server("a\"b\\c"), Server("idle"), Server("a\"b\\c"), Server("up")};
    servers[0].status = Pausing;
    servers[0].restarts[UnresponsiveRestart] = 3;
    servers[1].inUse = false;
    servers[2].restarts[ExitRestart] = 9; // the same name again: left out
    servers[3].players = 5;
    servers[3].bots = 2;
    servers[3].committedBytes = 1 << 20;
    servers[3].lastLaunch = 1700000000;
    snprintf(servers[3].installedBuild, BuildIdSize, "none");
    snprintf(servers[3].newestBuild, BuildIdSize, "200");
    std::string text = RenderMetrics(servers, 4, 1700000005, 1699990000);
    const char* const lines[] = {
        "corvane_heartbeat_timestamp_seconds 1700000005\n",
        "corvane_server_state{server=\"a\\\"b\\\\c\",state=\"pausing\"} 1\n",
        "corvane_server_state{server=\"a\\\"b\\\\c\",state=\"running\"} 0\n",
        "# TYPE corvane_server_restarts_total counter\n",
        "corvane_server_restarts_total{server=\"a\\\"b\\\\c\",reason=\"unresponsive\"} 3\n",
        "corvane_server_restarts_total{server=\"a\\\"b\\\\c\",reason=\"exit\"} 0\n",
        "corvane_server_update_cycles_total{server=\"up\",result=\"gave_up\"} 0\n",
        "corvane_server_players{server=\"up\"} 5\n",
        "corvane_server_bots{server=\"up\"} 2\n",
        "corvane_server_committed_memory_bytes{server=\"up\"} 1048576\n",
        "corvane_server_last_launch_timestamp_seconds{server=\"up\"} 1700000000\n",
        "corvane_server_newest_build{server=\"up\"} 200\n"};
    for (const char* line : lines) {
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    }
    for (const char* absent :
         {"idle", "reason=\"exit\"} 9", "installed_build{", "players{server=\"a"}) {
        EXPECT_EQ(std::string::npos, text.find(absent)) << absent;
    }
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find('\r'));
    EXPECT_EQ("x\\ny", EscapeLabel("x\ny"));
}

// A server's events second by second and the messages they make: counted
// events alone send nothing and are forgotten after a minute; what comes
// within the minute after a message waits for the next one, with its count.
TEST(TakeAlert, OneMessageAMinuteWithCounts) {
    const struct {
        int64_t at;
        AlertKind kind;
        const char* message; // taken at `at`, after the event; "" for none
    } steps[] = {
        {0, Crashed, ""},
        {59, Crashed, ""},
        {130, Crashed, ""}, // the first two are forgotten
        {131, KeepsFailing, "\"s\" crashed once; keeps failing, next launch in 20s"},
        {140, Crashed, ""},
        {150, WasUnresponsive, ""},
        {160, Crashed, ""},
        {190, KeepsFailing, ""},
        {191, AlertKindCount,
         "\"s\" crashed 2 times in 1 minute; was unresponsive and has been "
         "terminated; keeps failing, next launch in 20s"},
        {200, HoldTaken, ""},
        {800, Crashed, "\"s\" crashed once; is held by stop_request.txt"},
    };
    AlertGather gather;
    for (const auto& step : steps) {
        if (step.kind != AlertKindCount) {
            gather.pause = 20;
            GatherAlert(gather, step.kind, 1, step.at);
        }
        EXPECT_EQ(step.message, TakeAlert(gather, "s", step.at)) << step.at;
    }
    AlertGather many;
    GatherAlert(many, Crashed, 14, 0, 600); // a minute of 600 s
    GatherAlert(many, OverMemoryLimit, 1, 540, 600);
    EXPECT_EQ("\"s\" crashed 14 times in 10 minutes; exceeded its memory limit and has been "
              "terminated",
              TakeAlert(many, "s", 600, 600));
}

// Posts and their answers: 429 waits its Retry-After (clamped), failures
// pause 5 s doubling to 300 s, one note when failing begins and one when it
// ends, and a full queue drops its oldest and says so in the next post.
TEST(AfterPost, PausesNotesAndLostMessages) {
    AlertQueue queue;
    for (int i = 0; i < 18; ++i) {
        QueueAlert(queue, "m" + std::to_string(i));
    }
    EXPECT_EQ("(2 earlier alerts were lost) m2", NextAlertPost(queue, 0));
    const struct {
        int status;
        int64_t retryAfter;
        int64_t now;
        DeliveryNote note;
        int64_t nextTry;
        const char* next; // at nextTry
    } posts[] = {
        {429, 2, 0, NothingToSay, 2, "(2 earlier alerts were lost) m2"},
        {429, 9999, 2, NothingToSay, 302, "(2 earlier alerts were lost) m2"},
        {0, -1, 302, NowFailing, 307, "(2 earlier alerts were lost) m2"},
        {500, -1, 307, NothingToSay, 317, "(2 earlier alerts were lost) m2"},
        {0, -1, 317, NothingToSay, 337, "(2 earlier alerts were lost) m2"},
        {204, -1, 337, DeliveredAgain, 337, "m3"},
        {200, -1, 337, NothingToSay, 337, "m4"},
    };
    for (const auto& post : posts) {
        EXPECT_EQ(post.note, AfterPost(queue, post.status, post.retryAfter, post.now)) << post.now;
        EXPECT_EQ("", NextAlertPost(queue, post.nextTry - 1)) << post.now;
        EXPECT_EQ(post.next, NextAlertPost(queue, post.nextTry)) << post.now;
    }
    for (int i = 0; i < 9; ++i) {
        AfterPost(queue, 0, -1, 0);
    }
    EXPECT_EQ(300, queue.nextTry);
    EXPECT_EQ("{\"content\":\"a \\\"b\\\"\\u000a\\u00e9\",\"text\":\"a \\\"b\\\"\\u000a\\u00e9\"}",
              AlertBody("a \"b\"\n\xe9"));
}

TEST(ParseAlertUrl, HttpAndHttpsOnly) {
    const std::pair<const char*, const char*> urls[] = {
        // "secure host port path"; "": refused
        {"https://discord.example/api/webhooks/1/x", "1 discord.example 443 /api/webhooks/1/x"},
        {"HTTP://127.0.0.1:8080", "0 127.0.0.1 8080 /"},
        {"http://h:65535/p?q=1", "0 h 65535 /p?q=1"},
        {"http://h:0/", ""},
        {"http://h:65536/", ""},
        {"http://h:8x/", ""},
        {"http://:80/", ""},
        {"ftp://h/", ""},
        {"h/p", ""},
        {"http://h /p", ""}};
    for (const auto& url : urls) {
        AlertTarget t;
        std::string parsed = ParseAlertUrl(url.first, t)
                                 ? std::to_string(t.secure) + " " + t.host + " " +
                                       std::to_string(t.port) + " " + t.path
                                 : "";
        EXPECT_EQ(url.second, parsed) << url.first;
    }
}

} // namespace
