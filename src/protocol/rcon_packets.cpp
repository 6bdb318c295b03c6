// Encodes remote console packets and decodes them from what has arrived.
#include "protocol/rcon_packets.h"

#include <string.h>

namespace {

void PutInt32(uint8_t* at, uint32_t value) {
    for (int byte = 0; byte < 4; ++byte) {
        at[byte] = static_cast<uint8_t>(value >> (8 * byte));
    }
}

uint32_t GetInt32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

} // namespace

uint32_t EncodeRconPacket(uint8_t* buffer, uint32_t room, int32_t id, int32_t type,
                          const char* body) {
    size_t bodyLength = strlen(body);
    if (bodyLength > RconMaxSize - RconMinSize || 4 + RconMinSize + bodyLength > room) {
        return 0;
    }
    uint32_t size = RconMinSize + static_cast<uint32_t>(bodyLength);
    PutInt32(buffer, size);
    PutInt32(buffer + 4, static_cast<uint32_t>(id));
    PutInt32(buffer + 8, static_cast<uint32_t>(type));
    memcpy(buffer + 12, body, bodyLength);
    buffer[12 + bodyLength] = 0;
    buffer[13 + bodyLength] = 0;
    return 4 + size;
}

RconDecoding DecodeRconPacket(const uint8_t* buffer, uint32_t length, RconPacket& packet,
                              uint32_t& used) {
    if (length < 4) {
        return RconNeedMore;
    }
    uint32_t size = GetInt32(buffer);
    if (size < RconMinSize || size > RconMaxSize) {
        return RconInvalid;
    }
    if (length - 4 < size) {
        return RconNeedMore;
    }
    packet.id = static_cast<int32_t>(GetInt32(buffer + 4));
    packet.type = static_cast<int32_t>(GetInt32(buffer + 8));
    packet.body = buffer + 12;
    packet.bodyLength = size - RconMinSize;
    used = 4 + size;
    return RconComplete;
}
