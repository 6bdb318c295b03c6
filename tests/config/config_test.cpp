// The configuration as the parser reads it: a table of files with the lines
// each logs and the servers it keeps, then the entry's fields, the example
// shipped in docs/, and what a reload of a file changes.
#include <fstream>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "config/config_parser.h"
#include "config/server_diff.h"
#include "fakes/fakes.h"
#include "service/config_check.h"

namespace {

using Lines = std::vector<std::string>;

// A block of 16 lines: its name, "{", the fourteen keys but FriendlyName, "}".
std::string Block(const std::string& name, const std::string& keys = "") {
    return name + "\n{\n  Path \"C:\\My Servers\\x\"\n  GameDir cstrike\n  Host 10.0.0.5\n"
                  "  Port 27100\n  MaxPlayers 24\n  MapName de_dust2\n  MiscArgs \"\"\n"
                  "  Priority High\n  Affinity 3\n  MaxMemory 0\n  MonitorDelay 30\n"
                  "  UpdPath tools\n" +
           keys + "  UpdArgs \"232330 validate\"\n}\n";
}

// Blocks s1 to s<count>, and their names.
std::string Blocks(int count, std::vector<std::string>* names = nullptr) {
    std::string text;
    for (int i = 1; i <= count; ++i) {
        text += Block("s" + std::to_string(i));
        if (names != nullptr) {
            names->push_back("s" + std::to_string(i));
        }
    }
    return text;
}

std::string CrLf(std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
        text.insert(at, "\r");
    }
    return text;
}

struct Parsed {
    Lines lines;
    std::vector<std::string> names;
    std::vector<ServerEntry> entries;
};

// Parses text into a table of slots.
Parsed Parse(const std::string& text, uint32_t slots = MaxServers) {
    FILE* file = fopen("config_test.cfg", "w+b");
    fwrite(text.data(), 1, text.size(), file);
    rewind(file);
    ServerEntry* table[MaxServers] = {};
    loggedLines.clear();
    bool loaded = LoadConfigFrom(file, table, slots);
    fclose(file);
    Parsed parsed{loggedLines, {}, {}};
    EXPECT_EQ(loaded, parsed.lines.empty()) << "a failure logs, a success does not";
    for (ServerEntry* entry : table) {
        if (entry != nullptr) {
            parsed.names.push_back(entry->FriendlyName);
            parsed.entries.push_back(*entry);
            FreeServerEntry(entry);
        }
    }
    return parsed;
}

struct Case {
    std::string text;
    Lines lines;
    std::vector<std::string> names;
    uint32_t slots = MaxServers;
};

TEST(ConfigParser, EachFileGivesItsLinesAndServers) {
    std::vector<std::string> s16;
    Blocks(16, &s16);
    const std::string n63(63, 'n');
    const std::string longComment = "//" + std::string(509, '-') + "beta" + std::string(85, ' ');
    const Case cases[] = {
        {"", {}, {}},
        {"  \t\n\n// only a comment\n   // indented\r\n", {}, {}},
        {" \talpha\t \n\t{ \t\n\t// inside\n" + Block("x").substr(4), {}, {"alpha"}},
        {Block("alpha") + Block("\"Beta Server\""), {}, {"alpha", "Beta Server"}},
        {"\xEF\xBB\xBF" + Block("alpha"), {}, {"alpha"}}, // a byte order mark is skipped
        {CrLf(Block("alpha") + "// note\n\nbeta\n{\n  Path x y\n}\n"),
         {"Failed to parse value at line 21"}, {"alpha"}},
        {Block("{") + Block("}"), {}, {"{", "}"}},
        {Block("alpha", "  FriendlyName \"Renamed\"\n  Unused x\n  \"\" \"dropped\"\n"), {},
         {"Renamed"}},
        {Block("alpha", "  FriendlyName beta\n") + Block("beta") + Block("alpha"),
         {"Server name duplicate at line 34"}, {"beta", "beta"}},
        {Block(n63 + "A") + Block(n63 + "B"), {"Server name duplicate at line 17"}, {n63}},
        {Block(n63.substr(1) + "A") + Block(n63.substr(1) + "B"), {},
         {n63.substr(1) + "A", n63.substr(1) + "B"}},
        {Blocks(16), {}, s16},
        {Blocks(16) + "s17\n{\n}\n", {"MaxServers overflow at line 259"}, s16},
        {Blocks(3), {"MaxServers overflow at line 48"}, {"s1", "s2"}, 2},
        // A line is read in pieces of 511 characters, each numbered.
        {longComment + "\n" + Block("alpha").substr(6) + "gamma x\n",
         {"Failed to parse server name at line 18"}, {"beta"}},
        {"alpha" + std::string(505, ' ') + "\nx\n", {"Expected '{' at line 2"}, {}},
        {"alpha" + std::string(506, ' ') + "\nx\n", {"Expected '{' at line 3"}, {}},
        {"alpha {\n", {"Failed to parse server name at line 1"}, {}},
        {"// c\n\n\"\"\n", {"Failed to parse server name at line 3"}, {}},
        {"\"alpha\"x\n", {"Failed to parse server name at line 1"}, {}},
        {"al\"pha\"\n", {"Failed to parse server name at line 1"}, {}},
        {"alpha\n// c\n  x {\n", {"Expected '{' at line 3"}, {}},
        {"alpha\n{ }\n", {"Expected standalone '{' at line 2"}, {}},
        {"alpha\n{\n} }\n", {"Expected standalone '}' at line 3"}, {}},
        {"alpha\n{\nPath\"C:\\x\"\n", {"Failed to parse key at line 3"}, {}},
        {"alpha\n{\nPath \t \n", {"Failed to parse key at line 3"}, {}},
        {"alpha\n{\nPath C:\\My Servers\n", {"Failed to parse value at line 3"}, {}},
        {"alpha\n{\nPath \"C:\\x\n", {"Failed to parse value at line 3"}, {}},
        {"alpha\n{\nPath x // no comment here\n", {"Failed to parse value at line 3"}, {}},
        {"alpha\n{\n  Host h\n}\n",
         {"Missing key \"Path\" for server \"alpha\"", "Failed to read out server keys at line 4"},
         {}},
        {Block("ok") + "alpha\n{\n  Path x\n}\n",
         {"Missing key \"GameDir\" for server \"alpha\"",
          "Failed to read out server keys at line 20"},
         {"ok"}},
        {"alpha", {"Config file terminated unexpectedly at line 1"}, {}},
        {Block("alpha") + "beta\n{\n  Path x\n\n",
         {"Config file terminated unexpectedly at line 20"}, {"alpha"}},
    };
    for (const Case& c : cases) {
        Parsed parsed = Parse(c.text, c.slots);
        EXPECT_EQ(c.lines, parsed.lines) << c.text;
        EXPECT_EQ(c.names, parsed.names) << c.text;
    }
}

TEST(ConfigParser, FieldsKeepTheirValuesCutToTheirWidths) {
    Parsed parsed = Parse(Block("alpha", "  Path \"" + std::string(300, 'p') +
                                             "\"\n  Affinity ffffffff\n  Port 2000\n"));
    ASSERT_EQ(1u, parsed.entries.size());
    const ServerEntry& e = parsed.entries[0];
    EXPECT_EQ(std::string(259, 'p'), e.Path);
    std::string fields;
    for (const char* field : {e.GameDir, e.Host, e.Port, e.MaxPlayers, e.MapName, e.MiscArgs, e.Priority,
                              e.Affinity, e.MaxMemory, e.MonitorDelay, e.UpdPath, e.UpdArgs}) {
        fields += field + std::string("|");
    }
    EXPECT_EQ("cstrike|10.0.0.5|2000|24|de_dust2||High|fffffff|0|30|tools|232330 validate|", fields);
    EXPECT_EQ(0u, e.ThreadId);
}

TEST(ConfigParser, TheShippedExampleLoads) {
    std::ifstream example(CORVANE_TEST_DATA "/../docs/corvane.cfg.example", std::ios::binary);
    Parsed parsed = Parse(std::string(std::istreambuf_iterator<char>(example), {}));
    EXPECT_EQ(Lines{}, parsed.lines);
    EXPECT_LE(2u, parsed.names.size());
}

// A block's keys from line 15 on; a line marked "-" is logged by the thread
// that reads the value, so only corvane -t writes it from the check.
TEST(CheckConfigValues, SaysEachValueTheServiceRefusesOrReadsOtherwiseWithItsLine) {
    const struct {
        std::string text;
        bool error;
        Lines lines;
    } cases[] = {
        {Block("a", "  Affinity 0x1F\n  MonitorDelay 3600\n  RestartBackoff 0\n  StopWait 99\n"
                    "  AlertUrl http://h:8/p\n  UpdateWait \"\"\n  RestartAt \"4:00, 16:30\"\n"
                    "  MemoryHigh 900\n  RestartWindow 0\n"), false, {}},
        {Block("a", "  RestartAt 4pm\n  MaxMemory 64\n  MemoryHigh 64\n  RestartWindow 1441\n"), true,
         {R"(-"a" has RestartAt "4pm", which is no list of times HH:MM: no restarts at set hours )"
          "at line 15",
          R"(-"a" has MemoryHigh "64", which is no number of MiB below its MaxMemory: no restarts )"
          "for memory at line 17",
          R"(-"a" has RestartWindow "1441" out of range (0 to 1440), read as 60 at line 18)"}},
        {Block("a", "  Port 27O15\n  Affinity zz\n  MaxMemory 2O48\n  MonitorDelay 30s\n") +
             Block("b", "  MaxPlayers \"\"\n"), false,
         {R"("a" has Port "27O15", which is not wholly a number, read as 27 at line 15)",
          R"("a" has Affinity "zz", which is not wholly a number, read as 0 at line 16)",
          R"("a" has MaxMemory "2O48", which is not wholly a number, read as 2 at line 17)",
          R"("a" has MonitorDelay "30s", which is not wholly a number, read as 30 at line 18)",
          R"("b" has MaxPlayers "", which is not wholly a number, read as 0 at line 35)"}},
        {Block("a", "  MonitorDelay 3601\n  RconPassword pw\n  StopWait 0\n  AlertUrl ftp://x\n"),
         true,
         {R"(-"a" has MonitorDelay "3601" out of range (0 to 3600), read as 0 at line 15)",
          R"(-"a" has StopWait "0" out of range (1 to 60), read as 1 at line 17)",
          R"(-"a" has AlertUrl "ftp://x", which is no http or https URL: no alerts are sent at )"
          "line 18"}},
        {Block("a", "  RestartBackoff -1\n  UpdateWait x\n  UpdateCheck 5m\n"), true,
         {R"("a" has RestartBackoff "-1" out of range (0 or more), read as 0 at line 15)",
          R"("a" has UpdateWait "x", which is not wholly a number, read as 0 at line 16)",
          R"("a" has UpdateCheck "5m", which is not wholly a number, read as 5 at line 17)"}},
        {Block("a", "  RestartBackof 1\n  Colour red\n  path x\n  UPDATEWAIT 1\n"), false,
         {R"("a" has key "RestartBackof", which no server uses (is it "RestartBackoff"?) at line 15)",
          R"("a" has key "Colour", which no server uses, at line 16)",
          R"("a" has key "path", which no server uses (is it "Path"?) at line 17)",
          R"("a" has key "UPDATEWAIT", which no server uses (is it "UpdateWait"?) at line 18)"}},
    };
    for (const auto& c : cases) {
        Parsed parsed = Parse(c.text);
        std::vector<const ServerEntry*> table;
        for (const ServerEntry& entry : parsed.entries) {
            table.push_back(&entry);
        }
        std::vector<ConfigFinding> findings =
            CheckConfigValues(table.data(), static_cast<uint32_t>(table.size()));
        for (bool all : {true, false}) {
            Lines expected;
            for (const std::string& line : c.lines) {
                if (all || line[0] != '-') {
                    expected.push_back(line.substr(line[0] == '-'));
                }
            }
            loggedLines.clear();
            EXPECT_EQ(c.error, WriteConfigFindings(findings, all)) << c.text;
            EXPECT_EQ(expected, loggedLines) << c.text;
        }
    }
}

// Each server's fate, "name:u|c|a|r", as DiffServers says it from old to new;
// a change adds what it does to the running server: k kept, p its process
// set, r relaunched.
std::string Diff(const std::string& oldText, const std::string& newText) {
    Parsed parsed[] = {Parse(oldText), Parse(newText)};
    std::vector<const ServerEntry*> lists[2];
    for (int i = 0; i < 2; ++i) {
        for (const ServerEntry& entry : parsed[i].entries) {
            lists[i].push_back(&entry);
        }
    }
    ServerDiff diffs[2 * MaxServers];
    uint32_t count = DiffServers(lists[0].data(), static_cast<uint32_t>(lists[0].size()),
                                 lists[1].data(), static_cast<uint32_t>(lists[1].size()), diffs);
    std::string said;
    for (uint32_t i = 0; i < count; ++i) {
        const ServerEntry* entry = diffs[i].change == ServerAdded ? lists[1][diffs[i].newIndex]
                                                                  : lists[0][diffs[i].oldIndex];
        said += std::string(entry->BlockName) + ":" + "ucar"[diffs[i].change] +
                (diffs[i].change == ServerChanged ? "kpr"[diffs[i].group] : ' ') + " ";
    }
    return said;
}

TEST(DiffServers, MatchesBlockNamesAndComparesEveryKey) {
    const std::string abc = Block("alpha") + Block("beta") + Block("gamma");
    const struct {
        std::string oldText, newText, said;
    } cases[] = {
        {abc, abc, "alpha:u  beta:u  gamma:u  "},
        {abc, Block("delta") + Block("beta", "  MapName x\n  Priority Low\n") + Block("alpha"),
         "alpha:u  beta:cr gamma:r  delta:a  "},
        {Block("alpha"), Block("Alpha"), "alpha:r  Alpha:a  "},
        {Block("alpha", "  FriendlyName x\n"), Block("alpha", "  FriendlyName y\n"), "alpha:cr "},
        {Block("alpha", "  Unused x\n"), Block("alpha"), "alpha:u  "},
        {abc, Block("alpha", "  Affinity 1\n  MaxMemory 9\n") + Block("beta", "  AlertUrl x\n"),
         "alpha:cp beta:ck gamma:r  "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.said, Diff(c.oldText, c.newText)) << c.newText;
    }
    // What each key's change does, in key order: only the command line and
    // its folder relaunch.
    const char groups[] = "rrrrrrrrppkkkkkkkkkkkkk";
    const std::string alpha = Block("alpha");
    for (uint32_t i = 0; i < ServerKeyCount; ++i) { // a key line at the end wins
        std::string changed = alpha.substr(0, alpha.size() - 2) + ServerKeys[i].name + " z\n}\n";
        EXPECT_EQ(std::string("alpha:c") + groups[i] + " ", Diff(alpha, changed)) << ServerKeys[i].name;
    }
}

TEST(SharePathOrPort, OneFolderOrOnePortIsShared) {
    const struct {
        const char *path, *port;
        bool shared;
    } cases[] = {{"C:\\S\\a", "27015", true}, {"c:\\s\\A", "1", true},
                 {"C:\\S\\b", "027015", true}, {"C:\\S\\b", "27016", false}};
    ServerEntry first = {}, second = {};
    snprintf(first.Path, sizeof first.Path, "C:\\S\\a");
    snprintf(first.Port, sizeof first.Port, "27015");
    for (const auto& c : cases) {
        snprintf(second.Path, sizeof second.Path, "%s", c.path);
        snprintf(second.Port, sizeof second.Port, "%s", c.port);
        EXPECT_EQ(c.shared, SharePathOrPort(first, second)) << c.path << " " << c.port;
    }
}

} // namespace
