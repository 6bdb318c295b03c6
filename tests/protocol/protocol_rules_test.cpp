// The wire protocols' bytes: the info query against datagrams captured from
// real servers and clients, and the remote console's packets.
#include <gtest/gtest.h>
#include <fstream>

#include "protocol/query_packets.h"
#include "protocol/rcon_packets.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A datagram from protocol/a2s_captures/ (its '#' lines name the source).
Bytes Capture(const char* name) {
    std::ifstream file(std::string(CORVANE_TEST_DATA "/protocol/a2s_captures/") + name);
    Bytes bytes;
    for (std::string line; std::getline(file, line);) {
        for (size_t at = 0; line[0] != '#' && at + 1 < line.size(); at += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
        }
    }
    return bytes;
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

TEST(ProtocolRules, RconPacketsEncodedAndDecoded) {
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

TEST(ProtocolRules, TheInfoQueryAgainstCapturedDatagrams) {
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
