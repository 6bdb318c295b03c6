// The monitor's pure decisions: a launch's path, priority class and processor
// mask, and a check's judgement of silence and memory.
#include <gtest/gtest.h>
#include <string.h>

#include "config/server_entry.h"
#include "monitor/health_rules.h"
#include "monitor/launch_args.h"

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

} // namespace
