// The monitor's pure decisions: a launch's path, priority class and processor
// mask, and a check's judgement of silence and memory.
#include <gtest/gtest.h>
#include <string.h>

#include "config/server_entry.h"
#include "monitor/health_rules.h"
#include "monitor/launch_args.h"
#include "monitor/restart_rules.h"

namespace {

TEST(MonitorRules, LaunchPathPriorityAndAffinity) {
    ServerEntry entry = {};
    char path[ApplicationPathSize];
    memset(entry.Path, 'p', 249); // with "\srcds.exe", 259 characters: the most that fit
    EXPECT_TRUE(BuildApplicationPath(path, sizeof path, entry));
    entry.Path[249] = 'p';
    EXPECT_FALSE(BuildApplicationPath(path, sizeof path, entry));
    const std::pair<const char*, uint32_t> priorities[] = {
        {"Low", 0x40},  {"LOW", 0x40},     {"BelowNormal", 0x4000}, {"AboveNormal", 0x8000},
        {"high", 0x80}, {"Realtime", 0x100}, {"Normal", 0x20},      {"Idle", 0x20}};
    for (const auto& p : priorities) {
        EXPECT_EQ(p.second, ChoosePriorityClass(p.first)) << p.first;
    }
    const std::pair<const char*, uint64_t> masks[] = {
        {"3", 0x3}, {"0x3", 0x3}, {"F0", 0}, {"fffffff", 0xF}, {"zz", 0}};
    for (const auto& m : masks) {
        EXPECT_EQ(m.second, ChooseAffinityMask(m.first, 0xF)) << m.first;
    }
}

TEST(MonitorRules, SilenceMemoryDelayAndAddress) {
    // Each check's query result; a verdict comes only at the fourth unanswered
    // query in a row, and a local failure (-1) clears the count like a reply.
    const int results[] = {0, 0, 0, 1, 0, 0, 0, -1, 0, 0, 0, 0, 0};
    uint32_t silentChecks = 0;
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i) {
        EXPECT_EQ(i >= 11, NoteQueryResult(results[i], silentChecks)) << "check " << i;
    }
    const uint64_t Mib = 1 << 20;
    const struct {
        const char* limit;
        uint64_t committed;
        Verdict verdict;
    } memory[] = {{"100", 101 * Mib - 1, Healthy}, {"100", 101 * Mib, OverMemory},
                  {"lots", 1ull << 40, Healthy},   {"64MB", 65 * Mib, OverMemory}};
    for (const auto& m : memory) {
        EXPECT_EQ(m.verdict, JudgeMemory(MemoryLimitMib(m.limit), m.committed)) << m.limit;
    }
    const struct {
        const char* text;
        bool inRange;
        int64_t seconds;
    } delays[] = {{"7", true, 7},       {"010", true, 10},   {"7s", true, 7}, {"abc", true, 0},
                  {"3600", true, 3600}, {"3601", false, 0}, {"-5", false, 0}, {"-0", true, 0}};
    for (const auto& d : delays) {
        int64_t seconds = -1;
        EXPECT_EQ(d.inRange, ReadMonitorDelay(d.text, seconds)) << d.text;
        EXPECT_EQ(d.seconds, seconds) << d.text;
    }
    const struct {
        const char* text;
        bool inRange;
        int64_t seconds;
    } waits[] = {{"", true, 10},    {"1", true, 1},    {"60", true, 60}, {"0", false, 1},
                 {"61", false, 60}, {"abc", false, 1}, {"-3", false, 1}, {"9s", true, 9}};
    for (const auto& w : waits) {
        int64_t seconds = -1;
        EXPECT_EQ(w.inRange, ReadStopWait(w.text, seconds)) << w.text;
        EXPECT_EQ(w.seconds, seconds) << w.text;
    }
    EXPECT_EQ(nullptr, WarningCommand(EndForStop, 5)); // no time at the service's stop
    EXPECT_EQ(nullptr, WarningCommand(EndForHold, 0));
    EXPECT_EQ(nullptr, WarningCommand(EndForUpdate, -1)); // not known: nobody to warn
    EXPECT_STREQ("say This server shuts down in 10 seconds.", WarningCommand(EndForHold, 1));
    EXPECT_STREQ("say This server restarts in 10 seconds.", WarningCommand(EndForChange, 2));
    EXPECT_STREQ("127.0.0.1", QueryAddress("0.0.0.0")); // every interface: queried at home
    EXPECT_STREQ("0.0.0.01", QueryAddress("0.0.0.01"));
    EXPECT_EQ(1010u, SleepToNextSecondMs(5000, 20));
    EXPECT_EQ(11u, SleepToNextSecondMs(5999, 20));
}

// The time-of-day rule on the local wall clock, clock changes included, and
// the next listed time; minute(d, h, m) is day d of March 2026 at h:m.
TEST(RestartRules, ListedTimesComeOnceEach) {
    auto minute = [](int d, int h, int m) { return LocalClockSeconds(2026, 3, d, h, m, 0) / 60; };
    EXPECT_EQ(1774756800, LocalClockSeconds(2026, 3, 29, 4, 0, 0));
    EXPECT_EQ(1709251199, LocalClockSeconds(2024, 2, 29, 23, 59, 59));
    const struct {
        const char* list;
        int64_t lastTaken, now, came;
    } cases[] = {
        {"4:00", minute(29, 3, 0), minute(29, 3, 59), -1},
        {"4:00", minute(29, 3, 0), minute(29, 4, 0), minute(29, 4, 0)},
        {"4:00", minute(29, 4, 0), minute(29, 23, 59), -1},            // once a day
        {"4:00", minute(29, 4, 0), minute(30, 4, 0), minute(30, 4, 0)}, // and the next day
        {"4:00", minute(29, 5, 0), minute(29, 5, 10), -1},             // started after it
        {"02:30", minute(29, 1, 59), minute(29, 3, 0), minute(29, 2, 30)}, // skipped: taken after
        {"02:30", minute(25, 2, 30), minute(25, 2, 30), -1}, // repeated by a clock set back
        {"02:30", minute(25, 2, 30), minute(25, 2, 45), -1},
        {"03:00,03:30", minute(29, 2, 0), minute(29, 4, 0), minute(29, 3, 30)}, // both: one
        {"0:00, 12:00", minute(29, 23, 59), minute(30, 0, 0), minute(30, 0, 0)},
        {"12:00,0:00", minute(30, 0, 0), minute(30, 11, 59), -1}};
    for (const auto& c : cases) {
        RestartTimes times;
        ASSERT_TRUE(ReadRestartTimes(c.list, times));
        EXPECT_EQ(c.came, RestartTimeCame(times, c.now, c.lastTaken)) << c.list << " " << c.now;
    }
    RestartTimes times;
    ReadRestartTimes("16:00,4:00", times);
    EXPECT_EQ(minute(29, 16, 0), NextRestartTime(times, minute(29, 4, 0)));
    EXPECT_EQ(minute(30, 4, 0), NextRestartTime(times, minute(29, 16, 0)));
    EXPECT_EQ(-1, NextRestartTime(RestartTimes(), minute(29, 16, 0)));
}

TEST(RestartRules, KeysAndWarnings) {
    const struct {
        const char* text;
        bool valid;
        uint32_t count;
    } lists[] = {{"", true, 0},        {" 4:00 ", true, 1},    {"04:00, 23:59", true, 2},
                 {"25:00", false, 0},  {"4pm", false, 0},      {"4:0", false, 0},
                 {"24:00", false, 0},  {"12:60", false, 0},    {"04:00,", false, 0},
                 {"4:00 5:00", false, 0}, {"1:00,2:00,3:00,4:00,5:00,6:00,7:00,8:00,9:00,10:00", true,
                 10}, {"1:00,2:00,3:00,4:00,5:00,6:00,7:00,8:00,9:00,10:00,11:00", false, 0}};
    for (const auto& l : lists) {
        RestartTimes times;
        EXPECT_EQ(l.valid, ReadRestartTimes(l.text, times)) << l.text;
        EXPECT_EQ(l.count, times.count) << l.text;
    }
    const struct {
        const char *text, *maxMemory;
        bool valid;
        uint32_t mib;
    } highs[] = {{"", "64", true, 0},    {"32", "64", true, 32},  {"63", "64", true, 63},
                 {"64", "64", false, 0}, {"900", "0", true, 900}, {"0", "0", false, 0},
                 {"abc", "0", false, 0}, {"32MB", "0", false, 0}, {"-1", "0", false, 0}};
    for (const auto& h : highs) {
        uint32_t mib = 7;
        EXPECT_EQ(h.valid, ReadMemoryHigh(h.text, h.maxMemory, mib)) << h.text;
        EXPECT_EQ(h.mib, mib) << h.text;
    }
    const struct {
        const char* text;
        bool valid;
        uint32_t minutes;
    } windows[] = {{"", true, 60},     {"0", true, 0},     {"1440", true, 1440},
                   {"1441", false, 60}, {"x", false, 60}, {"-5", false, 60}};
    for (const auto& w : windows) {
        uint32_t minutes = 7;
        EXPECT_EQ(w.valid, ReadRestartWindow(w.text, minutes)) << w.text;
        EXPECT_EQ(w.minutes, minutes) << w.text;
    }
    const struct {
        int64_t secondsLeft;
        uint32_t warned, minutes;
    } warnings[] = {{301, 0, 0}, {300, 0, 5}, {180, 0, 3}, {299, 1, 0},
                    {61, 1, 0},  {60, 1, 1},  {60, 0, 1},  {30, 3, 0}};
    for (const auto& w : warnings) {
        uint32_t warned = w.warned;
        EXPECT_EQ(w.minutes, RestartWarningMinutes(w.secondsLeft, warned)) << w.secondsLeft;
    }
}

} // namespace
