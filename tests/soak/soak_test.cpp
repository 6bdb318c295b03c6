// Soak: sixteen stand-in servers under corvane.exe as the real service, with
// faults injected at random but reproducibly from a seed: exits, silence,
// wrong headers, memory over the limit, a missing srcds.exe, update requests
// with tools that succeed, fail or update themselves, and the event log held
// by another process. Each server has at most one fault at a time and answers
// again before its next. CORVANE_SOAK_SEED picks the seed (printed either way),
// CORVANE_SOAK_SECONDS the length of the fault window.
#include "support/windows_api.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <time.h>
#include <vector>

#include "soak/service_fleet.h"

namespace {

using namespace soak;

constexpr size_t ServerCount = 16;
const char MaxMemoryMib[] = "64";
const char BloatCommand[] = "commit 96\n";
constexpr unsigned DefaultSeconds = 160;
constexpr DWORD PollMs = 100;
constexpr ULONGLONG SampleEveryMs = 3000;
// Gap between one fault's recovery and the server's next fault.
constexpr unsigned MinGapMs = 2000;
constexpr unsigned MaxGapMs = 12000;
// How long srcds.exe stays away after the first failed launch.
constexpr unsigned MaxExeAwayMs = 12000;
constexpr unsigned MaxUpdatesInFlight = 3;
// Generous bounds for each phase of a fault: checks come every 5 s, silence
// takes four of them, a relaunch follows 5 s after a verdict, and an update
// may queue behind others for the update mutex (retried every 10 s).
constexpr ULONGLONG EndWaitMs = 20000;
constexpr ULONGLONG VerdictWaitMs = 60000;
constexpr ULONGLONG LaunchFailureWaitMs = 40000;
constexpr ULONGLONG LaunchWaitMs = 60000;
constexpr ULONGLONG UpdateLaunchWaitMs = 400000;
constexpr ULONGLONG AnswerWaitMs = 30000;
constexpr ULONGLONG LineGraceMs = 3000;
constexpr ULONGLONG DrainWaitMs = 600000;
// Growth allowed between the medians of the first and the last quarter.
constexpr size_t HandleSlack = 10;
constexpr uint64_t PrivateSlackBytes = 1 << 20;
constexpr DWORD StopLimitMs = 2000;

enum Kind { Exit, Silence, BadHeader, Bloat, LaunchFailure, Update, KindCount };
const char* const KindNames[KindCount] = {"exit",  "silence",       "badheader",
                                          "bloat", "launchfailure", "update"};
const unsigned KindWeights[KindCount] = {3, 2, 1, 2, 1, 3};

// How the shared tool behaves while a group of update requests is served;
// the run modes are taken in turn by the runs of the group, the last repeating.
enum ToolMode { ToolSuccess, ToolRetry, ToolGiveUp, ToolSelfUpdate, ToolModeCount };
const char* const ToolModeNames[ToolModeCount] = {"success", "retry", "giveup", "selfupdate"};
const char* const ToolControls[ToolModeCount] = {
    "check=uptodate\nruns=success\n",
    "check=uptodate\nruns=fail,success\n",
    "check=uptodate\nruns=fail,crash,fail,success\n",
    "check=selfupdate\nruns=success\n",
};

// The last is 0xC0000005, as a crash ends.
const long ExitCodes[] = {0, 1, 3, 42, 255, -1073741819};

enum Phase {
    Idle,
    AwaitEnd,
    AwaitVerdict,
    AwaitLaunchFailure,
    ExeAway,
    AwaitLaunch,
    AwaitAnswer,
    PortLost,
    Broken
};
const char* const PhaseNames[] = {
    "idle",     "await end",    "await verdict", "await launch failure",
    "exe away", "await launch", "await answer",  "port lost",
    "broken"};

struct ServerRun {
    FleetServer* server = nullptr;
    std::mt19937 random;
    Phase phase = Idle;
    Kind kind = Exit;
    ULONGLONG phaseSince = 0;
    ULONGLONG nextAt = 0;
    DWORD oldPid = 0;
    ULONGLONG answeredAt = 0;
    size_t launches = 0;
    size_t launchesAtInject = 0;
    // Messages naming this server since the fault was injected.
    std::vector<std::string> lines;
};

struct Sample {
    ULONGLONG at;
    ProcessFigures figures;
};

// Milliseconds since some fixed moment (the target's headers lack GetTickCount64).
ULONGLONG NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<ULONGLONG>(counter.QuadPart / (frequency.QuadPart / 1000));
}

unsigned Uniform(std::mt19937& random, unsigned low, unsigned high) {
    return std::uniform_int_distribution<unsigned>(low, high)(random);
}

// The server name in a message: the text between its first two double quotes.
std::string NamedServer(const std::string& message) {
    size_t open = message.find('"');
    size_t close = open == std::string::npos ? open : message.find('"', open + 1);
    return close == std::string::npos ? std::string() : message.substr(open + 1, close - open - 1);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "\n    " + line;
    }
    return text;
}

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* seedText = getenv("CORVANE_SOAK_SEED");
        seed = seedText != nullptr ? strtoull(seedText, nullptr, 0)
                                   : static_cast<unsigned long long>(time(nullptr));
        const char* secondsText = getenv("CORVANE_SOAK_SECONDS");
        seconds = secondsText != nullptr ? static_cast<unsigned>(strtoul(secondsText, nullptr, 10))
                                         : DefaultSeconds;
        printf("soak seed %llu, %u s of faults (CORVANE_SOAK_SEED=%llu CORVANE_SOAK_SECONDS=%u)\n",
               seed, seconds, seed, seconds);
        fflush(stdout);
        global.seed(static_cast<std::mt19937::result_type>(seed));
        ASSERT_TRUE(fleet.SetUp(CORVANE_EXE, ServerCount, MaxMemoryMib)) << fleet.error;
        tail.reset(new LogTail(fleet.LogPath()));
        runs.resize(ServerCount);
        for (size_t i = 0; i < ServerCount; ++i) {
            runs[i].server = &fleet.servers[i];
            runs[i].random.seed(static_cast<std::mt19937::result_type>(seed * 131 + i + 1));
            byName[fleet.servers[i].name] = i;
        }
    }

    void TearDown() override {
        if (holder) {
            holder.reset();
        }
        fleet.TearDown();
    }

    std::string ServerFile(const ServerRun& run, const char* name) const {
        return run.server->path + "\\" + name;
    }

    void Control(const ServerRun& run, const std::string& text) {
        EXPECT_TRUE(WriteServerFile(run.server->path.c_str(), "standin_control.txt", text.c_str()))
            << run.server->name;
    }

    void Problem(ServerRun& run, const std::string& text) {
        ADD_FAILURE() << run.server->name << ": " << KindNames[run.kind] << " fault, "
                      << PhaseNames[run.phase] << ": " << text
                      << "; its lines since the fault:" << Joined(run.lines);
        if (run.kind == Update && run.phase != Idle) {
            --updatesInFlight;
        }
        run.phase = Broken;
    }

    void Enter(ServerRun& run, Phase phase, ULONGLONG now) {
        run.phase = phase;
        run.phaseSince = now;
    }

    // Takes the new lines of the event log and hands each to its server.
    void ReadLog() {
        std::vector<std::string> lines;
        tail->Poll(lines);
        for (const std::string& line : lines) {
            if (line.compare(0, 9, "[Update] ") == 0 &&
                line.compare(0, 22, "[Update] Launched for ") != 0) {
                continue; // checked against the tool's records at the end
            }
            auto found = byName.find(NamedServer(line));
            if (found == byName.end()) {
                if (line != "Corvane v1.10 started" && line != "Corvane v1.10 stopped" &&
                    !line.empty()) {
                    unexpected.push_back(line);
                }
                continue;
            }
            ServerRun& run = runs[found->second];
            if (stopping && line == Quoted(run.server->name) + " has been terminated") {
                ++stopLines[found->second];
                continue;
            }
            if (line == Quoted(run.server->name) + " launched successfully") {
                ++run.launches;
            }
            if (run.phase == PortLost) {
                ++lostPortLines;
            } else if (run.phase == Idle && !startingUp) {
                unexpected.push_back(line);
            } else {
                run.lines.push_back(line);
            }
        }
    }

    void Inject(ServerRun& run, ULONGLONG now) {
        unsigned total = 0;
        for (unsigned weight : KindWeights) {
            total += weight;
        }
        unsigned pick = Uniform(run.random, 0, total - 1);
        Kind kind = Exit;
        for (int k = 0; k < KindCount; ++k) {
            if (pick < KindWeights[k]) {
                kind = static_cast<Kind>(k);
                break;
            }
            pick -= KindWeights[k];
        }
        long code = ExitCodes[Uniform(run.random, 0, sizeof ExitCodes / sizeof ExitCodes[0] - 1)];
        if (kind == Update && updatesInFlight >= MaxUpdatesInFlight) {
            kind = Exit;
        }
        run.kind = kind;
        run.oldPid = ServiceFleet::StandinPid(*run.server);
        run.launchesAtInject = run.launches;
        run.lines.clear();
        ++faults[kind];
        std::string exitCommand = "exit " + std::to_string(code) + "\n";
        switch (kind) {
        case Exit:
        case LaunchFailure:
            Control(run, exitCommand);
            Enter(run, AwaitEnd, now);
            break;
        case Silence:
            Control(run, "silent\n");
            Enter(run, AwaitVerdict, now);
            break;
        case BadHeader:
            Control(run, "badheader\n");
            Enter(run, AwaitVerdict, now);
            break;
        case Bloat:
            Control(run, BloatCommand);
            Enter(run, AwaitVerdict, now);
            break;
        case Update: {
            if (updatesInFlight == 0) {
                // No tool runs now: a new group starts with its own behaviour and count.
                toolMode = static_cast<ToolMode>(Uniform(global, 0, ToolModeCount - 1));
                ++toolModes[toolMode];
                EXPECT_TRUE(WriteToolControl(fleet.tools, ToolControls[toolMode]));
                DeleteFileA((fleet.tools + "\\steamcmd_counts.txt").c_str());
            }
            ++updatesInFlight;
            FILE* request = fopen(ServerFile(run, "mod\\update_request.txt").c_str(), "wb");
            EXPECT_TRUE(request != nullptr && fclose(request) == 0) << run.server->name;
            Control(run, exitCommand);
            Enter(run, AwaitEnd, now);
            break;
        }
        case KindCount:
            break;
        }
    }

    // The lines seen must be the lines expected, in order. A line may be
    // missing, since a writer that waits too long for the log mutex drops its
    // line; such drops are counted and bounded at the end. A wrong, extra or
    // misplaced line fails at once.
    void Compare(const std::vector<std::string>& expected, const std::vector<std::string>& seen,
                 const std::string& what) {
        expectedLines += expected.size();
        size_t at = 0;
        for (const std::string& line : expected) {
            if (at < seen.size() && seen[at] == line) {
                ++at;
            }
        }
        if (at == seen.size()) {
            droppedLines += expected.size() - seen.size();
            if (expected.size() != seen.size()) {
                drops.push_back(what + ":" + Joined(seen));
            }
        } else {
            ADD_FAILURE() << what << ": expected" << Joined(expected) << "\n  seen" << Joined(seen);
        }
    }

    bool SawLine(const ServerRun& run, const std::string& line) const {
        for (const std::string& seen : run.lines) {
            if (seen == line) {
                return true;
            }
        }
        return false;
    }

    // The lines that must name the server between the fault and its relaunch.
    void CheckFaultLines(ServerRun& run) {
        const std::string name = Quoted(run.server->name);
        const std::string launched = name + " launched successfully";
        std::vector<std::string> expected;
        size_t middle = 0;
        for (const std::string& line : run.lines) {
            if (line == "CreateServerProcess failed for " + name + ", retry in 10s" ||
                line == "[Update] Launched for " + name) {
                ++middle;
            }
        }
        switch (run.kind) {
        case Exit:
            expected = {name + " has terminated", launched};
            break;
        case Silence:
        case BadHeader:
            expected = {name + " was unresponsive and has been terminated", launched};
            break;
        case Bloat:
            expected = {name + " exceeded memory limit and has been terminated", launched};
            break;
        case LaunchFailure:
            EXPECT_LE(1u, middle) << run.server->name;
            expected = {name + " has terminated"};
            expected.insert(expected.end(), middle,
                            "CreateServerProcess failed for " + name + ", retry in 10s");
            expected.push_back(launched);
            break;
        case Update:
            EXPECT_LE(1u, middle) << run.server->name;
            EXPECT_GE(3u, middle) << run.server->name;
            expected = {name + " has terminated", name + " requested an update"};
            expected.insert(expected.end(), middle, "[Update] Launched for " + name);
            expected.push_back(launched);
            break;
        case KindCount:
            break;
        }
        Compare(expected, run.lines,
                run.server->name + " after a " + KindNames[run.kind] + " fault");
    }

    void Step(ServerRun& run, ULONGLONG now) {
        const std::string name = Quoted(run.server->name);
        ULONGLONG inPhase = now - run.phaseSince;
        switch (run.phase) {
        case Idle:
            if (now >= run.nextAt && !stopping && hold == NoHold) {
                Inject(run, now);
            }
            break;
        case AwaitEnd:
            if (ProcessGone(run.oldPid, 0)) {
                Control(run, "answer\n");
                if (run.kind == LaunchFailure &&
                    !MoveFileA(ServerFile(run, "srcds.exe").c_str(),
                               ServerFile(run, "srcds.away").c_str())) {
                    // Retried next pass; the relaunch is at least 5 s away.
                    break;
                }
                Enter(run, run.kind == LaunchFailure ? AwaitLaunchFailure : AwaitLaunch, now);
            } else if (inPhase > EndWaitMs) {
                Problem(run, "the server did not end");
            }
            break;
        case AwaitVerdict:
            // The service terminates the server with its verdict; the line is
            // checked once the server is back, since a busy log may drop it.
            if (ProcessGone(run.oldPid, 0)) {
                Control(run, "answer\n");
                Enter(run, AwaitLaunch, now);
            } else if (inPhase > VerdictWaitMs) {
                Problem(run, "not terminated");
            }
            break;
        case AwaitLaunchFailure:
            // Failed launches are retried every 10 s, so one such line comes through.
            if (SawLine(run, "CreateServerProcess failed for " + name + ", retry in 10s")) {
                run.nextAt = now + Uniform(run.random, 0, MaxExeAwayMs);
                Enter(run, ExeAway, now);
            } else if (inPhase > LaunchFailureWaitMs) {
                Problem(run, "no failed launch");
            }
            break;
        case ExeAway:
            if (now >= run.nextAt) {
                if (MoveFileA(ServerFile(run, "srcds.away").c_str(),
                              ServerFile(run, "srcds.exe").c_str())) {
                    Enter(run, AwaitLaunch, now);
                } else if (inPhase > EndWaitMs) {
                    Problem(run, "srcds.exe could not be put back");
                }
            }
            break;
        case AwaitLaunch: {
            DWORD pid = ServiceFleet::StandinPid(*run.server);
            if (run.launches > run.launchesAtInject || (pid != 0 && pid != run.oldPid)) {
                run.answeredAt = 0;
                Enter(run, AwaitAnswer, now);
            } else if (inPhase > (run.kind == Update ? UpdateLaunchWaitMs : LaunchWaitMs)) {
                Problem(run, "not launched again");
            }
            break;
        }
        case AwaitAnswer: {
            DWORD pid = ServiceFleet::StandinPid(*run.server);
            if (run.answeredAt == 0 && pid != 0 && pid != run.oldPid &&
                ServiceFleet::Answers(*run.server)) {
                run.answeredAt = now;
                standinPids.insert(pid);
            }
            // The launch line normally comes first; a little grace for a writer
            // that waited for the log mutex.
            if (run.answeredAt != 0 &&
                (run.launches > run.launchesAtInject || now - run.answeredAt > LineGraceMs)) {
                CheckFaultLines(run);
                if (run.kind == Update) {
                    --updatesInFlight;
                    EXPECT_EQ(
                        INVALID_FILE_ATTRIBUTES,
                        GetFileAttributesA(ServerFile(run, "mod\\update_request.txt").c_str()))
                        << run.server->name;
                }
                ++recovered[run.kind];
                run.lines.clear();
                run.nextAt = now + Uniform(run.random, MinGapMs, MaxGapMs);
                Enter(run, Idle, now);
            } else if (run.answeredAt == 0 && inPhase > AnswerWaitMs) {
                if (PortHeldOutsideFleet(run)) {
                    lostPorts.push_back(run.server->name + " port " + run.server->port +
                                        " after a " + KindNames[run.kind] + " fault");
                    if (run.kind == Update) {
                        --updatesInFlight;
                    }
                    run.phase = PortLost;
                } else {
                    Problem(run, "does not answer after its relaunch");
                }
            }
            break;
        }
        case PortLost:
        case Broken:
            break;
        }
    }

    // Wine now and then keeps a terminated stand-in's UDP socket alive in its
    // wineserver, with no process left to own it; every later stand-in on that
    // port then fails to bind and exits at once, which the service rightly
    // meets with relaunch after relaunch. Such a server is left out from here
    // on, and only when no srcds.exe of its directory runs while its port
    // cannot be bound: a second stand-in of the service's own making would run.
    bool PortHeldOutsideFleet(const ServerRun& run) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::vector<std::string> images;
            fleet.ProcessesUnderRoot(&images);
            bool serverRuns = false;
            for (const std::string& image : images) {
                serverRuns = serverRuns || StartsWithNoCase(image, run.server->path + "\\");
            }
            SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<u_short>(atoi(run.server->port)));
            bool held = probe != INVALID_SOCKET &&
                        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                        WSAGetLastError() == WSAEADDRINUSE;
            if (probe != INVALID_SOCKET) {
                closesocket(probe);
            }
            if (!serverRuns && held) {
                return true;
            }
            Sleep(200);
        }
        return false;
    }

    bool AllIdle() const {
        for (const ServerRun& run : runs) {
            if (run.phase != Idle && run.phase != Broken && run.phase != PortLost) {
                return false;
            }
        }
        return true;
    }

    // The event log held by another process with no sharing while one server
    // is made to exit: its verdict and relaunch lines are dropped, yet it is
    // relaunched and answers, and the log has not grown meanwhile.
    enum HoldPhase { NoHold, HoldWanted, HoldAwaitEnd, HoldAwaitRelaunch };
    void StepHold(ULONGLONG now) {
        switch (hold) {
        case NoHold:
            if (!stopping && now >= holdAt) {
                hold = HoldWanted;
                holdSince = now;
            }
            break;
        case HoldWanted: {
            if (!AllIdle()) {
                if (now - holdSince > DrainWaitMs) {
                    ADD_FAILURE() << "faults did not settle for the log hold";
                    hold = NoHold;
                    holdAt = ~0ull;
                }
                break;
            }
            ReadLog();
            holder.reset(new ChildProcess);
            std::string line;
            if (!holder->Start("\"" + std::string(CORVANE_TEST_CHILD_EXE) + "\" hold \"" +
                               fleet.LogPath() + "\"") ||
                (line = holder->ReadLine()).compare(0, 4, "held") != 0) {
                // The service had the file open at that moment; try again.
                holder.reset();
                break;
            }
            holdVictim = Uniform(global, 0, ServerCount - 1);
            while (runs[holdVictim].phase != Idle) {
                holdVictim = (holdVictim + 1) % ServerCount;
            }
            ServerRun& victim = runs[holdVictim];
            holdSize = tail->Size();
            victim.oldPid = ServiceFleet::StandinPid(*victim.server);
            Control(victim, "exit 5\n");
            hold = HoldAwaitEnd;
            holdSince = now;
            break;
        }
        case HoldAwaitEnd: {
            ServerRun& victim = runs[holdVictim];
            if (ProcessGone(victim.oldPid, 0)) {
                Control(victim, "answer\n");
                hold = HoldAwaitRelaunch;
            } else if (now - holdSince > EndWaitMs) {
                ADD_FAILURE() << victim.server->name << " did not end under the log hold";
                hold = HoldAwaitRelaunch;
            }
            break;
        }
        case HoldAwaitRelaunch: {
            ServerRun& victim = runs[holdVictim];
            DWORD pid = ServiceFleet::StandinPid(*victim.server);
            // The record is written after the launch line was due, so both are behind us.
            bool relaunched = pid != 0 && pid != victim.oldPid;
            if (!relaunched && now - holdSince < LaunchWaitMs) {
                break;
            }
            holder->CloseStdin();
            EXPECT_EQ(0u, holder->WaitForExit(10000));
            holder.reset();
            ULONGLONG heldMs = now - holdSince;
            holdMs.push_back(heldMs);
            EXPECT_TRUE(relaunched) << victim.server->name << " not relaunched under the log hold";
            if (relaunched) {
                standinPids.insert(pid);
                EXPECT_TRUE(ServiceFleet::Answers(*victim.server)) << victim.server->name;
            }
            // Nothing else was in flight, so nothing may have reached the file
            // meanwhile; a line about the victim read later counts as unexpected.
            WIN32_FILE_ATTRIBUTE_DATA attributes = {};
            EXPECT_TRUE(
                GetFileAttributesExA(fleet.LogPath().c_str(), GetFileExInfoStandard, &attributes));
            EXPECT_EQ(holdSize, (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) |
                                    attributes.nFileSizeLow);
            ++holds;
            hold = NoHold;
            holdAt = now + 1000ull * Uniform(global, 150, 300);
            break;
        }
        }
    }

    unsigned long long seed = 0;
    unsigned seconds = 0;
    std::mt19937 global;
    ServiceFleet fleet;
    std::unique_ptr<LogTail> tail;
    std::vector<ServerRun> runs;
    std::map<std::string, size_t> byName;
    std::vector<std::string> unexpected;
    std::set<DWORD> standinPids;
    size_t stopLines[ServerCount] = {};
    unsigned faults[KindCount] = {};
    unsigned recovered[KindCount] = {};
    unsigned toolModes[ToolModeCount] = {};
    ToolMode toolMode = ToolSuccess;
    unsigned updatesInFlight = 0;
    size_t expectedLines = 0;
    size_t droppedLines = 0;
    std::vector<std::string> lostPorts;
    size_t lostPortLines = 0;
    std::vector<std::string> drops;
    bool stopping = false;
    bool startingUp = true;
    HoldPhase hold = NoHold;
    ULONGLONG holdAt = ~0ull;
    ULONGLONG holdSince = 0;
    size_t holdVictim = 0;
    uint64_t holdSize = 0;
    std::vector<ULONGLONG> holdMs;
    unsigned holds = 0;
    std::unique_ptr<ChildProcess> holder;
};

TEST_F(Soak, FleetRecoversFromEveryInjectedFault) {
    ASSERT_TRUE(fleet.Start()) << fleet.error;
    // The whole fleet up and answering first.
    ULONGLONG begin = NowMs();
    for (bool allUp = false; !allUp;) {
        ASSERT_LT(NowMs() - begin, 120000u) << Joined(tail->All());
        ReadLog();
        allUp = true;
        for (ServerRun& run : runs) {
            DWORD pid = ServiceFleet::StandinPid(*run.server);
            if (pid == 0 || !ServiceFleet::Answers(*run.server)) {
                allUp = false;
            } else {
                standinPids.insert(pid);
            }
        }
        Sleep(PollMs);
    }
    // Sixteen launch lines at once may lose some to the log mutex's time-out.
    Sleep(LineGraceMs);
    ReadLog();
    for (ServerRun& run : runs) {
        Compare({Quoted(run.server->name) + " launched successfully"}, run.lines,
                run.server->name + " at the start");
        run.lines.clear();
        run.nextAt = NowMs() + Uniform(run.random, 0, MaxGapMs);
    }
    startingUp = false;

    const ULONGLONG start = NowMs();
    const ULONGLONG end = start + 1000ull * seconds;
    holdAt = start + 1000ull * seconds * Uniform(global, 25, 60) / 100;
    std::vector<Sample> samples;
    ULONGLONG nextSample = start;
    ProcessFigures first = MeasureProcess(fleet.servicePid);
    ASSERT_TRUE(first.valid);
    for (;;) {
        ULONGLONG now = NowMs();
        if (hold == NoHold || hold == HoldWanted) {
            ReadLog();
        }
        if (!stopping && now >= nextSample) {
            samples.push_back({now, MeasureProcess(fleet.servicePid)});
            nextSample += SampleEveryMs;
        }
        if (!stopping && now >= end) {
            stopping = true;
        }
        for (ServerRun& run : runs) {
            Step(run, now);
        }
        StepHold(now);
        if (stopping && hold == NoHold && AllIdle()) {
            break;
        }
        if (stopping && now - end > DrainWaitMs) {
            ADD_FAILURE() << "faults still in flight long after the window";
            break;
        }
        Sleep(PollMs);
    }
    ProcessFigures last = MeasureProcess(fleet.servicePid);
    const double windowSeconds = static_cast<double>(NowMs() - start) / 1000.0;

    // Everyone answers before the stop.
    for (ServerRun& run : runs) {
        EXPECT_NE(Broken, run.phase) << run.server->name;
        if (run.phase != PortLost) {
            EXPECT_TRUE(ServiceFleet::Answers(*run.server)) << run.server->name;
        }
    }
    // A port lost now and then is Wine's; many would point at the fleet.
    EXPECT_GE(2u, lostPorts.size()) << Joined(lostPorts);
    EXPECT_TRUE(unexpected.empty()) << "lines outside any fault:" << Joined(unexpected);

    double stopMs = 0;
    ASSERT_TRUE(fleet.Stop(stopMs)) << fleet.error;
    EXPECT_LT(stopMs, static_cast<double>(StopLimitMs));
    EXPECT_EQ(0u, fleet.Status().dwWin32ExitCode);
    for (DWORD pid : standinPids) {
        EXPECT_TRUE(ProcessGone(pid, 5000)) << "stand-in " << pid << " still runs";
    }
    EXPECT_TRUE(ProcessGone(fleet.servicePid, 10000));
    std::vector<DWORD> left = fleet.ProcessesUnderRoot();
    EXPECT_TRUE(left.empty()) << left.size() << " processes left under " << fleet.root;
    ReadLog();
    for (size_t i = 0; i < ServerCount; ++i) {
        if (runs[i].phase == PortLost) {
            continue; // its stand-ins end at once, so there may be none to terminate
        }
        // Sixteen at once, like the launches at the start.
        Compare({Quoted(runs[i].server->name) + " has been terminated"},
                std::vector<std::string>(stopLines[i],
                                         Quoted(runs[i].server->name) + " has been terminated"),
                runs[i].server->name + " at the stop");
    }
    ASSERT_GE(tail->All().size(), 2u);
    EXPECT_EQ("Corvane v1.10 stopped", tail->All()[tail->All().size() - 2]);
    EXPECT_EQ("", tail->All().back());
    EXPECT_EQ("", tail->Unfinished());

    // Every tool run against the log: one group's records in turn give the
    // update lines, and no run ever met another in the tool's lock file.
    std::vector<std::string> updateLines;
    for (const std::string& line : tail->All()) {
        if (line.compare(0, 9, "[Update] ") == 0) {
            updateLines.push_back(line);
        }
    }
    std::map<std::string, std::string> nameByPath;
    for (const FleetServer& server : fleet.servers) {
        nameByPath[server.path] = server.name;
    }
    std::vector<ToolRecord> records = ReadToolRecords(fleet.tools);
    size_t next = 0;
    unsigned attempts = 0;
    unsigned overlaps = 0;
    unsigned selfUpdates = 0;
    // A wanted line that is not next in the log counts as dropped; a wrong
    // line then stays unread and fails the count below.
    auto expectLine = [&](const std::string& line, size_t record) {
        ++expectedLines;
        if (next < updateLines.size() && updateLines[next] == line) {
            ++next;
        } else {
            ++droppedLines;
            drops.push_back("tool record " + std::to_string(record) + " wants " + line);
        }
        return true;
    };
    for (size_t i = 0; i < records.size(); ++i) {
        const ToolRecord& record = records[i];
        overlaps += record.overlap ? 1 : 0;
        bool matched;
        if (record.kind == "check") {
            attempts = 0;
            bool selfUpdate = record.mode == "selfupdate" && record.number == 1;
            selfUpdates += selfUpdate ? 1 : 0;
            matched = expectLine("[Update] Tool version check", i) &&
                      expectLine(selfUpdate ? "[Update] Tool has been updated"
                                            : "[Update] Tool is up to date",
                                 i);
        } else {
            ++attempts;
            matched =
                expectLine("[Update] Launched for " + Quoted(nameByPath[record.installDir]), i) &&
                expectLine(record.mode == "success" ? "[Update] Completed successfully"
                           : attempts < 3           ? "[Update] Result unreliable, retry in 10s"
                                          : "[Update] Ran 3 times without reliable result",
                           i);
        }
        if (!matched) {
            break;
        }
    }
    EXPECT_EQ(updateLines.size(), next)
        << "update line " << next << " matches no tool run:"
        << Joined(std::vector<std::string>(updateLines.begin() + static_cast<long>(next),
                                           updateLines.end()));
    // Drops happen when many threads write at once; a line that is never
    // written shows up far above this bound.
    EXPECT_LE(droppedLines, std::max<size_t>(4, expectedLines / 50)) << Joined(drops);
    EXPECT_EQ(0u, overlaps) << "update tools ran at once";

    // Handles and private memory of the service: the last quarter's medians
    // against the first's. Private memory is read as PagefileUsage, the private
    // pages the process has touched; Wine reports PrivateUsage as 0.
    ASSERT_GE(samples.size(), 8u);
    size_t quarter = samples.size() / 4;
    std::vector<size_t> firstHandles, lastHandles;
    std::vector<uint64_t> firstPrivate, lastPrivate, allPrivate;
    std::vector<size_t> allHandles;
    for (size_t i = 0; i < samples.size(); ++i) {
        const ProcessFigures& figures = samples[i].figures;
        EXPECT_TRUE(figures.valid) << "sample " << i;
        allHandles.push_back(figures.handles);
        allPrivate.push_back(figures.pagefileBytes);
        if (i < quarter) {
            firstHandles.push_back(figures.handles);
            firstPrivate.push_back(figures.pagefileBytes);
        } else if (i >= samples.size() - quarter) {
            lastHandles.push_back(figures.handles);
            lastPrivate.push_back(figures.pagefileBytes);
        }
    }
    size_t handlesFirst = Median(firstHandles);
    size_t handlesLast = Median(lastHandles);
    uint64_t privateFirst = Median(firstPrivate);
    uint64_t privateLast = Median(lastPrivate);
    EXPECT_NE(0u, handlesFirst) << "the handle table could not be read";
    EXPECT_NE(0u, privateFirst) << "the memory counters could not be read";
    EXPECT_LE(handlesLast, handlesFirst + HandleSlack);
    EXPECT_LE(privateLast, privateFirst + PrivateSlackBytes);

    const double cpuSeconds = static_cast<double>(last.cpu100ns - first.cpu100ns) / 1e7;
    printf("soak summary: seed %llu, %u s window (%.0f s with the drain), %zu samples\n", seed,
           seconds, windowSeconds, samples.size());
    printf("  faults:");
    for (int k = 0; k < KindCount; ++k) {
        printf(" %s %u/%u", KindNames[k], recovered[k], faults[k]);
    }
    printf(" (recovered/injected); log holds %u", holds);
    for (ULONGLONG ms : holdMs) {
        printf(" %llu ms", ms);
    }
    printf("\n  tool groups:");
    for (int m = 0; m < ToolModeCount; ++m) {
        printf(" %s %u", ToolModeNames[m], toolModes[m]);
    }
    printf("; tool records %zu, self-updates %u, overlaps %u, update lines %zu\n", records.size(),
           selfUpdates, overlaps, updateLines.size());
    printf("  log lines expected %zu, dropped %zu%s\n", expectedLines, droppedLines,
           Joined(drops).c_str());
    printf(
        "  servers whose port Wine kept after a termination: %zu (%zu lines about them since)%s\n",
        lostPorts.size(), lostPortLines, Joined(lostPorts).c_str());
    printf("  service handles: median first quarter %zu, last quarter %zu, range %zu..%zu\n",
           handlesFirst, handlesLast, *std::min_element(allHandles.begin(), allHandles.end()),
           *std::max_element(allHandles.begin(), allHandles.end()));
    printf(
        "  service private memory (PagefileUsage; PrivateUsage read %.2f MiB at the end): median "
        "first quarter %.2f MiB, last quarter %.2f MiB, "
        "range %.2f..%.2f MiB\n",
        static_cast<double>(last.privateBytes) / 1048576.0,
        static_cast<double>(privateFirst) / 1048576.0, static_cast<double>(privateLast) / 1048576.0,
        static_cast<double>(*std::min_element(allPrivate.begin(), allPrivate.end())) / 1048576.0,
        static_cast<double>(*std::max_element(allPrivate.begin(), allPrivate.end())) / 1048576.0);
    printf("  service CPU (GetProcessTimes, which Wine reads low for another process) %.2f s over "
           "%.0f s (%.1f s per hour); stop took %.0f ms; "
           "%zu stand-in processes seen\n",
           cpuSeconds, windowSeconds, cpuSeconds * 3600.0 / windowSeconds, stopMs,
           standinPids.size());
    fflush(stdout);
}

} // namespace
