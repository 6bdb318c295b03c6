// The metrics text and the alerts' decisions, as tables.
#include <algorithm>
#include <gtest/gtest.h>
#include <stdio.h>

#include "report/alert_rules.h"
#include "report/fleet_table.h"
#include "report/metrics_text.h"

namespace {

ServerFacts Server(const char* name) {
    ServerFacts facts = {};
    facts.inUse = true;
    snprintf(facts.name, sizeof facts.name, "%s", name);
    snprintf(facts.nameUtf8, sizeof facts.nameUtf8, "%s", name);
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
    servers[3].stateSince = 1699999990;
    servers[3].memoryLimitBytes = 64 << 20;
    servers[3].status = RestartDue;
    servers[3].plannedRestarts[MemoryPlanned] = 2;
    servers[3].nextPlannedRestart = 1700003600;
    snprintf(servers[3].installedBuild, BuildIdSize, "none");
    snprintf(servers[3].newestBuild, BuildIdSize, "200");
    std::string text = RenderMetrics(servers, 4, 1700000005, 1699990000);
    const char* const lines[] = {
        "corvane_heartbeat_timestamp_seconds 1700000005\n",
        "corvane_service_start_timestamp_seconds 1699990000\n",
        "corvane_server_state_since_timestamp_seconds{server=\"up\"} 1699999990\n",
        "corvane_server_memory_limit_bytes{server=\"up\"} 67108864\n",
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
        "corvane_server_newest_build{server=\"up\"} 200\n",
        "corvane_server_state{server=\"up\",state=\"restart_due\"} 1\n",
        "corvane_server_planned_restarts_total{server=\"up\",reason=\"memory\"} 2\n",
        "corvane_server_planned_restarts_total{server=\"up\",reason=\"hour\"} 0\n",
        "corvane_server_next_planned_restart_timestamp_seconds{server=\"up\"} 1700003600\n"};
    for (const char* line : lines) {
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    }
    for (const char* absent :
         {"idle", "reason=\"exit\"} 9", "installed_build{", "players{server=\"a",
          "restart_timestamp_seconds{server=\"a"}) {
        EXPECT_EQ(std::string::npos, text.find(absent)) << absent;
    }
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find('\r'));
    EXPECT_EQ("x\\ny", EscapeLabel("x\ny"));
}

// Rows as the table shows them at 1700000000: the duration cut to its two
// largest units, names cut to 20 columns, details on lines of their own.
TEST(RenderServerRow, DurationsCutsAndDetails) {
    const struct {
        const char* name;
        const char* state;
        int64_t sinceAgo, players, bots, committedMib, limitMib, exits, planned;
        const char* builds; // "installed newest"; "": none on the page
        const char* text;
    } rows[] = {
        {"a", "running", 59, 5, 0, 0, 64, 0, 0, "",
         "a                    running                     59 s        5       0/64\n"},
        {"twenty-characters-ab", "launching", 60, -1, -1, -1, 0, 0, 0, "",
         "twenty-characters-ab launching                   1 min       -       -\n"},
        {"twenty-one-characters", "waiting_for_empty", 3599, 12, 2, 812, 1024, 0, 0, "",
         "twenty-one-charac... waiting for an empty server 59 min      10+2    812/1024\n"},
        {"\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9",
         "pausing", 3600, 4, 0, 30, -1, 3, 0, "", // its last answer is no longer true
         "\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9... pausing after failures      1 h 0 min   -       "
         "-\n    restarts: 3 exit\n"},
        {"b", "held", 11520, -1, -1, -1, 0, 0, 2, "100 200",
         "b                    held                        3 h 12 min  -       -\n"
         "    restarts: 2 planned; build 100, newest 200\n"},
        {"c", "restart_due", 86399, 0, 0, 1, 0, 0, 0, "200 200",
         "c                    restart due                 23 h 59 min 0       1\n    build 200\n"},
        {"d", "updating", 86400 * 12 + 3600 * 5 - 1, -1, -1, -1, 0, 1000, 1000, " 300",
         "d                    updating                    12 d 4 h    -       -\n"
         "    restarts: 1000 exit, 1000 unresponsive, 1000 memory, 1000 failed launch,\n"
         "    1000 planned; build -, newest 300\n"},
        {"e", "", -1, -1, -1, -1, 0, 0, 0, "", "e                    -                           -  "
                                               "         -       -\n"}};
    for (const auto& r : rows) {
        ServerRow row;
        row.name = r.name;
        row.state = r.state;
        row.since = r.sinceAgo < 0 ? -1 : 1700000000 - r.sinceAgo;
        row.players = r.players;
        row.bots = r.bots;
        row.committedBytes = r.committedMib < 0 ? -1 : r.committedMib << 20;
        row.memoryLimitBytes = r.limitMib < 0 ? -1 : r.limitMib << 20;
        for (uint32_t reason = 0; reason < RowPlanned && r.exits == 1000; ++reason) {
            row.restarts[reason] = 1000;
        }
        row.restarts[RowExit] = r.exits;
        row.restarts[RowPlanned] = r.planned;
        std::string builds = r.builds;
        row.installedBuild = builds.substr(0, builds.find(' '));
        row.newestBuild = builds.find(' ') == std::string::npos ? "" : builds.substr(builds.find(' ') + 1);
        EXPECT_EQ(r.text, RenderServerRow(row, 1700000000)) << r.name;
    }
}

// The page the service writes, read back: the table and its exit code, or
// one line that says why there is none.
TEST(RenderFleetTable, ReadsThePageAndJudgesIt) {
    ServerFacts servers[] = {Server("a \"q\""), Server("b")};
    servers[0].status = Running;
    servers[0].stateSince = 1700000000 - 125;
    servers[0].memoryLimitBytes = 256 << 20;
    servers[0].committedBytes = 100 << 20;
    servers[0].restarts[MemoryRestart] = 2;
    servers[1].status = WaitingForEmpty;
    servers[1].players = 3;
    servers[1].bots = 1;
    snprintf(servers[1].installedBuild, BuildIdSize, "100");
    snprintf(servers[1].newestBuild, BuildIdSize, "200");
    std::string text = RenderMetrics(servers, 2, 1700000000, 1700000000 - 7250) +
                       "corvane_server_planned_restarts_total{server=\"b\",reason=\"hour\"} 1\n"
                       "corvane_server_planned_restarts_total{server=\"b\",reason=\"memory\"} 2\n";
    FleetPage page;
    ASSERT_TRUE(ParseFleetPage(text, page));
    const std::string table =
        "Service \"Corvane\" running for 2 h 1 min; corvane.prom 30 s old\n"
        "SERVER               STATE                       SINCE       PLAYERS MEMORY MiB\n"
        "a \"q\"                running                     2 min       -       100/256\n"
        "    restarts: 2 memory\n"
        "b                    waiting for an empty server -           2+1     -\n"
        "    restarts: 3 planned; build 100, newest 200\n";
    const struct {
        const char* service;
        bool read;
        int64_t now;
        const char* status; // "b"'s
        int exitCode;
        std::string text;
    } cases[] = {
        {"running", true, 1700000030, "waiting_for_empty", 0, table},
        {"running", true, 1700000030, "held", 1, ""},
        {"running", true, 1700000031, "running", 2,
         "corvane.prom is 31 s old (over 30 s): its facts are not current\n"},
        {"running", false, 1700000000, "running", 2,
         "Service \"Corvane\" is running, but corvane.prom cannot be read\n"},
        {"stopped", true, 1700000000, "running", 2,
         "Service \"Corvane\" is not running (stopped): corvane.prom is not current\n"}};
    for (const auto& c : cases) {
        page.servers[1].state = c.status;
        page.servers[1].since = -1;
        FleetTable shown = RenderFleetTable(c.read ? &page : nullptr, c.service, c.now);
        EXPECT_EQ(c.exitCode, shown.exitCode) << c.status;
        if (!c.text.empty()) {
            EXPECT_EQ(c.text, shown.text) << c.status;
        }
    }
    FleetPage empty = page; // written before the servers began: none of them runs yet
    empty.servers.clear();
    EXPECT_EQ(1, RenderFleetTable(&empty, "running", 1700000030).exitCode);
    page.servers[1].state = "held"; // with colour, the state of a server that does not run
    std::string coloured = RenderFleetTable(&page, "running", 1700000030, true).text;
    EXPECT_NE(std::string::npos, coloured.find("\nb                    \x1b[31mheld\x1b[0m      "
                                               "                  -           -"));
    EXPECT_EQ(2, std::count(coloured.begin(), coloured.end(), '\x1b'));
    EXPECT_FALSE(ParseFleetPage("corvane_server_players{server=\"b\"} 3\n", page));
}

// A server's events second by second and the messages they make: counted
// events alone send nothing and are forgotten after a minute; three ends
// within 600 s are a crash loop, which sends; what comes within the minute
// after a message waits for the next one, with its counts.
TEST(TakeAlert, OneMessageAMinuteWithCounts) {
    const struct {
        int64_t at;
        AlertKind kind;
        const char* message; // taken at `at`, after the event; "" for none
    } steps[] = {
        {0, Crashed, ""},
        {300, Crashed, ""},
        {601, Crashed, ""}, // three ends in 601 s
        {900, Crashed, "\"s\" crashed once; is in a crash loop, 3 ends in 10 minutes"},
        {910, LaunchFailed, ""},
        {930, KeepsFailing, ""},
        {960, AlertKindCount,
         "\"s\" could not be launched; keeps failing, next launch in 20s; is in a crash "
         "loop, 4 ends in 11 minutes"},
        {2000, Crashed, ""}, // the loop is over
        {2010, WasUnresponsive, "\"s\" crashed once; was unresponsive and has been terminated"},
        {2020, Crashed, ""},
        {2030, Crashed, ""}, // a loop again since 2000, within the minute of a message
        {2070, AlertKindCount, "\"s\" crashed 2 times in 1 minute; is in a crash loop, 4 ends in 2 minutes"},
        {2080, HoldTaken, ""},
        {2700, Crashed, "\"s\" crashed once; is held by stop_request.txt"},
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
              "terminated; is in a crash loop, 15 ends in 10 minutes",
              TakeAlert(many, "s", 600, 600));
}

// Posts and their answers: 429 waits its Retry-After (clamped), failures
// pause 5 s doubling to 300 s, one note when failing begins and one when it
// ends, and a full queue drops its oldest and says so in the next post.
TEST(AfterPost, PausesNotesAndLostMessages) {
    AlertQueue queue;
    queue.hostFound = true;
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
    // UTF-8 "Zürich-Košice", a quote, a backslash, a line feed, U+1F600, a stray byte.
    EXPECT_EQ("{\"content\":\"Z\\u00fcrich-Ko\\u0161ice\\\"\\\\\\u000a\\ud83d\\ude00\\ufffd\","
              "\"text\":\"Z\\u00fcrich-Ko\\u0161ice\\\"\\\\\\u000a\\ud83d\\ude00\\ufffd\"}",
              AlertBody("Z\xc3\xbcrich-Ko\xc5\xa1ice\"\\\n\xf0\x9f\x98\x80\xe9"));
}

// A host that does not resolve is looked up again after the pauses of a
// failed post, messages waiting meanwhile; once found they go out.
TEST(LookupDue, AgainAfterGrowingPausesThenPosts) {
    AlertQueue queue;
    QueueAlert(queue, "m");
    const struct {
        bool found;
        int64_t now;
        DeliveryNote note;
        int64_t next; // the next lookup, or post once found
    } lookups[] = {{false, 0, NowFailing, 5},
                   {false, 5, NothingToSay, 15},
                   {false, 15, NothingToSay, 35},
                   {true, 35, NothingToSay, 35}};
    for (const auto& l : lookups) {
        EXPECT_EQ("", NextAlertPost(queue, l.now)) << l.now;
        EXPECT_TRUE(LookupDue(queue, l.now)) << l.now;
        EXPECT_EQ(l.note, AfterLookup(queue, l.found, l.now)) << l.now;
        EXPECT_FALSE(LookupDue(queue, l.next - 1) || LookupDue(queue, l.next) == l.found) << l.now;
    }
    EXPECT_EQ("m", NextAlertPost(queue, 35));
    EXPECT_EQ(DeliveredAgain, AfterPost(queue, 204, -1, 35));
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
