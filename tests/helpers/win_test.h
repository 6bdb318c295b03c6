// What the tests that call Windows in-process share: a folder of their own
// under build/ (kept, and named, when the test fails), the stand-in copied in,
// files and records, a free port, and the process's handle count.
#pragma once

#include "support/windows_api.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

inline std::string ReadText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The value of the last "key=" line of a stand-in's record: its latest start.
inline std::string RecordValue(const std::string& record, const std::string& key) {
    std::string text = "\n" + ReadText(record);
    size_t at = text.rfind("\n" + key + "=");
    return at == std::string::npos ? "" : text.substr(at + key.size() + 2,
                                                      text.find('\n', at + 1) - at - key.size() - 2);
}

// Polls done every 10 ms for up to 10 s; whether it came true.
template <typename Done> bool WaitUntil(Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        Sleep(10);
    }
    return done();
}

// Runs body on a thread of its own and returns what it returned.
inline DWORD OnAnotherThread(LPTHREAD_START_ROUTINE body, LPVOID argument = nullptr) {
    HANDLE thread = CreateThread(nullptr, 0, body, argument, 0, nullptr);
    DWORD result = 0;
    WaitForSingleObject(thread, INFINITE);
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
}

// Whether a UDP port of 127.0.0.1 can be bound now.
inline bool Bindable(int port) {
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(probe);
    return bound;
}

// A UDP port of 127.0.0.1 that nobody holds now, below the range the system
// hands out to sockets of its own choosing (the queries' among them).
// Runs beside each other (two checkouts at once) start apart: Wine's process
// ids repeat from prefix to prefix, the folder of the run does not.
inline std::string FreePort() {
    static int next = 20000 + static_cast<int>(std::hash<std::string>()(CORVANE_RUNS_DIR) % 5000);
    while (!Bindable(++next)) {
    }
    return std::to_string(next);
}

// Handles this process holds, from the system's handle table
// (NtQuerySystemInformation class 64): GetProcessHandleCount reads 0 under Wine.
inline size_t CountOwnHandles() {
    struct Entry {
        PVOID object;
        ULONG_PTR processId, handle;
        ULONG access;
        USHORT backTrace, type;
        ULONG attributes, reserved;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<ULONG_PTR> table(1 << 18);
    while (query(64, table.data(), static_cast<ULONG>(table.size() * sizeof table[0]), nullptr) ==
           static_cast<LONG>(0xC0000004)) {
        table.resize(table.size() * 2);
    }
    const Entry* entries = reinterpret_cast<const Entry*>(&table[2]);
    return static_cast<size_t>(std::count_if(entries, entries + table[0], [](const Entry& entry) {
        return entry.processId == GetCurrentProcessId();
    }));
}

// A test with a folder of its own, test-runs\<suite>.<test>, that is also the
// current directory (corvane.log lands there). It is removed when the test
// passes and kept, with its path printed, when it fails.
class WineTest : public ::testing::Test {
  public:
    void SetUp() override {
        WSADATA socketLayer;
        WSAStartup(MAKEWORD(2, 2), &socketLayer);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::string(CORVANE_RUNS_DIR "/") + info->test_suite_name() + "." + info->name();
        std::replace(dir.begin() + sizeof CORVANE_RUNS_DIR, dir.end(), '/', '.');
        std::replace(dir.begin(), dir.end(), '/', '\\');
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        SetCurrentDirectoryA(dir.c_str());
    }

    void TearDown() override {
        SetCurrentDirectoryA(CORVANE_RUNS_DIR);
        if (HasFailure()) {
            printf("kept for the failure: %s\n", dir.c_str());
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
        WSACleanup();
    }

    // Copies the stand-in to dir\sub\name (srcds.exe or steamcmd.exe); returns that folder.
    std::string Place(const std::string& sub, const char* name) {
        std::string folder = dir + "\\" + sub;
        std::filesystem::create_directories(folder);
        EXPECT_TRUE(CopyFileA(CORVANE_STANDIN_EXE, (folder + "\\" + name).c_str(), FALSE));
        return folder;
    }

    std::string dir;
};
