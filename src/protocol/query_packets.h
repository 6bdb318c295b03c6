// The server info query's datagrams: the request we send and the judgement of
// what comes back. Pure byte work; the socket calls live in server_query.cpp.
#pragma once

#include <stdint.h>

// The plain request: FF FF FF FF, "TSource Engine Query" and its terminator.
constexpr uint32_t InfoRequestSize = 25;
// A server that wants proof of our address answers with a 4-byte challenge,
// which goes back appended to the plain request.
constexpr uint32_t ChallengeSize = 4;
constexpr uint32_t ChallengedRequestSize = InfoRequestSize + ChallengeSize;

enum ReplyKind {
    NoReply,        // too short, or a header we do not take
    InfoReply,      // FF FF FF FF 49: the server answered
    ChallengeReply, // FF FF FF FF 41 and 4 challenge bytes: ask again with them
};

// Writes the request into request, which holds at least ChallengedRequestSize
// bytes, and returns its length: InfoRequestSize, or ChallengedRequestSize when
// challenge (ChallengeSize bytes) is not null.
uint32_t BuildInfoRequest(uint8_t* request, const uint8_t* challenge);

// Judges the first length bytes of reply. An info reply needs 5 bytes, a
// challenge 9; only they are examined, the rest of a longer reply is ignored.
// For a ChallengeReply the 4 challenge bytes are copied to challenge, which
// must hold ChallengeSize bytes; for other kinds it is left untouched.
ReplyKind ClassifyReply(const uint8_t* reply, uint32_t length, uint8_t* challenge);

// The players (bots included) and bots of a whole info reply; -1 each when
// the reply does not tell.
struct PlayerCount {
    int players = -1;
    int bots = -1;
};
PlayerCount CountPlayers(const uint8_t* reply, uint32_t length);

// The players less the bots of a whole info reply, whose counts follow the
// protocol byte, the four texts (name, map, folder, game) and the app id; -1
// for any other reply, or one cut before its counts.
int CountHumans(const uint8_t* reply, uint32_t length);

// Milliseconds left of a budget of timeoutMs that began at tick startMs, at
// tick nowMs (both from a millisecond counter that wraps at 2^32); 0 once spent.
uint32_t QueryTimeLeftMs(uint32_t startMs, uint32_t nowMs, uint32_t timeoutMs);
