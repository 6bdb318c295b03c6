// Builds the info request and classifies replies by their first bytes.
#include "protocol/query_packets.h"

#include <string.h>

namespace {

const uint8_t PlainRequest[InfoRequestSize] = {0xFF, 0xFF, 0xFF, 0xFF, 'T', 'S', 'o', 'u', 'r',
                                               'c',  'e',  ' ',  'E',  'n', 'g', 'i', 'n', 'e',
                                               ' ',  'Q',  'u',  'e',  'r', 'y', 0x00};

const uint8_t InfoHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x49};
const uint8_t ChallengeHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x41};
constexpr uint32_t HeaderSize = sizeof InfoHeader;

} // namespace

uint32_t BuildInfoRequest(uint8_t* request, const uint8_t* challenge) {
    memcpy(request, PlainRequest, InfoRequestSize);
    if (challenge == nullptr) {
        return InfoRequestSize;
    }
    memcpy(request + InfoRequestSize, challenge, ChallengeSize);
    return ChallengedRequestSize;
}

ReplyKind ClassifyReply(const uint8_t* reply, uint32_t length, uint8_t* challenge) {
    if (length >= HeaderSize && memcmp(reply, InfoHeader, HeaderSize) == 0) {
        return InfoReply;
    }
    if (length >= HeaderSize + ChallengeSize && memcmp(reply, ChallengeHeader, HeaderSize) == 0) {
        memcpy(challenge, reply + HeaderSize, ChallengeSize);
        return ChallengeReply;
    }
    return NoReply;
}

int CountHumans(const uint8_t* reply, uint32_t length) {
    PlayerCount count = CountPlayers(reply, length);
    if (count.players < 0) {
        return -1;
    }
    return count.players > count.bots ? count.players - count.bots : 0;
}

PlayerCount CountPlayers(const uint8_t* reply, uint32_t length) {
    PlayerCount count;
    uint8_t challenge[ChallengeSize];
    if (ClassifyReply(reply, length, challenge) != InfoReply) {
        return count;
    }
    uint32_t at = HeaderSize + 1; // past the protocol byte
    for (int text = 0; text < 4; ++text) {
        const void* end = at < length ? memchr(reply + at, '\0', length - at) : nullptr;
        if (end == nullptr) {
            return count;
        }
        at = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - reply) + 1;
    }
    if (length < at + 5) { // app id (2), players, max players, bots
        return count;
    }
    count.players = reply[at + 2];
    count.bots = reply[at + 4];
    return count;
}

uint32_t QueryTimeLeftMs(uint32_t startMs, uint32_t nowMs, uint32_t timeoutMs) {
    uint32_t elapsedMs = nowMs - startMs;
    return elapsedMs >= timeoutMs ? 0 : timeoutMs - elapsedMs;
}
