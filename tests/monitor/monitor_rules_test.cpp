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
#include "monitor/rcon_packets.h"

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

Bytes Hex(const std::string& hex) {
    Bytes bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += hex[at] == ' ' ? 1 : 2) {
        if (hex[at] != ' ') {
            bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
        }
    }
    return bytes;
}

TEST(MonitorRules, RconPacketsEncodedAndDecoded) {
    uint8_t packet[RconPacketRoom];
    uint32_t length = EncodeRconPacket(packet, sizeof packet, 1, RconAuth, "pw");
    EXPECT_EQ(Hex("0C000000 01000000 03000000 70 77 00 00"), Bytes(packet, packet + length));
    EXPECT_EQ(0u, EncodeRconPacket(packet, 15, 1, RconAuth, "pw")); // one byte short
    EXPECT_EQ(RconPacketRoom,
              EncodeRconPacket(packet, sizeof packet, 2, 2, std::string(4086, 'x').c_str()));
    EXPECT_EQ(0u, EncodeRconPacket(packet, sizeof packet, 2, 2, std::string(4087, 'x').c_str()));
    const struct {
        const char* bytes;
        RconDecoding decoding;
        int32_t id = 0, type = 0;
        uint32_t used = 0, bodyLength = 0;
    } packets[] = {
        {"0A000000 FFFFFFFF 02000000 00 00 0A000000", RconComplete, -1, 2, 14,
         0}, // refused, one more behind
        {"0C000000 02000000 00000000 6F 6B 00 00", RconComplete, 2, 0, 16, 2},
        {"001000 00 07000000 00000000", RconComplete, 7, 0, 4100, 4086}, // 4096: the largest
        {"0A00", RconNeedMore},
        {"0A000000 01000000 02000000 00", RconNeedMore},
        {"", RconNeedMore},
        {"09000000 01000000 02000000 00", RconInvalid},
        {"01100000", RconInvalid}, // 9 and 4097
        {"FFFFFFFF", RconInvalid},
        {"00000080", RconInvalid}};
    for (const auto& p : packets) {
        Bytes bytes = Hex(p.bytes);
        bytes.resize(std::max<size_t>(bytes.size(), p.used), 0);
        RconPacket decoded;
        uint32_t used = 0;
        EXPECT_EQ(p.decoding, DecodeRconPacket(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                               decoded, used))
            << p.bytes;
        if (p.decoding == RconComplete) {
            EXPECT_EQ(
                std::vector<uint32_t>({uint32_t(p.id), uint32_t(p.type), p.used, p.bodyLength}),
                std::vector<uint32_t>(
                    {uint32_t(decoded.id), uint32_t(decoded.type), used, decoded.bodyLength}))
                << p.bytes;
        }
    }
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
