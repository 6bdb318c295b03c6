// Any bytes as what a server's console sent: the decoder walks them packet by
// packet without an over-read, takes only sizes from 10 to 4096, and asks for
// more only when a packet is not all there.
#include <stdint.h>
#include <stdlib.h>

#include "protocol/rcon_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t at = 0;
    uint32_t length = static_cast<uint32_t>(size);
    for (;;) {
        RconPacket packet;
        uint32_t used = 0;
        RconDecoding decoding = DecodeRconPacket(data + at, length - at, packet, used);
        if (decoding != RconComplete) {
            uint32_t sizeField = length - at >= 4 ? data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                                        static_cast<uint32_t>(data[at + 3]) << 24
                                                  : 0;
            bool whole = length - at >= 4 && length - at - 4 >= sizeField;
            bool inRange = sizeField >= RconMinSize && sizeField <= RconMaxSize;
            if ((decoding == RconNeedMore) != (length - at < 4 || (inRange && !whole))) {
                abort();
            }
            return 0;
        }
        if (used != RconMinSize + 4 + packet.bodyLength || used > length - at ||
            packet.body != data + at + 12) {
            abort();
        }
        volatile uint8_t last = packet.bodyLength != 0 ? packet.body[packet.bodyLength - 1] : 0;
        (void)last;
        at += used;
    }
}
