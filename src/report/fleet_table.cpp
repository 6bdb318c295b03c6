// The fleet table: the metrics page parsed back and laid out for a person.
#include "report/fleet_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t NameColumns = 20;
constexpr size_t StateColumns = 27; // "waiting for an empty server"
constexpr size_t SinceColumns = 11; // "23 h 59 min"
constexpr size_t PlayersColumns = 7;
constexpr size_t LineColumns = 79; // an 80-column console wraps a line of 80
const std::string RowIndent = "    ";

// A state's label on the page and in the table.
const char* const StateWords[][2] = {{"launching", "launching"},
                                     {"running", "running"},
                                     {"waiting_for_empty", "waiting for an empty server"},
                                     {"updating", "updating"},
                                     {"held", "held"},
                                     {"pausing", "pausing after failures"},
                                     {"restart_due", "restart due"}};

// The states in which the server's process runs and answers.
bool Runs(const std::string& state) {
    return state == "running" || state == "waiting_for_empty" || state == "restart_due";
}

// A server's gauges, each one number.
const struct {
    const char* metric;
    int64_t ServerRow::*field;
} Gauges[] = {{"corvane_server_state_since_timestamp_seconds", &ServerRow::since},
              {"corvane_server_players", &ServerRow::players},
              {"corvane_server_bots", &ServerRow::bots},
              {"corvane_server_committed_memory_bytes", &ServerRow::committedBytes},
              {"corvane_server_memory_limit_bytes", &ServerRow::memoryLimitBytes}};

const char* const RestartLabels[RowRestartCount] = {"exit", "unresponsive", "memory",
                                                    "failed_launch", ""};
const char* const RestartWords[RowRestartCount] = {"exit", "unresponsive", "memory",
                                                   "failed launch", "planned"};

// Columns a text takes: UTF-8 continuation bytes take none.
size_t Columns(const std::string& text) {
    size_t columns = 0;
    for (unsigned char c : text) {
        columns += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    return columns;
}

// The text padded with blanks to width columns and one more as the gap.
std::string Cell(const std::string& text, size_t width) {
    size_t columns = Columns(text);
    return text + std::string(columns < width ? width - columns + 1 : 1, ' ');
}

// A name longer than the column ends in "..." within it, cut before a whole character.
std::string CutName(const std::string& name) {
    if (Columns(name) <= NameColumns) {
        return name;
    }
    size_t end = 0;
    for (size_t kept = 0; kept <= NameColumns - 3; ++end) {
        kept += (static_cast<unsigned char>(name[end]) & 0xC0) != 0x80 ? 1 : 0;
    }
    return name.substr(0, end - 1) + "...";
}

// Reads name="value" pairs from after '{' to past '}': the server label's
// value into server, the other label's into other; false when the text breaks off.
bool ReadLabels(const char*& at, std::string& server, std::string& other) {
    while (*at != '}') {
        const char* equals = strchr(at, '=');
        if (equals == nullptr || equals[1] != '"') {
            return false;
        }
        std::string key(at, equals), value;
        for (at = equals + 2; *at != '"'; ++at) {
            if (*at == '\0') {
                return false;
            }
            if (*at == '\\' && at[1] != '\0') {
                ++at;
                value += *at == 'n' ? '\n' : *at;
            } else {
                value += *at;
            }
        }
        (key == "server" ? server : other) = value;
        at += at[1] == ',' ? 2 : 1;
    }
    ++at;
    return true;
}

ServerRow& RowOf(FleetPage& page, const std::string& name) {
    for (ServerRow& row : page.servers) {
        if (row.name == name) {
            return row;
        }
    }
    page.servers.push_back(ServerRow());
    page.servers.back().name = name;
    return page.servers.back();
}

// One sample line into the page.
void ReadSample(const char* line, FleetPage& page) {
    const char* at = line + strcspn(line, "{ ");
    std::string metric(line, at), server, other;
    if (*at == '{' && !ReadLabels(++at, server, other)) {
        return;
    }
    char* end = nullptr;
    long long value = strtoll(at, &end, 10);
    if (end == at || (*end != '\0' && *end != ' ')) {
        return;
    }
    if (metric == "corvane_heartbeat_timestamp_seconds") {
        page.written = value;
    } else if (metric == "corvane_service_start_timestamp_seconds") {
        page.serviceStart = value;
    }
    if (server.empty() || strncmp(metric.c_str(), "corvane_server_", 15) != 0) {
        return;
    }
    ServerRow& row = RowOf(page, server);
    if (metric == "corvane_server_state" && value == 1) {
        row.state = other;
    } else if (metric == "corvane_server_restarts_total") {
        for (uint32_t reason = 0; reason < RowPlanned; ++reason) {
            row.restarts[reason] += other == RestartLabels[reason] ? value : 0;
        }
    } else if (metric == "corvane_server_planned_restarts_total") {
        row.restarts[RowPlanned] += value;
    } else if (metric == "corvane_server_installed_build") {
        row.installedBuild = std::to_string(value);
    } else if (metric == "corvane_server_newest_build") {
        row.newestBuild = std::to_string(value);
    }
    for (const auto& gauge : Gauges) {
        if (metric == gauge.metric) {
            row.*gauge.field = value;
        }
    }
}

std::string Number(int64_t value) {
    return value < 0 ? "-" : std::to_string(value);
}

} // namespace

bool ParseFleetPage(const std::string& text, FleetPage& page) {
    page = FleetPage();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] != '#') {
            ReadSample(line.c_str(), page);
        }
        start = end + 1;
    }
    return page.written >= 0;
}

std::string DurationText(int64_t seconds) {
    const int64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
    char text[48];
    if (seconds < 60) {
        snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds < 0 ? 0 : seconds));
    } else if (hours == 0) {
        snprintf(text, sizeof text, "%lld min", static_cast<long long>(minutes));
    } else if (days == 0) {
        snprintf(text, sizeof text, "%lld h %lld min", static_cast<long long>(hours),
                 static_cast<long long>(minutes % 60));
    } else {
        snprintf(text, sizeof text, "%lld d %lld h", static_cast<long long>(days),
                 static_cast<long long>(hours % 24));
    }
    return text;
}

std::string RenderServerRow(const ServerRow& row, int64_t now, bool colour) {
    std::string state = row.state.empty() ? "-" : row.state;
    for (const auto& words : StateWords) {
        state = row.state == words[0] ? words[1] : state;
    }
    // The last answer and check of a server that no longer runs are not its present.
    const bool runs = Runs(row.state);
    std::string players = runs ? Number(row.players) : "-";
    if (runs && row.players >= 0 && row.bots > 0) {
        players = std::to_string(row.players - row.bots) + "+" + std::to_string(row.bots);
    }
    std::string memory =
        !runs || row.committedBytes < 0 ? "-" : std::to_string(row.committedBytes >> 20);
    if (row.memoryLimitBytes > 0) {
        memory += "/" + std::to_string(row.memoryLimitBytes >> 20);
    }
    std::string stateCell = Cell(state, StateColumns);
    if (colour && !runs) { // the codes take no column: the padding stays outside them
        stateCell = "\x1b[31m" + state + "\x1b[0m" + stateCell.substr(state.size());
    }
    std::string text = Cell(CutName(row.name), NameColumns) + stateCell +
                       Cell(row.since < 0 ? "-" : DurationText(now - row.since), SinceColumns) +
                       Cell(players, PlayersColumns) + memory + "\n";

    // Pieces of the details, each after its separator; a line that would
    // grow too long ends at a separator, which it keeps without its blank.
    std::vector<std::pair<std::string, std::string>> pieces;
    for (uint32_t reason = 0; reason < RowRestartCount; ++reason) {
        if (row.restarts[reason] > 0) {
            pieces.push_back({pieces.empty() ? "restarts: " : ", ",
                              std::to_string(row.restarts[reason]) + " " + RestartWords[reason]});
        }
    }
    if (!row.installedBuild.empty() || !row.newestBuild.empty()) {
        std::string build = "build " + (row.installedBuild.empty() ? "-" : row.installedBuild);
        if (!row.newestBuild.empty() && row.newestBuild != row.installedBuild) {
            build += ", newest " + row.newestBuild;
        }
        pieces.push_back({pieces.empty() ? "" : "; ", build});
    }
    std::string line;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& separator = pieces[i].first;
        if (!line.empty() && Columns(line + separator + pieces[i].second) > LineColumns) {
            text += line + separator.substr(0, 1) + "\n";
            line.clear();
        }
        line += (line.empty() ? RowIndent : "") + (line.empty() && i > 0 ? "" : separator) +
                pieces[i].second;
    }
    return line.empty() ? text : text + line + "\n";
}

FleetTable RenderFleetTable(const FleetPage* page, const std::string& serviceState, int64_t now,
                            bool colour) {
    if (serviceState != "running") {
        return {"Service \"Corvane\" is not running (" + serviceState +
                    "): corvane.prom is not current\n",
                2};
    }
    if (page == nullptr) {
        return {"Service \"Corvane\" is running, but corvane.prom cannot be read\n", 2};
    }
    int64_t age = now > page->written ? now - page->written : 0;
    if (age > MaxPageAge) {
        return {"corvane.prom is " + DurationText(age) +
                    " old (over 30 s): its facts are not current\n",
                2};
    }
    // A running service has servers: a page without any was written before
    // they began, and says of none that it runs.
    FleetTable table = {"Service \"Corvane\" running", page->servers.empty() ? 1 : 0};
    if (page->serviceStart >= 0) {
        table.text += " for " + DurationText(now - page->serviceStart);
    }
    table.text += "; corvane.prom " + DurationText(age) + " old\n" + Cell("SERVER", NameColumns) +
                  Cell("STATE", StateColumns) + Cell("SINCE", SinceColumns) +
                  Cell("PLAYERS", PlayersColumns) + "MEMORY MiB\n";
    for (const ServerRow& row : page->servers) {
        table.text += RenderServerRow(row, now, colour);
        table.exitCode = Runs(row.state) ? table.exitCode : 1;
    }
    return table;
}
