// The remote console's packets over TCP: each a little-endian int32 size
// (of what follows it), int32 id, int32 type, a NUL-terminated body and one
// more NUL. Pure byte work; the socket calls live in rcon_client.cpp.
#pragma once

#include <stdint.h>

// Packet types. A command and the answer to a login share the value 2.
constexpr int32_t RconAuth = 3;
constexpr int32_t RconAuthResponse = 2;
constexpr int32_t RconExecCommand = 2;
constexpr int32_t RconResponseValue = 0;
// The id a server gives its answer to a login with a wrong password.
constexpr int32_t RconRefusedId = -1;

// A size field below or above these makes the packet, and the stream, invalid.
constexpr uint32_t RconMinSize = 10;
constexpr uint32_t RconMaxSize = 4096;
// The most one packet takes, its size field included.
constexpr uint32_t RconPacketRoom = 4 + RconMaxSize;

// One decoded packet; body points into the decoded buffer and holds
// bodyLength bytes, not necessarily terminated there.
struct RconPacket {
    int32_t id = 0;
    int32_t type = 0;
    const uint8_t* body = nullptr;
    uint32_t bodyLength = 0;
};

// Writes a packet with the given id, type and body into buffer, which holds
// room bytes, and returns its length; 0 when it would not fit in room or in
// RconMaxSize (nothing is then promised about the buffer).
uint32_t EncodeRconPacket(uint8_t* buffer, uint32_t room, int32_t id, int32_t type,
                          const char* body);

enum RconDecoding {
    RconComplete, // packet filled, used says how many bytes it took
    RconNeedMore, // a packet has begun but is not all there yet
    RconInvalid,  // its size is out of range: nothing after it can be trusted
};

// Decodes the packet at the start of the first length bytes of buffer.
RconDecoding DecodeRconPacket(const uint8_t* buffer, uint32_t length, RconPacket& packet,
                              uint32_t& used);
