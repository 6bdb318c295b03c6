// One remote console exchange over TCP: log in, send one command.
#pragma once

#include <stdint.h>

// The whole exchange, the connection included, takes at most this long.
constexpr uint32_t RconTimeoutMs = 2000;

enum RconResult {
    RconSent,    // logged in and the command went out
    RconRefused, // the server refused the password
    RconFailed,  // no connection, or it failed or closed first, or the time ran out: see error
    RconGarbled, // the server sent a packet of an impossible size
};

// Connects to host (a name or dotted IPv4 address) and port (decimal text),
// logs in with password and sends command, once each. After the command it
// waits for the server's answer or its close, so that the command is read
// before the connection goes. error becomes 0, or for RconFailed the sockets
// error (WSAETIMEDOUT when timeoutMs ran out, WSAECONNRESET when the server
// closed the connection before it answered the login). Blocks for up to
// timeoutMs plus the name resolution. The socket is never inherited by a
// program started meanwhile.
RconResult SendRconCommand(const char* host, const char* port, const char* password,
                           const char* command, uint32_t timeoutMs, int& error);
