#include "support/windows_api.h"

#include <atomic>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <thread>

#include "helpers/srcds_standin/standin_client.h"
#include "monitor/a2s_captures.h"
#include "monitor/server_query.h"

namespace {

const uint32_t QueryTimeoutMs = 250;

Bytes Header(uint8_t type, size_t length) {
    Bytes reply(length, 0x20);
    const uint8_t header[] = {0xFF, 0xFF, 0xFF, 0xFF, type};
    for (size_t i = 0; i < length && i < sizeof header; ++i) {
        reply[i] = header[i];
    }
    return reply;
}

// A server of scripted bytes on 127.0.0.1: the n-th request it receives is
// answered with the n-th reply of the script (an empty one is not sent), from
// its own port or, with fromOtherPort, from a second socket.
class ScriptedServer {
  public:
    ScriptedServer(std::vector<Bytes> script, bool fromOtherPort)
        : script_(std::move(script)), fromOtherPort_(fromOtherPort) {
        listener_ = OpenLoopbackSocket();
        other_ = OpenLoopbackSocket();
        sockaddr_in address;
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        snprintf(port_, sizeof port_, "%u", static_cast<unsigned>(ntohs(address.sin_port)));
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        closesocket(listener_);
        closesocket(other_);
    }
    const char* Port() const { return port_; }
    // The requests received so far; read after the query has returned.
    std::vector<Bytes> Requests() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return requests_;
    }

  private:
    static SOCKET OpenLoopbackSocket() {
        SOCKET socketHandle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, bind(socketHandle, reinterpret_cast<sockaddr*>(&address), sizeof address));
        return socketHandle;
    }
    void Serve() {
        while (!stop_) {
            fd_set readSet;
            FD_ZERO(&readSet);
            FD_SET(listener_, &readSet);
            timeval timeout = {0, 20000};
            if (select(0, &readSet, nullptr, nullptr, &timeout) <= 0) {
                continue;
            }
            uint8_t datagram[1500];
            sockaddr_in from;
            int fromLength = sizeof from;
            int received = recvfrom(listener_, reinterpret_cast<char*>(datagram), sizeof datagram,
                                    0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (received < 0) {
                continue;
            }
            size_t index = requests_.size();
            requests_.push_back(Bytes(datagram, datagram + received));
            if (index < script_.size() && !script_[index].empty()) {
                sendto(fromOtherPort_ ? other_ : listener_,
                       reinterpret_cast<const char*>(script_[index].data()),
                       static_cast<int>(script_[index].size()), 0,
                       reinterpret_cast<const sockaddr*>(&from), fromLength);
            }
        }
    }

    std::vector<Bytes> script_;
    bool fromOtherPort_;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET other_ = INVALID_SOCKET;
    char port_[8] = {};
    std::atomic<bool> stop_{false};
    std::vector<Bytes> requests_;
    std::thread thread_;
};

class ServerQuery : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA wsaData;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsaData));
    }
    static void TearDownTestSuite() { WSACleanup(); }
};

} // namespace

// The stand-in is switched through its modes; its state file tells how many
// requests it saw and what it sent, so each query's exchange is known.
TEST_F(ServerQuery, JudgesEachModeOfTheStandin) {
    char directory[MAX_PATH];
    ASSERT_TRUE(MakeServerDirectory(directory, sizeof directory));
    char port[8];
    FreeUdpPort(port, sizeof port);
    PROCESS_INFORMATION process;
    ASSERT_TRUE(StartStandin(directory, port, &process));

    struct Case {
        const char* mode;
        int expected;
        const char* requests;
        const char* challenges;
        const char* infos;
    };
    // Counts are running totals over the cases.
    const Case cases[] = {
        {"answer", 1, "1", "0", "1"},
        {"challenge", 1, "3", "1", "2"},     // plain, challenged request
        {"challengeonly", 0, "5", "3", "2"}, // one re-send, then given up
        {"silent", 0, "6", "3", "2"},
        {"badheader", 0, "7", "3", "3"},
        {"answer", 1, "8", "3", "4"},
    };
    for (const Case& c : cases) {
        char control[32];
        snprintf(control, sizeof control, "%s\n", c.mode);
        ASSERT_TRUE(WriteServerFile(directory, "standin_control.txt", control));
        ASSERT_TRUE(WaitStandinValue(directory, "standin_state.txt", "mode", c.mode, 5000));

        DWORD startMs = GetTickCount();
        EXPECT_EQ(c.expected, QueryServer("127.0.0.1", port, QueryTimeoutMs)) << c.mode;
        DWORD elapsedMs = GetTickCount() - startMs;
        if (strcmp(c.mode, "silent") == 0) {
            // Silence is only judged once the whole budget has passed.
            EXPECT_GE(elapsedMs, QueryTimeoutMs - 20) << c.mode;
        }
        EXPECT_TRUE(WaitStandinValue(directory, "standin_state.txt", "requests", c.requests, 2000))
            << c.mode;
        char value[16] = {};
        ReadStandinValue(directory, "standin_state.txt", "challenges", value, sizeof value);
        EXPECT_STREQ(c.challenges, value) << c.mode;
        ReadStandinValue(directory, "standin_state.txt", "infos", value, sizeof value);
        EXPECT_STREQ(c.infos, value) << c.mode;
    }
    EndStandin(&process);
    RemoveServerDirectory(directory);
}

TEST_F(ServerQuery, JudgesScriptedReplies) {
    Bytes challenge = {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x11, 0x22, 0x33, 0x44};
    struct Case {
        const char* what;
        std::vector<Bytes> script;
        int expected;
        size_t requests;
    };
    const Case cases[] = {
        {"4-byte header", {Header(0x49, 4)}, 0, 1},
        {"5-byte reply", {Header(0x49, 5)}, 1, 1},
        {"100-byte reply, cut to 32", {Header(0x49, 100)}, 1, 1},
        {"100-byte reply, type 0x44", {Header(0x44, 100)}, 0, 1},
        {"100-byte reply, type 0x6D", {Header(0x6D, 100)}, 0, 1},
        {"8-byte challenge", {Bytes(challenge.begin(), challenge.end() - 1)}, 0, 1},
        {"challenge, then info", {challenge, Header(0x49, 60)}, 1, 2},
        {"challenge, then silence", {challenge}, 0, 2},
        {"challenge, then short reply", {challenge, Header(0x49, 4)}, 0, 2},
        {"challenge twice", {challenge, challenge, Header(0x49, 60)}, 0, 2},
    };
    for (const Case& c : cases) {
        ScriptedServer server(c.script, false);
        EXPECT_EQ(c.expected, QueryServer("127.0.0.1", server.Port(), QueryTimeoutMs)) << c.what;
        std::vector<Bytes> requests = server.Requests();
        ASSERT_EQ(c.requests, requests.size()) << c.what;
        EXPECT_EQ(ReadCapture("info_request_plain.hex"), requests[0]) << c.what;
        if (requests.size() > 1) {
            Bytes expected = ReadCapture("info_request_plain.hex");
            expected.insert(expected.end(), challenge.begin() + 5, challenge.end());
            EXPECT_EQ(expected, requests[1]) << c.what;
        }
    }
}

TEST_F(ServerQuery, CompletesTheCapturedChallengeExchange) {
    ScriptedServer server({ReadCapture("tf2_challenge_reply_2021.hex"),
                           ReadCapture("tf2_info_reply_after_challenge_2021.hex")},
                          false);
    EXPECT_EQ(1, QueryServer("localhost", server.Port(), QueryTimeoutMs));
    std::vector<Bytes> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(ReadCapture("info_request_plain.hex"), requests[0]);
    EXPECT_EQ(ReadCapture("tf2_info_request_with_challenge_2021.hex"), requests[1]);
}

TEST_F(ServerQuery, TakesNoReplyFromAnotherPort) {
    ScriptedServer server({Header(0x49, 60)}, true);
    EXPECT_EQ(0, QueryServer("127.0.0.1", server.Port(), QueryTimeoutMs));
    EXPECT_EQ(1u, server.Requests().size());
}

TEST_F(ServerQuery, NothingListeningIsNoReply) {
    char port[8];
    FreeUdpPort(port, sizeof port);
    EXPECT_EQ(0, QueryServer("127.0.0.1", port, QueryTimeoutMs));
}

TEST_F(ServerQuery, UnresolvableHostIsALocalFailure) {
    EXPECT_EQ(-1, QueryServer("no-such-host.invalid", "27015", QueryTimeoutMs));
    EXPECT_EQ(-1, QueryServer(nullptr, "27015", QueryTimeoutMs));
}
