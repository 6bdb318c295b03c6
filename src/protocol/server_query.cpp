// The info query's socket work: resolve, connect, send, wait, receive. What a
// reply means is decided in query_packets.cpp.
#include "protocol/server_query.h"

#include "support/windows_api.h"

#include <stdlib.h>
#include <string.h>
#include <vector>

#include "protocol/query_packets.h"

namespace {

// Room for a reply of any size a UDP datagram can have.
constexpr int ReplyBufferSize = 65536;

// False only when timeoutMs passed with nothing to read; a failing select
// reads as ready, so that the receive reports the failure.
bool WaitReadable(SOCKET socketHandle, uint32_t timeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(socketHandle, &readSet);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
    timeout.tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
    return select(0, &readSet, nullptr, nullptr, &timeout) != 0;
}

// Bytes received, or -1 when the receive failed. A datagram cut to the buffer
// is reported by Windows Sockets as WSAEMSGSIZE with the buffer filled.
int ReceiveReply(SOCKET socketHandle, uint8_t* reply) { // reply holds ReplyBufferSize bytes
    int received = recv(socketHandle, reinterpret_cast<char*>(reply), ReplyBufferSize, 0);
    if (received == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEMSGSIZE ? ReplyBufferSize : -1;
    }
    return received;
}

// The exchange on a connected socket: the plain request, and after a
// challenge the challenged one, each judged by the one reply it gets. An info
// reply's players and bots go to counted.
int Exchange(SOCKET socketHandle, uint32_t timeoutMs, PlayerCount& counted) {
    DWORD startMs = GetTickCount();
    std::vector<uint8_t> reply(ReplyBufferSize);
    uint8_t challenge[ChallengeSize];
    const uint8_t* challengeToSend = nullptr;
    for (;;) {
        uint8_t request[ChallengedRequestSize];
        int requestLength = static_cast<int>(BuildInfoRequest(request, challengeToSend));
        if (send(socketHandle, reinterpret_cast<const char*>(request), requestLength, 0) ==
            SOCKET_ERROR) {
            return -1;
        }
        if (!WaitReadable(socketHandle, QueryTimeLeftMs(startMs, GetTickCount(), timeoutMs))) {
            return 0;
        }
        int received = ReceiveReply(socketHandle, reply.data());
        if (received < 0) {
            return 0;
        }
        ReplyKind kind = ClassifyReply(reply.data(), static_cast<uint32_t>(received), challenge);
        if (kind == InfoReply) {
            counted = CountPlayers(reply.data(), static_cast<uint32_t>(received));
            return 1;
        }
        if (kind != ChallengeReply || challengeToSend != nullptr) {
            return 0;
        }
        challengeToSend = challenge;
    }
}

} // namespace

// A UDP socket that no program started while it is open inherits. Systems
// before Windows 7 SP1 refuse the flag; there it is taken off afterwards.
static SOCKET OpenQuerySocket() {
    const DWORD NoHandleInherit = 0x80; // WSA_FLAG_NO_HANDLE_INHERIT
    SOCKET socketHandle = WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, NoHandleInherit);
    if (socketHandle == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        socketHandle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        SetHandleInformation(reinterpret_cast<HANDLE>(socketHandle), HANDLE_FLAG_INHERIT, 0);
    }
    return socketHandle;
}

int QueryServer(const char* host, const char* port, uint32_t timeoutMs, int* error,
                PlayerCount* players) {
    int failure = WSAHOST_NOT_FOUND;
    int result = -1;
    PlayerCount counted;
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    hostent* resolved = host != nullptr && port != nullptr ? gethostbyname(host) : nullptr;
    if (resolved != nullptr && resolved->h_addrtype == AF_INET &&
        resolved->h_length == sizeof address.sin_addr && resolved->h_addr_list[0] != nullptr) {
        memcpy(&address.sin_addr, resolved->h_addr_list[0], sizeof address.sin_addr);
        address.sin_port = htons(static_cast<u_short>(atoi(port)));
        SOCKET socketHandle = OpenQuerySocket();
        // Connected, the socket takes datagrams from the server's address and port only.
        u_long nonBlocking = 1;
        if (socketHandle != INVALID_SOCKET &&
            ioctlsocket(socketHandle, FIONBIO, &nonBlocking) != SOCKET_ERROR &&
            connect(socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                SOCKET_ERROR) {
            result = Exchange(socketHandle, timeoutMs, counted);
        }
        failure = WSAGetLastError();
        if (socketHandle != INVALID_SOCKET) {
            closesocket(socketHandle);
        }
    }
    if (error != nullptr) {
        *error = result == -1 ? failure : 0;
    }
    if (players != nullptr) {
        *players = counted;
    }
    return result;
}
