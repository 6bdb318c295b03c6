// The monitor's pure decisions: a launch's path, priority class and processor
// mask, a check's judgement of silence and memory, and the info query's
// bytes against datagrams captured from real servers and clients.
#include <gtest/gtest.h>
#include <fstream>
#include <string.h>

#include "config/server_entry.h"
#include "monitor/health_rules.h"
#include "monitor/launch_args.h"
#include "monitor/query_packets.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A datagram from monitor/a2s_captures/ (its '#' lines name the source).
Bytes Capture(const char* name) {
    std::ifstream file(std::string(CORVANE_TEST_DATA "/monitor/a2s_captures/") + name);
    Bytes bytes;
    for (std::string line; std::getline(file, line);) {
        for (size_t at = 0; line[0] != '#' && at + 1 < line.size(); at += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
        }
    }
    return bytes;
}

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
    EXPECT_STREQ("127.0.0.1", QueryAddress("0.0.0.0")); // every interface: queried at home
    EXPECT_STREQ("0.0.0.01", QueryAddress("0.0.0.01"));
    EXPECT_EQ(1010u, SleepToNextSecondMs(5000, 20));
    EXPECT_EQ(11u, SleepToNextSecondMs(5999, 20));
}

TEST(MonitorRules, TheInfoQueryAgainstCapturedDatagrams) {
    uint8_t request[ChallengedRequestSize];
    ASSERT_EQ(25u, BuildInfoRequest(request, nullptr));
    EXPECT_EQ(Capture("info_request_plain.hex"), Bytes(request, request + 25));
    const uint8_t tf2Challenge[ChallengeSize] = {0x29, 0xF9, 0xD5, 0x3C};
    ASSERT_EQ(29u, BuildInfoRequest(request, tf2Challenge));
    EXPECT_EQ(Capture("tf2_info_request_with_challenge_2021.hex"), Bytes(request, request + 29));
    const struct {
        const char* file;
        ReplyKind kind;
        uint8_t challenge;
    } replies[] = {{"csgo_info_reply_xpaw_fixture.hex", InfoReply, 0},
                   {"tf2_info_reply_after_challenge_2021.hex", InfoReply, 0},
                   {"tf2_challenge_reply_2021.hex", ChallengeReply, 0x29},
                   {"tf2_challenge_reply_qstat_2021.hex", ChallengeReply, 0x78},
                   {"goldsrc_info_reply_0x6d_xpaw_fixture.hex", NoReply, 0}, // the old type
                   {"info_request_plain.hex", NoReply, 0}};
    for (const auto& r : replies) {
        Bytes reply = Capture(r.file);
        uint8_t challenge[ChallengeSize] = {};
        EXPECT_EQ(r.kind, ClassifyReply(reply.data(), static_cast<uint32_t>(reply.size()), challenge))
            << r.file;
        EXPECT_EQ(r.challenge, challenge[0]) << r.file;
    }
    const std::pair<const char*, int> counted[] = {
        {"a2s_info_reply_css_wiki_example_5players_4bots.hex", 1},
        {"a2s_info_reply_theship_27players_16bots_2015.hex", 11},
        {"a2s_info_reply_gmod_33players_2015.hex", 33},
        {"tf2_challenge_reply_2021.hex", -1}};
    for (const auto& c : counted) {
        Bytes reply = Capture(c.first);
        EXPECT_EQ(c.second, CountHumans(reply.data(), static_cast<uint32_t>(reply.size()))) << c.first;
    }
    Bytes theShip = Capture("a2s_info_reply_theship_27players_16bots_2015.hex");
    EXPECT_EQ(-1, CountHumans(theShip.data(), 76)); // cut before the bots
    EXPECT_EQ(11, CountHumans(theShip.data(), 77));
    Bytes challengeReply = Capture("tf2_challenge_reply_2021.hex");
    uint8_t challenge[ChallengeSize] = {};
    EXPECT_EQ(NoReply, ClassifyReply(challengeReply.data(), 8, challenge));
    EXPECT_EQ(InfoReply, ClassifyReply(Capture("csgo_info_reply_xpaw_fixture.hex").data(), 5, challenge));
    EXPECT_EQ(NoReply, ClassifyReply(Capture("csgo_info_reply_xpaw_fixture.hex").data(), 4, challenge));
    EXPECT_EQ(1u, QueryTimeLeftMs(1000, 1249, 250));
    EXPECT_EQ(0u, QueryTimeLeftMs(1000, 1250, 250));
    EXPECT_EQ(218u, QueryTimeLeftMs(0xFFFFFFF0u, 0x10, 250)); // across the counter's wrap
}

} // namespace
