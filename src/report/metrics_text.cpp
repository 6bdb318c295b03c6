// The metrics file's text, built from a snapshot of the servers' facts.
#include "report/metrics_text.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

const char* const StatusNames[ServerStatusCount] = {
    "launching", "running", "waiting_for_empty", "updating", "held", "pausing", "restart_due"};
const char* const ReasonNames[RestartReasonCount] = {"exit", "unresponsive", "memory",
                                                     "failed_launch"};
const char* const PlannedNames[PlannedReasonCount] = {"hour", "memory"};
const char* const ResultNames[UpdateResultCount] = {"succeeded", "gave_up"};

void Family(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One sample; extra is a second label (with its leading comma) or empty.
void Sample(std::string& text, const char* name, const ServerFacts& server,
            const std::string& extra, long long value) {
    char number[32];
    snprintf(number, sizeof number, "%lld", value);
    text += std::string(name) + "{server=\"" + EscapeLabel(server.nameUtf8) + "\"" + extra + "} " +
            number + "\n";
}

std::string Label(const char* name, const char* value) {
    return std::string(",") + name + "=\"" + value + "\"";
}

} // namespace

std::string EscapeLabel(const char* value) {
    std::string escaped;
    for (const char* c = value; *c != '\0'; ++c) {
        escaped += *c == '\\'   ? "\\\\"
                   : *c == '"'  ? "\\\""
                   : *c == '\n' ? "\\n"
                                : std::string(1, *c);
    }
    return escaped;
}

std::string RenderMetrics(const ServerFacts* servers, uint32_t count, int64_t nowUnix,
                          int64_t startUnix) {
    std::vector<const ServerFacts*> shown;
    for (uint32_t i = 0; i < count; ++i) {
        bool named = false;
        for (const ServerFacts* earlier : shown) {
            named = named || strcmp(earlier->nameUtf8, servers[i].nameUtf8) == 0;
        }
        if (servers[i].inUse && !named) {
            shown.push_back(&servers[i]);
        }
    }
    std::string text;
    char number[32];
    snprintf(number, sizeof number, "%lld", static_cast<long long>(nowUnix));
    Family(text, "corvane_heartbeat_timestamp_seconds", "gauge",
           "Unix time at which the service wrote this file.");
    text += std::string("corvane_heartbeat_timestamp_seconds ") + number + "\n";
    snprintf(number, sizeof number, "%lld", static_cast<long long>(startUnix));
    Family(text, "corvane_service_start_timestamp_seconds", "gauge",
           "Unix time at which the service began to run.");
    text += std::string("corvane_service_start_timestamp_seconds ") + number + "\n";
    Family(text, "corvane_server_state", "gauge", "1 for the server's current state, else 0.");
    for (const ServerFacts* s : shown) {
        for (uint32_t state = 0; state < ServerStatusCount; ++state) {
            Sample(text, "corvane_server_state", *s, Label("state", StatusNames[state]),
                   s->status == state ? 1 : 0);
        }
    }
    Family(text, "corvane_server_state_since_timestamp_seconds", "gauge",
           "Unix time at which the server's current state began.");
    for (const ServerFacts* s : shown) {
        Sample(text, "corvane_server_state_since_timestamp_seconds", *s, "", s->stateSince);
    }
    Family(text, "corvane_server_restarts_total", "counter",
           "Times the server was started again since the service started, by reason.");
    for (const ServerFacts* s : shown) {
        for (uint32_t reason = 0; reason < RestartReasonCount; ++reason) {
            Sample(text, "corvane_server_restarts_total", *s, Label("reason", ReasonNames[reason]),
                   s->restarts[reason]);
        }
    }
    Family(text, "corvane_server_update_cycles_total", "counter",
           "Update cycles ended since the service started, by result.");
    for (const ServerFacts* s : shown) {
        for (uint32_t result = 0; result < UpdateResultCount; ++result) {
            Sample(text, "corvane_server_update_cycles_total", *s,
                   Label("result", ResultNames[result]), s->updateCycles[result]);
        }
    }
    Family(text, "corvane_server_players", "gauge", "Players, bots included, of the last answer.");
    for (const ServerFacts* s : shown) {
        if (s->players >= 0) {
            Sample(text, "corvane_server_players", *s, "", s->players);
        }
    }
    Family(text, "corvane_server_bots", "gauge", "Bots of the last answer.");
    for (const ServerFacts* s : shown) {
        if (s->bots >= 0) {
            Sample(text, "corvane_server_bots", *s, "", s->bots);
        }
    }
    Family(text, "corvane_server_committed_memory_bytes", "gauge",
           "Committed memory of the server process at its last check.");
    for (const ServerFacts* s : shown) {
        if (s->committedBytes >= 0) {
            Sample(text, "corvane_server_committed_memory_bytes", *s, "", s->committedBytes);
        }
    }
    Family(text, "corvane_server_memory_limit_bytes", "gauge",
           "MaxMemory of the server in bytes; 0: no limit.");
    for (const ServerFacts* s : shown) {
        Sample(text, "corvane_server_memory_limit_bytes", *s, "", s->memoryLimitBytes);
    }
    Family(text, "corvane_server_last_launch_timestamp_seconds", "gauge",
           "Unix time of the server's last launch.");
    for (const ServerFacts* s : shown) {
        if (s->lastLaunch > 0) {
            Sample(text, "corvane_server_last_launch_timestamp_seconds", *s, "", s->lastLaunch);
        }
    }
    Family(text, "corvane_server_planned_restarts_total", "counter",
           "Planned restarts carried out since the service started, by reason.");
    for (const ServerFacts* s : shown) {
        for (uint32_t reason = 0; reason < PlannedReasonCount; ++reason) {
            Sample(text, "corvane_server_planned_restarts_total", *s,
                   Label("reason", PlannedNames[reason]), s->plannedRestarts[reason]);
        }
    }
    Family(text, "corvane_server_next_planned_restart_timestamp_seconds", "gauge",
           "Unix time of the next listed time of RestartAt.");
    for (const ServerFacts* s : shown) {
        if (s->nextPlannedRestart > 0) {
            Sample(text, "corvane_server_next_planned_restart_timestamp_seconds", *s, "",
                   s->nextPlannedRestart);
        }
    }
    const struct {
        const char* name;
        const char* help;
        size_t offset;
    } builds[] = {{"corvane_server_installed_build", "Build id installed (with UpdateCheck).",
                   offsetof(ServerFacts, installedBuild)},
                  {"corvane_server_newest_build", "Newest public build id (with UpdateCheck).",
                   offsetof(ServerFacts, newestBuild)}};
    for (const auto& build : builds) {
        Family(text, build.name, "gauge", build.help);
        for (const ServerFacts* s : shown) {
            const char* id = reinterpret_cast<const char*>(s) + build.offset;
            char* end = nullptr;
            long long value = strtoll(id, &end, 10);
            if (id[0] != '\0' && *end == '\0') { // a build id is a number; "none" is not
                Sample(text, build.name, *s, "", value);
            }
        }
    }
    return text;
}
