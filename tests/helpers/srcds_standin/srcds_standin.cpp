// Stand-in game server for tests, built as srcds.exe. It accepts the game
// server's command line, answers the info query like a real server, and is
// steered by a control file. All its files lie in its current directory.
//
// Command line: arg0 -console -game G -ip A -port P -maxplayers N +map M [more]
//   -ip defaults to 127.0.0.1 and -port to 27015; other words are ignored.
//   Exits with 2 when the UDP port cannot be bound.
//
// "standin_record.txt", written once when the socket is bound and the control
// file has been applied (its presence means the server answers), key=value:
//   pid=<decimal>  commandline=<as given>  cwd=<current directory>
//   priorityclass=0x<hex, GetPriorityClass>  affinity=0x<hex process mask>
//   game=  ip=  port=  maxplayers=  map=   (as parsed from the command line)
//
// "standin_control.txt", written by the test, re-read every 100 ms and taken
// only when its text ends with a newline; one command a line, the last mode
// line wins, a missing file means "answer":
//   answer          an info request gets an info reply (> 32 bytes)
//   silent          requests get no reply
//   badheader       requests get the info reply with type 0x44 instead of 0x49
//   challenge       a request without this run's challenge gets FF FF FF FF 41
//                   and the challenge; one carrying it gets the info reply
//   challengeonly   every request gets a challenge reply, never the info reply
//   exit <code>     the process ends at once with that exit code
//   commit <MiB>    holds that much committed memory, every page written, so
//                   that it counts as the process's PagefileUsage
//
// "standin_state.txt", rewritten whenever something changes, key=value:
//   mode=<mode word>  committed=<MiB>  requests=<info requests received>
//   challenges=<challenge replies sent>  infos=<info replies sent, the ones with
//   the wrong header too>
//
// Record and state are replaced whole (written aside, then renamed), so a
// reader sees either the old or the new text.
#include "support/windows_api.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/text_helpers.h"

namespace {

const char RecordFile[] = "standin_record.txt";
const char ControlFile[] = "standin_control.txt";
const char StateFile[] = "standin_state.txt";
constexpr DWORD ControlPollMs = 100;
constexpr uint32_t RequestSize = 25;
constexpr uint32_t ChallengeSize = 4;
constexpr uint32_t ControlSize = 1024;
constexpr uint32_t DatagramSize = 1400;

const uint8_t InfoRequest[RequestSize] = {0xFF, 0xFF, 0xFF, 0xFF, 'T', 'S', 'o', 'u', 'r',
                                          'c',  'e',  ' ',  'E',  'n', 'g', 'i', 'n', 'e',
                                          ' ',  'Q',  'u',  'e',  'r', 'y', 0x00};

enum Mode { Answer, Silent, BadHeader, Challenge, ChallengeOnly };
const char* const ModeNames[] = {"answer", "silent", "badheader", "challenge", "challengeonly"};

struct Options {
    const char* game = "";
    const char* ip = "127.0.0.1";
    const char* port = "27015";
    const char* maxPlayers = "0";
    const char* map = "";
};

struct Server {
    Options options;
    SOCKET socketHandle = INVALID_SOCKET;
    Mode mode = Answer;
    uint8_t challenge[ChallengeSize] = {};
    char control[ControlSize] = {};
    void* committed = nullptr;
    unsigned committedMib = 0;
    unsigned requests = 0;
    unsigned challenges = 0;
    unsigned infos = 0;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; ++i) {
        const char* value = argv[i + 1];
        if (strcmp(argv[i], "-game") == 0) {
            options.game = value;
        } else if (strcmp(argv[i], "-ip") == 0) {
            options.ip = value;
        } else if (strcmp(argv[i], "-port") == 0) {
            options.port = value;
        } else if (strcmp(argv[i], "-maxplayers") == 0) {
            options.maxPlayers = value;
        } else if (strcmp(argv[i], "+map") == 0) {
            options.map = value;
        }
    }
    return options;
}

// Writes text to a side file and renames it over path. A reader holding the
// file open makes the rename fail for a moment, so it is tried a few times.
void ReplaceFile(const char* path, const char* text) {
    char sidePath[MAX_PATH];
    snprintf(sidePath, sizeof sidePath, "%s.new", path);
    FILE* file = fopen(sidePath, "wb");
    if (file == nullptr) {
        return;
    }
    fputs(text, file);
    fclose(file);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (MoveFileExA(sidePath, path, MOVEFILE_REPLACE_EXISTING)) {
            return;
        }
        Sleep(10);
    }
}

void WriteRecord(const Server& server) {
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    char text[4096];
    snprintf(text, sizeof text,
             "pid=%lu\ncommandline=%s\ncwd=%s\npriorityclass=0x%08lX\naffinity=0x%llX\n"
             "game=%s\nip=%s\nport=%s\nmaxplayers=%s\nmap=%s\n",
             static_cast<unsigned long>(GetCurrentProcessId()), GetCommandLineA(), directory,
             static_cast<unsigned long>(GetPriorityClass(GetCurrentProcess())),
             static_cast<unsigned long long>(processMask), server.options.game, server.options.ip,
             server.options.port, server.options.maxPlayers, server.options.map);
    ReplaceFile(RecordFile, text);
}

void WriteState(const Server& server) {
    char text[512];
    snprintf(text, sizeof text, "mode=%s\ncommitted=%u\nrequests=%u\nchallenges=%u\ninfos=%u\n",
             ModeNames[server.mode], server.committedMib, server.requests, server.challenges,
             server.infos);
    ReplaceFile(StateFile, text);
}

// Replaces the held block by one of mib MiB, written page by page.
void CommitMemory(Server& server, unsigned mib) {
    if (server.committed != nullptr) {
        VirtualFree(server.committed, 0, MEM_RELEASE);
        server.committed = nullptr;
    }
    server.committedMib = 0;
    if (mib == 0) {
        return;
    }
    SIZE_T bytes = static_cast<SIZE_T>(mib) << 20;
    server.committed = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (server.committed != nullptr) {
        memset(server.committed, 0x5A, bytes);
        server.committedMib = mib;
    }
}

// Reads the control file into text; false when it is missing, unreadable or
// not yet complete (its last character is not a newline).
bool ReadControl(char* text, uint32_t size) {
    HANDLE file = CreateFileA(ControlFile, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD read = 0;
    BOOL ok = ReadFile(file, text, size - 1, &read, nullptr);
    CloseHandle(file);
    text[ok ? read : 0] = '\0';
    return ok && read > 0 && text[read - 1] == '\n';
}

// Takes the control file's commands when its text has changed.
void ApplyControl(Server& server) {
    char text[ControlSize];
    if (!ReadControl(text, sizeof text) || strcmp(text, server.control) == 0) {
        return;
    }
    CopyBounded(server.control, sizeof server.control, text);
    Mode mode = Answer;
    unsigned commitMib = server.committedMib;
    for (char* line = strtok(text, "\r\n"); line != nullptr; line = strtok(nullptr, "\r\n")) {
        char word[32] = {};
        long number = 0;
        int fields = sscanf(line, "%31s %ld", word, &number);
        if (fields < 1) {
            continue;
        }
        if (strcmp(word, "exit") == 0 && fields == 2) {
            ExitProcess(static_cast<UINT>(number));
        } else if (strcmp(word, "commit") == 0 && fields == 2) {
            commitMib = static_cast<unsigned>(number);
        }
        for (int m = Answer; m <= ChallengeOnly; ++m) {
            if (strcmp(word, ModeNames[m]) == 0) {
                mode = static_cast<Mode>(m);
            }
        }
    }
    server.mode = mode;
    if (commitMib != server.committedMib) {
        CommitMemory(server, commitMib);
    }
    WriteState(server);
}

void PutText(uint8_t* reply, uint32_t& length, const char* text) {
    length += CopyBounded(reinterpret_cast<char*>(reply + length), DatagramSize - length, text) + 1;
}

// The info reply: header, protocol 17, name, map, folder, game, app id 0,
// players, bots, dedicated Windows server, version, and the game port.
uint32_t BuildInfo(const Server& server, uint8_t typeByte, uint8_t* reply) {
    const uint8_t header[] = {0xFF, 0xFF, 0xFF, 0xFF, typeByte, 17};
    memcpy(reply, header, sizeof header);
    uint32_t length = sizeof header;
    char name[64];
    snprintf(name, sizeof name, "Stand-in server on port %s", server.options.port);
    PutText(reply, length, name);
    PutText(reply, length, server.options.map);
    PutText(reply, length, server.options.game);
    PutText(reply, length, "Stand-in");
    unsigned port = static_cast<unsigned>(atoi(server.options.port));
    const uint8_t middle[] = {
        0, 0, 0, static_cast<uint8_t>(atoi(server.options.maxPlayers)), 0, 'd', 'w', 0, 0};
    memcpy(reply + length, middle, sizeof middle);
    length += sizeof middle;
    PutText(reply, length, "1.0.0.0");
    const uint8_t tail[] = {0x80, static_cast<uint8_t>(port & 0xFF),
                            static_cast<uint8_t>(port >> 8)};
    memcpy(reply + length, tail, sizeof tail);
    return length + sizeof tail;
}

uint32_t BuildChallenge(const Server& server, uint8_t* reply) {
    const uint8_t header[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x41};
    memcpy(reply, header, sizeof header);
    memcpy(reply + sizeof header, server.challenge, ChallengeSize);
    return sizeof header + ChallengeSize;
}

void AnswerDatagram(Server& server) {
    uint8_t datagram[DatagramSize];
    sockaddr_in from;
    int fromLength = sizeof from;
    int received = recvfrom(server.socketHandle, reinterpret_cast<char*>(datagram), sizeof datagram,
                            0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < static_cast<int>(RequestSize) ||
        memcmp(datagram, InfoRequest, RequestSize) != 0) {
        return;
    }
    ++server.requests;
    bool challenged = received >= static_cast<int>(RequestSize + ChallengeSize) &&
                      memcmp(datagram + RequestSize, server.challenge, ChallengeSize) == 0;
    uint8_t reply[DatagramSize];
    uint32_t length = 0;
    switch (server.mode) {
    case Answer:
        length = BuildInfo(server, 0x49, reply);
        break;
    case Silent:
        break;
    case BadHeader:
        length = BuildInfo(server, 0x44, reply);
        break;
    case Challenge:
        length = challenged ? BuildInfo(server, 0x49, reply) : BuildChallenge(server, reply);
        break;
    case ChallengeOnly:
        length = BuildChallenge(server, reply);
        break;
    }
    if (length != 0) {
        sendto(server.socketHandle, reinterpret_cast<const char*>(reply), static_cast<int>(length),
               0, reinterpret_cast<const sockaddr*>(&from), fromLength);
        ++(reply[4] == 0x41 ? server.challenges : server.infos);
    }
    WriteState(server);
}

bool OpenSocket(Server& server) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(atoi(server.options.port)));
    address.sin_addr.s_addr = inet_addr(server.options.ip);
    server.socketHandle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return server.socketHandle != INVALID_SOCKET &&
           bind(server.socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
               SOCKET_ERROR;
}

} // namespace

int main(int argc, char** argv) {
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        return 2;
    }
    static Server server;
    server.options = ParseOptions(argc, argv);
    uint32_t seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
    for (uint32_t i = 0; i < ChallengeSize; ++i) {
        server.challenge[i] = static_cast<uint8_t>((seed >> (8 * i)) | 0x01);
    }
    if (!OpenSocket(server)) {
        return 2;
    }
    ApplyControl(server);
    WriteState(server);
    WriteRecord(server);

    DWORD lastControlMs = GetTickCount();
    for (;;) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(server.socketHandle, &readSet);
        timeval timeout = {0, static_cast<long>(ControlPollMs) * 1000};
        if (select(0, &readSet, nullptr, nullptr, &timeout) > 0) {
            AnswerDatagram(server);
        }
        if (GetTickCount() - lastControlMs >= ControlPollMs) {
            ApplyControl(server);
            lastControlMs = GetTickCount();
        }
    }
}
