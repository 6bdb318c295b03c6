#include <gtest/gtest.h>
#include <string.h>

#include "monitor/a2s_captures.h"
#include "monitor/query_packets.h"

TEST(BuildInfoRequest, MatchesCapturedPlainAndChallengedRequests) {
    uint8_t request[ChallengedRequestSize + 1];
    memset(request, 0xEE, sizeof request);
    ASSERT_EQ(25u, BuildInfoRequest(request, nullptr));
    EXPECT_EQ(ReadCapture("info_request_plain.hex"), Bytes(request, request + 25));
    EXPECT_EQ(0xEE, request[25]);

    const uint8_t challenge[ChallengeSize] = {0x29, 0xF9, 0xD5, 0x3C};
    ASSERT_EQ(29u, BuildInfoRequest(request, challenge));
    EXPECT_EQ(ReadCapture("tf2_info_request_with_challenge_2021.hex"),
              Bytes(request, request + 29));
    EXPECT_EQ(0xEE, request[29]);
}

TEST(ClassifyReply, JudgesCapturedDatagrams) {
    struct Case {
        const char* file;
        ReplyKind expected;
        uint8_t challenge[ChallengeSize];
    };
    const Case cases[] = {
        {"csgo_info_reply_xpaw_fixture.hex", InfoReply, {}},
        {"tf2_info_reply_xpaw_fixture.hex", InfoReply, {}},
        {"tf2_info_reply_after_challenge_2021.hex", InfoReply, {}},
        {"tf2_challenge_reply_2021.hex", ChallengeReply, {0x29, 0xF9, 0xD5, 0x3C}},
        {"tf2_challenge_reply_qstat_2021.hex", ChallengeReply, {0x78, 0x06, 0xE7, 0x2B}},
        // The old detailed reply type 'm' is not the one asked for.
        {"goldsrc_info_reply_0x6d_xpaw_fixture.hex", NoReply, {}},
        {"hltv_info_reply_0x6d_xpaw_fixture.hex", NoReply, {}},
        {"info_request_plain.hex", NoReply, {}},
    };
    for (const Case& c : cases) {
        Bytes reply = ReadCapture(c.file);
        ASSERT_GE(reply.size(), 9u) << c.file;
        uint8_t challenge[ChallengeSize] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(c.expected,
                  ClassifyReply(reply.data(), static_cast<uint32_t>(reply.size()), challenge))
            << c.file;
        const uint8_t untouched[ChallengeSize] = {0xEE, 0xEE, 0xEE, 0xEE};
        const uint8_t* expected = c.expected == ChallengeReply ? c.challenge : untouched;
        EXPECT_EQ(0, memcmp(expected, challenge, ChallengeSize)) << c.file;

        // The socket delivers at most 32 bytes of a longer datagram.
        uint32_t cut = reply.size() > 32 ? 32 : static_cast<uint32_t>(reply.size());
        EXPECT_EQ(c.expected, ClassifyReply(reply.data(), cut, challenge)) << c.file;
    }
}

TEST(ClassifyReply, NeedsFiveBytesForInfoAndNineForChallenge) {
    const uint8_t info[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x49, 0x11, 0x00, 0x00, 0x00};
    const uint8_t challengeReply[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x01, 0x02, 0x03, 0x04};
    struct Case {
        const uint8_t* reply;
        uint32_t length;
        ReplyKind expected;
    };
    const Case cases[] = {
        {info, 0, NoReply},
        {info, 4, NoReply},
        {info, 5, InfoReply},
        {info, 9, InfoReply},
        {challengeReply, 5, NoReply},
        {challengeReply, 8, NoReply},
        {challengeReply, 9, ChallengeReply},
    };
    for (const Case& c : cases) {
        uint8_t challenge[ChallengeSize] = {};
        EXPECT_EQ(c.expected, ClassifyReply(c.reply, c.length, challenge)) << c.length;
    }
    uint8_t challenge[ChallengeSize] = {};
    ASSERT_EQ(ChallengeReply, ClassifyReply(challengeReply, 9, challenge));
    EXPECT_EQ(0x01, challenge[0]);
    EXPECT_EQ(0x04, challenge[3]);
}

TEST(ClassifyReply, RejectsAnyOtherHeader) {
    const uint8_t typeBytes[] = {0x00, 0x40, 0x42, 0x44, 0x45, 0x48, 0x4A, 0x6D, 0xFF};
    for (uint8_t type : typeBytes) {
        uint8_t reply[] = {0xFF, 0xFF, 0xFF, 0xFF, type, 1, 2, 3, 4, 5};
        uint8_t challenge[ChallengeSize] = {};
        EXPECT_EQ(NoReply, ClassifyReply(reply, sizeof reply, challenge)) << int(type);
    }
    for (int position = 0; position < 4; ++position) {
        uint8_t info[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x49, 0, 0, 0, 0};
        uint8_t challengeReply[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 1, 2, 3, 4};
        info[position] = 0xFE;
        challengeReply[position] = 0xFE;
        uint8_t challenge[ChallengeSize] = {};
        EXPECT_EQ(NoReply, ClassifyReply(info, sizeof info, challenge)) << position;
        EXPECT_EQ(NoReply, ClassifyReply(challengeReply, sizeof challengeReply, challenge))
            << position;
    }
}

TEST(QueryTimeLeftMs, CountsDownToZeroAcrossTheCounterWrap) {
    struct Case {
        uint32_t startMs;
        uint32_t nowMs;
        uint32_t expected;
    };
    const Case cases[] = {
        {1000, 1000, 250},
        {1000, 1001, 249},
        {1000, 1249, 1},
        {1000, 1250, 0},
        {1000, 5000, 0},
        {0xFFFFFFF0u, 0xFFFFFFF0u, 250},
        {0xFFFFFFF0u, 0x00000010u, 218},
        {0xFFFFFFF0u, 0x000000EAu, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, QueryTimeLeftMs(c.startMs, c.nowMs, 250))
            << c.startMs << " " << c.nowMs;
    }
}
