// corvane -l: corvane.prom read back into one row per server, and the table a
// person reads at a console, with the exit code a script acts on.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// Restarts as the table counts them; planned ones of every reason together.
enum RowRestart : uint32_t {
    RowExit,
    RowUnresponsive,
    RowMemory,
    RowFailedLaunch,
    RowPlanned,
    RowRestartCount
};

// One server as the page states it; -1 for a number the page does not hold.
struct ServerRow {
    std::string name;
    std::string state; // the label of the state whose sample is 1; empty: none
    int64_t since = -1; // Unix seconds at which the state began
    int64_t players = -1; // bots included
    int64_t bots = -1;
    int64_t committedBytes = -1;
    int64_t memoryLimitBytes = -1; // 0: no limit
    int64_t restarts[RowRestartCount] = {};
    std::string installedBuild; // empty: not on the page
    std::string newestBuild;
};

struct FleetPage {
    int64_t written = -1; // Unix seconds of the heartbeat
    int64_t serviceStart = -1;
    std::vector<ServerRow> servers; // in the order of their first sample
};

// Pure: the page from the exposition text the service writes (comments,
// samples with or without labels, label values escaped). Samples of metrics
// it does not know are passed over. False when the text holds no heartbeat.
bool ParseFleetPage(const std::string& text, FleetPage& page);

// Pure: whole seconds as a person reads them: "45 s", "12 min",
// "3 h 12 min", "2 d 4 h"; each unit cut, never rounded up.
std::string DurationText(int64_t seconds);

// Pure: a server's row at now: one line of name (cut to 20 columns with
// "..."), state in words, its duration, players, memory against MaxMemory;
// then, when there are any, indented lines with the restarts by reason and
// the build. Every line ends in "\n" and fits 79 columns. With colour, the
// state of a server that does not run is red (terminal escape codes).
std::string RenderServerRow(const ServerRow& row, int64_t now, bool colour = false);

struct FleetTable {
    std::string text;
    int exitCode; // 0 every server runs, 1 one does not, 2 no current facts
};

// The oldest page shown as current, in seconds.
constexpr int64_t MaxPageAge = 30;

// Pure: what corvane -l prints at now. serviceState is the service's state in
// words ("running", "stopped", "not installed"...); page is null when
// corvane.prom could not be read. A service not running, or a page older than
// MaxPageAge, gives one line that says which, and no table.
FleetTable RenderFleetTable(const FleetPage* page, const std::string& serviceState, int64_t now,
                            bool colour = false);
