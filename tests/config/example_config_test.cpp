// The example configuration shipped with the service: it must load as it
// stands, give exactly the servers its comments describe, and teach no key
// that the service would silently ignore.
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <stdio.h>
#include <string.h>
#include <string>

#include "config/config_parser.h"
#include "fakes/event_log_fake.h"

namespace fs = std::filesystem;

namespace {

const char* const ExamplePath = CORVANE_EXAMPLE_CONFIG;

struct ExpectedEntry {
    const char* FriendlyName;
    const char* Path;
    const char* GameDir;
    const char* Host;
    const char* Port;
    const char* MaxPlayers;
    const char* MapName;
    const char* MiscArgs;
    const char* Priority;
    const char* Affinity;
    const char* MaxMemory;
    const char* MonitorDelay;
    const char* UpdPath;
    const char* UpdArgs;
};

const ExpectedEntry ExampleServers[] = {
    {"public1", "C:\\Servers\\public1", "cstrike", "192.0.2.10", "27015", "24", "de_dust2",
     "+exec public1.cfg -tickrate 66", "High", "3", "2048", "60", "..\\steamcmd",
     "232330 validate"},
    {"Match Server", "C:\\Servers\\match server", "cstrike", "192.0.2.10", "27016", "12",
     "de_inferno", "", "AboveNormal", "C", "0", "60", "..\\steamcmd", "232330"},
};
constexpr size_t ExampleServerCount = sizeof ExampleServers / sizeof ExampleServers[0];

std::string ReadWholeFile(const char* path) {
    std::string text;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, count);
    }
    fclose(file);
    return text;
}

std::string WithCrLf(const std::string& text) {
    std::string converted;
    for (char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

void ExpectEntry(const ServerEntry* entry, const ExpectedEntry& expected) {
    ASSERT_NE(nullptr, entry) << expected.FriendlyName;
    EXPECT_STREQ(expected.FriendlyName, entry->FriendlyName);
    EXPECT_STREQ(expected.Path, entry->Path) << expected.FriendlyName;
    EXPECT_STREQ(expected.GameDir, entry->GameDir) << expected.FriendlyName;
    EXPECT_STREQ(expected.Host, entry->Host) << expected.FriendlyName;
    EXPECT_STREQ(expected.Port, entry->Port) << expected.FriendlyName;
    EXPECT_STREQ(expected.MaxPlayers, entry->MaxPlayers) << expected.FriendlyName;
    EXPECT_STREQ(expected.MapName, entry->MapName) << expected.FriendlyName;
    EXPECT_STREQ(expected.MiscArgs, entry->MiscArgs) << expected.FriendlyName;
    EXPECT_STREQ(expected.Priority, entry->Priority) << expected.FriendlyName;
    EXPECT_STREQ(expected.Affinity, entry->Affinity) << expected.FriendlyName;
    EXPECT_STREQ(expected.MaxMemory, entry->MaxMemory) << expected.FriendlyName;
    EXPECT_STREQ(expected.MonitorDelay, entry->MonitorDelay) << expected.FriendlyName;
    EXPECT_STREQ(expected.UpdPath, entry->UpdPath) << expected.FriendlyName;
    EXPECT_STREQ(expected.UpdArgs, entry->UpdArgs) << expected.FriendlyName;
    EXPECT_EQ(0u, entry->ThreadId);
    EXPECT_EQ(nullptr, entry->ThreadHandle);
}

class ExampleConfig : public ::testing::Test {
  protected:
    void SetUp() override { ClearLoggedLines(); }
    void TearDown() override { FreeEntries(); }

    void FreeEntries() {
        for (ServerEntry*& entry : table) {
            FreeServerEntry(entry);
            entry = nullptr;
        }
    }

    // The table holds the example's servers in file order and nothing else,
    // and nothing was logged on the way.
    void ExpectExampleServers() {
        EXPECT_TRUE(LoggedLines().empty()) << LoggedLines().front();
        for (size_t i = 0; i < ExampleServerCount; ++i) {
            ExpectEntry(table[i], ExampleServers[i]);
        }
        for (size_t i = ExampleServerCount; i < MaxServers; ++i) {
            EXPECT_EQ(nullptr, table[i]) << "slot " << i;
        }
    }

    ServerEntry* table[MaxServers] = {};
};

TEST_F(ExampleConfig, ParsesFromItsFileIntoItsServers) {
    FILE* file = fopen(ExamplePath, "rt");
    ASSERT_NE(nullptr, file) << ExamplePath;
    bool loaded = LoadConfigFrom(file, table, MaxServers);
    fclose(file);
    ASSERT_TRUE(loaded) << (LoggedLines().empty() ? "" : LoggedLines().front());
    ExpectExampleServers();
}

// Copied as corvane.cfg into a folder of its own, the way an administrator
// starts, once as shipped and once saved with Windows line ends.
TEST_F(ExampleConfig, LoadsAsCorvaneCfgWithEitherLineEnd) {
    const std::string shipped = ReadWholeFile(ExamplePath);
    ASSERT_FALSE(shipped.empty()) << ExamplePath;
    const std::string variants[] = {shipped, WithCrLf(shipped)};

    const fs::path previousDir = fs::current_path();
    std::random_device random;
    const fs::path testDir =
        fs::temp_directory_path() /
        ("corvane_example_" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(testDir));
    fs::current_path(testDir);
    for (const std::string& text : variants) {
        SCOPED_TRACE(text.find('\r') == std::string::npos ? "LF" : "CR LF");
        FreeEntries();
        ClearLoggedLines();
        FILE* file = fopen("corvane.cfg", "wb");
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(text.size(), fwrite(text.data(), 1, text.size(), file));
        fclose(file);
        ASSERT_TRUE(LoadConfig(table, MaxServers))
            << (LoggedLines().empty() ? "" : LoggedLines().front());
        ExpectExampleServers();
    }
    fs::current_path(previousDir);
    std::error_code ignored;
    fs::remove_all(testDir, ignored);
}

// Unknown keys are accepted without a word, so a key the example spells
// wrongly would mislead every reader while the file still loaded. Every line
// must also fit one read of the parser, so that its line numbers match an
// editor's.
TEST_F(ExampleConfig, EveryLineIsACommentABraceANameOrAKnownKey) {
    const std::set<std::string> knownKeys = {
        "Path",     "GameDir",  "Host",      "Port",         "MaxPlayers", "MapName", "MiscArgs",
        "Priority", "Affinity", "MaxMemory", "MonitorDelay", "UpdPath",    "UpdArgs",
    };
    FILE* file = fopen(ExamplePath, "rt");
    ASSERT_NE(nullptr, file) << ExamplePath;
    char line[LineBufferSize];
    unsigned lineNumber = 0;
    bool inBlock = false;
    std::set<std::string> keysOfBlock;
    unsigned blocks = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        ++lineNumber;
        size_t length = strlen(line);
        ASSERT_TRUE(length > 0 && line[length - 1] == '\n')
            << "line " << lineNumber << " is too long or lacks its line end";
        const char* cursor = line;
        SkipBlanks(cursor, false);
        TrimLineEnd(line + (cursor - line));
        if (*cursor == '\0' || strncmp(cursor, "//", 2) == 0) {
            continue;
        }
        if (*cursor == '{') {
            inBlock = true;
            keysOfBlock.clear();
            continue;
        }
        if (*cursor == '}') {
            EXPECT_EQ(knownKeys, keysOfBlock) << "block ending at line " << lineNumber;
            inBlock = false;
            ++blocks;
            continue;
        }
        char key[KeyBufferSize];
        ASSERT_TRUE(ReadToken(key, sizeof key, cursor)) << "line " << lineNumber;
        if (inBlock) {
            EXPECT_EQ(1u, knownKeys.count(key)) << key << " at line " << lineNumber;
            EXPECT_TRUE(keysOfBlock.insert(key).second)
                << key << " given twice, at line " << lineNumber;
        }
    }
    fclose(file);
    EXPECT_EQ(ExampleServerCount, blocks);
}

} // namespace
