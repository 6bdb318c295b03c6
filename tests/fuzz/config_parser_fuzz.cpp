// Fuzz target for the configuration parser. Any bytes must parse without a
// crash, leak or over-read, end in at most one error event with a line number
// the file really has, and leave only whole, terminated entries. A file whose
// lines all fit one piece must parse the same with CR LF line ends.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

#include "config/config_parser.h"
#include "fakes/event_log_fake.h"

namespace {

#define Require(condition)                                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "config_parser_fuzz: %s failed at line %d\n", #condition, __LINE__);   \
            abort();                                                                               \
        }                                                                                          \
    } while (false)

struct Outcome {
    bool result;
    std::vector<std::string> lines;
    std::vector<ServerEntry> entries;
};

// The pieces fgets cuts from the text: at most LineBufferSize - 1 bytes, each
// ending after a line feed when one comes first.
uint32_t CountPieces(const std::vector<char>& text) {
    uint32_t pieces = 0;
    size_t position = 0;
    while (position < text.size()) {
        size_t length = 0;
        while (position + length < text.size() && length < LineBufferSize - 1) {
            if (text[position + length++] == '\n') {
                break;
            }
        }
        position += length;
        ++pieces;
    }
    return pieces;
}

bool Terminated(const char* field, size_t width) { return memchr(field, '\0', width) != nullptr; }

void RequireWholeEntry(const ServerEntry& entry) {
    Require(Terminated(entry.FriendlyName, sizeof entry.FriendlyName));
    Require(Terminated(entry.Path, sizeof entry.Path));
    Require(Terminated(entry.GameDir, sizeof entry.GameDir));
    Require(Terminated(entry.Host, sizeof entry.Host));
    Require(Terminated(entry.Port, sizeof entry.Port));
    Require(Terminated(entry.MaxPlayers, sizeof entry.MaxPlayers));
    Require(Terminated(entry.MapName, sizeof entry.MapName));
    Require(Terminated(entry.MiscArgs, sizeof entry.MiscArgs));
    Require(Terminated(entry.Priority, sizeof entry.Priority));
    Require(Terminated(entry.Affinity, sizeof entry.Affinity));
    Require(Terminated(entry.MaxMemory, sizeof entry.MaxMemory));
    Require(Terminated(entry.MonitorDelay, sizeof entry.MonitorDelay));
    Require(Terminated(entry.UpdPath, sizeof entry.UpdPath));
    Require(Terminated(entry.UpdArgs, sizeof entry.UpdArgs));
    Require(entry.ThreadId == 0 && entry.ThreadHandle == nullptr);
}

bool EndsWithLineNumber(const std::string& line, const std::string& message, uint32_t& number) {
    const std::string middle = " at line ";
    if (line.compare(0, message.size() + middle.size(), message + middle) != 0) {
        return false;
    }
    const std::string digits = line.substr(message.size() + middle.size());
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    number = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 10));
    return true;
}

// One error event: a single "<message> at line <n>" line, or a missing key
// followed by "Failed to read out server keys at line <n>". The file ending
// inside a block names the last piece read; any other error a piece read.
void RequireOneErrorEvent(const std::vector<std::string>& lines, uint32_t pieces) {
    const char* const inLoop[] = {
        "Failed to parse server name", "Server name duplicate",   "Expected '{'",
        "Expected standalone '{'",     "Expected standalone '}'", "MaxServers overflow",
        "Failed to parse key",         "Failed to parse value",
    };
    uint32_t number = 0;
    if (lines.size() == 2) {
        Require(lines[0].compare(0, 13, "Missing key \"") == 0);
        Require(lines[0].find("\" for server \"") != std::string::npos);
        Require(lines[0].back() == '"');
        Require(EndsWithLineNumber(lines[1], "Failed to read out server keys", number));
        Require(number >= 1 && number <= pieces);
        return;
    }
    Require(lines.size() == 1);
    if (EndsWithLineNumber(lines[0], "Config file terminated unexpectedly", number)) {
        Require(number == pieces);
        return;
    }
    for (const char* message : inLoop) {
        if (EndsWithLineNumber(lines[0], message, number)) {
            Require(number >= 1 && number <= pieces);
            return;
        }
    }
    fprintf(stderr, "config_parser_fuzz: unknown error line \"%s\"\n", lines[0].c_str());
    abort();
}

Outcome Parse(std::vector<char> text) {
    Outcome outcome;
    ServerEntry* table[MaxServers] = {};
    ClearLoggedLines();
    // An empty buffer is not accepted by fmemopen; one unread byte stands in.
    size_t size = text.size();
    text.push_back('\0');
    FILE* file = fmemopen(text.data(), size > 0 ? size : 1, "r");
    Require(file != nullptr);
    if (size == 0) {
        fgetc(file);
    }
    outcome.result = LoadConfigFrom(file, table, MaxServers);
    fclose(file);
    outcome.lines = LoggedLines();

    size_t used = 0;
    while (used < MaxServers && table[used] != nullptr) {
        RequireWholeEntry(*table[used]);
        outcome.entries.push_back(*table[used]);
        FreeServerEntry(table[used]);
        ++used;
    }
    for (size_t i = used; i < MaxServers; ++i) {
        Require(table[i] == nullptr);
    }
    return outcome;
}

// The pieces stay the same after LF -> CR LF when no line comes near the
// piece size, and no line already ends in CR, whose second CR would stay.
bool SameAfterCrLf(const std::vector<char>& text) {
    size_t lineLength = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            if (lineLength > LineBufferSize - 3 || (i > 0 && text[i - 1] == '\r')) {
                return false;
            }
            lineLength = 0;
        } else {
            ++lineLength;
        }
    }
    return true;
}

bool SameEntries(const std::vector<ServerEntry>& first, const std::vector<ServerEntry>& second) {
    if (first.size() != second.size()) {
        return false;
    }
    for (size_t i = 0; i < first.size(); ++i) {
        if (memcmp(&first[i], &second[i], sizeof(ServerEntry)) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> text(data, data + size);
    const Outcome outcome = Parse(text);
    Require(outcome.result == outcome.lines.empty());
    if (!outcome.result) {
        RequireOneErrorEvent(outcome.lines, CountPieces(text));
    }

    if (SameAfterCrLf(text)) {
        std::vector<char> crLf;
        for (char c : text) {
            if (c == '\n') {
                crLf.push_back('\r');
            }
            crLf.push_back(c);
        }
        const Outcome twin = Parse(crLf);
        Require(twin.result == outcome.result);
        Require(twin.lines == outcome.lines);
        Require(SameEntries(twin.entries, outcome.entries));
    }
    return 0;
}
