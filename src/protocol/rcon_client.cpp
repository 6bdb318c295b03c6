// The remote console's socket work: resolve, connect, send, wait, receive,
// each wait bounded by what is left of one budget. What the bytes mean is
// decided in rcon_packets.cpp.
#include "protocol/rcon_client.h"

#include "support/windows_api.h"

#include <stdlib.h>
#include <string.h>
#include <vector>

#include "protocol/query_packets.h"
#include "protocol/rcon_packets.h"

namespace {

constexpr int32_t LoginId = 1;
constexpr int32_t CommandId = 2;

// The connection and what has arrived on it; a packet's room stays free
// behind an unfinished one, so a whole packet always fits. On the heap: a
// monitor thread has a small stack.
struct Connection {
    SOCKET socketHandle = INVALID_SOCKET;
    DWORD startMs = 0;
    uint32_t timeoutMs = 0;
    int error = 0;
    std::vector<uint8_t> received = std::vector<uint8_t>(2 * RconPacketRoom);
    uint32_t length = 0;
    uint32_t taken = 0;
};

// Waits until the socket can be written (or read) within the budget; false,
// with error set, when the time ran out or the connection failed.
bool WaitFor(Connection& connection, bool writing) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(connection.socketHandle, &ready);
    FD_SET(connection.socketHandle, &failed);
    uint32_t leftMs = QueryTimeLeftMs(connection.startMs, GetTickCount(), connection.timeoutMs);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(leftMs / 1000);
    timeout.tv_usec = static_cast<long>(leftMs % 1000) * 1000;
    int count =
        select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed, &timeout);
    if (count == 0) {
        connection.error = WSAETIMEDOUT;
        return false;
    }
    if (count == SOCKET_ERROR) {
        connection.error = WSAGetLastError();
        return false;
    }
    if (FD_ISSET(connection.socketHandle, &failed)) { // a connect that failed
        int error = 0;
        int size = sizeof error;
        getsockopt(connection.socketHandle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &size);
        connection.error = error != 0 ? error : WSAECONNREFUSED;
        return false;
    }
    return true;
}

bool SendPacket(Connection& connection, int32_t id, int32_t type, const char* body) {
    uint8_t packet[RconPacketRoom];
    uint32_t length = EncodeRconPacket(packet, sizeof packet, id, type, body);
    if (length == 0) {
        connection.error = WSAEMSGSIZE;
        return false;
    }
    for (uint32_t sent = 0; sent < length;) {
        if (!WaitFor(connection, true)) {
            return false;
        }
        int count = send(connection.socketHandle, reinterpret_cast<const char*>(packet + sent),
                         static_cast<int>(length - sent), 0);
        if (count == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            connection.error = WSAGetLastError();
            return false;
        }
        sent += count == SOCKET_ERROR ? 0 : static_cast<uint32_t>(count);
    }
    return true;
}

// The next packet: RconComplete, RconInvalid, or RconNeedMore with error set
// when none came whole.
RconDecoding ReceivePacket(Connection& connection, RconPacket& packet) {
    for (;;) {
        uint32_t used = 0;
        RconDecoding decoding =
            DecodeRconPacket(connection.received.data() + connection.taken,
                             connection.length - connection.taken, packet, used);
        if (decoding != RconNeedMore) {
            connection.taken += used;
            return decoding;
        }
        memmove(connection.received.data(), connection.received.data() + connection.taken,
                connection.length - connection.taken);
        connection.length -= connection.taken;
        connection.taken = 0;
        if (!WaitFor(connection, false)) {
            return RconNeedMore;
        }
        int count = recv(connection.socketHandle,
                         reinterpret_cast<char*>(connection.received.data() + connection.length),
                         static_cast<int>(connection.received.size() - connection.length), 0);
        if (count == 0) {
            connection.error = WSAECONNRESET;
            return RconNeedMore;
        }
        if (count == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            connection.error = WSAGetLastError();
            return RconNeedMore;
        }
        connection.length += count == SOCKET_ERROR ? 0 : static_cast<uint32_t>(count);
    }
}

RconResult Converse(Connection& connection, const char* password, const char* command) {
    if (!SendPacket(connection, LoginId, RconAuth, password)) {
        return RconFailed;
    }
    RconPacket packet;
    do { // the login's answer is an empty response value, then the verdict
        RconDecoding decoding = ReceivePacket(connection, packet);
        if (decoding != RconComplete) {
            return decoding == RconInvalid ? RconGarbled : RconFailed;
        }
    } while (packet.type != RconAuthResponse);
    if (packet.id == RconRefusedId) {
        return RconRefused;
    }
    if (!SendPacket(connection, CommandId, RconExecCommand, command)) {
        return RconFailed;
    }
    shutdown(connection.socketHandle, SD_SEND);
    ReceivePacket(connection, packet); // its answer, or the close a quit brings
    return RconSent;
}

// A TCP socket that no program started while it is open inherits. Systems
// before Windows 7 SP1 refuse the flag; there it is taken off afterwards.
SOCKET OpenRconSocket() {
    const DWORD NoHandleInherit = 0x80; // WSA_FLAG_NO_HANDLE_INHERIT
    SOCKET socketHandle =
        WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, NoHandleInherit);
    if (socketHandle == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        socketHandle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        SetHandleInformation(reinterpret_cast<HANDLE>(socketHandle), HANDLE_FLAG_INHERIT, 0);
    }
    return socketHandle;
}

} // namespace

RconResult SendRconCommand(const char* host, const char* port, const char* password,
                           const char* command, uint32_t timeoutMs, int& error) {
    Connection connection;
    connection.startMs = GetTickCount();
    connection.timeoutMs = timeoutMs;
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    hostent* resolved = gethostbyname(host);
    if (resolved == nullptr || resolved->h_addrtype != AF_INET ||
        resolved->h_length != sizeof address.sin_addr || resolved->h_addr_list[0] == nullptr) {
        error = WSAHOST_NOT_FOUND;
        return RconFailed;
    }
    memcpy(&address.sin_addr, resolved->h_addr_list[0], sizeof address.sin_addr);
    address.sin_port = htons(static_cast<u_short>(atoi(port)));
    connection.socketHandle = OpenRconSocket();
    if (connection.socketHandle == INVALID_SOCKET) {
        error = WSAGetLastError();
        return RconFailed;
    }
    RconResult result = RconFailed;
    u_long nonBlocking = 1;
    if (ioctlsocket(connection.socketHandle, FIONBIO, &nonBlocking) == SOCKET_ERROR ||
        (connect(connection.socketHandle, reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) == SOCKET_ERROR &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        connection.error = WSAGetLastError();
    } else if (WaitFor(connection, true)) {
        result = Converse(connection, password, command);
    }
    closesocket(connection.socketHandle);
    error = result == RconFailed ? connection.error : 0;
    return result;
}
