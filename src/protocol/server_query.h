// One server info query over UDP, on a socket of its own.
#pragma once

#include <stdint.h>

#include "protocol/query_packets.h"

// Sends the info request to host (a name or dotted IPv4 address) and port
// (decimal text) and waits up to timeoutMs for the reply. A challenge reply is
// answered once with the challenged request within the same budget. Returns 1
// for an info reply, 0 for none in time (also a short or foreign reply, a
// failed receive, or a second challenge), -1 when the host does not resolve or
// the socket cannot be created, connected or sent on; error (when given)
// becomes 0, or for -1 the sockets error; players (when given) the info
// reply's counts, -1 each when there was no whole info reply. Blocks for up
// to timeoutMs plus the name resolution, which has no limit of its own. The
// socket layer must have been started. Its socket is never inherited by a
// program started meanwhile.
int QueryServer(const char* host, const char* port, uint32_t timeoutMs, int* error = nullptr,
                PlayerCount* players = nullptr);
