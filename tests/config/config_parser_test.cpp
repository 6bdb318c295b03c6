#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "config/config_parser.h"
#include "fakes/event_log_fake.h"

namespace fs = std::filesystem;

using Lines = std::vector<std::string>;

TEST(TrimLineEnd, RemovesOneLineFeedThenOneCarriageReturn) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"abc\n", "abc"},
        {"abc\r\n", "abc"},
        {"abc\r", "abc"},
        {"abc\n\n", "abc\n"},
        {"abc\r\r\n", "abc\r"},
        {"abc\n\r", "abc\n"},
        {"\n", ""},
        {"\r\n", ""},
        {"\r", ""},
        {"", ""},
        {"abc", "abc"},
        {"abc \t\n", "abc \t"},
    };
    for (const Case& c : cases) {
        char text[16];
        snprintf(text, sizeof text, "%s", c.text);
        TrimLineEnd(text);
        EXPECT_STREQ(c.expected, text) << "from \"" << c.text << "\"";
    }
    TrimLineEnd(nullptr);
}

TEST(SkipBlanks, SaysWhetherSomethingFollows) {
    struct Case {
        const char* text;
        bool requireBlank;
        bool expected;
        size_t offset;
    };
    const Case cases[] = {
        {"", false, false, 0},
        {"", true, false, 0},
        {" \t ", false, false, 3},
        {" \t ", true, false, 3},
        {" \t x", false, true, 3},
        {" \t x", true, true, 3},
        {"x", false, true, 0},
        {"x", true, false, 0},
        {"\tx", true, true, 1},
        // Only spaces and tabs are blanks.
        {"\r", false, true, 0},
        {"\v x", true, false, 0},
    };
    for (const Case& c : cases) {
        const char* cursor = c.text;
        EXPECT_EQ(c.expected, SkipBlanks(cursor, c.requireBlank))
            << "\"" << c.text << "\" " << c.requireBlank;
        EXPECT_EQ(c.offset, static_cast<size_t>(cursor - c.text)) << "\"" << c.text << "\"";
    }
}

TEST(ReadToken, ReadsQuotedOrBareTokens) {
    struct Case {
        const char* text;
        uint32_t size;
        bool expected;
        const char* token;
        size_t offset;
    };
    const Case cases[] = {
        {"alpha", 64, true, "alpha", 5},
        {"alpha beta", 64, true, "alpha", 5},
        {"alpha\tbeta", 64, true, "alpha", 5},
        {"C:\\Servers\\alpha", 64, true, "C:\\Servers\\alpha", 16},
        {"{", 64, true, "{", 1},
        {"\"Beta Server\" x", 64, true, "Beta Server", 13},
        {"\"\"", 64, true, "", 2},
        // What follows a quoted token is the caller's question.
        {"\"a\"b", 64, true, "a", 3},
        {"\"// not a comment\"", 64, true, "// not a comment", 18},
        // Cut to size - 1, but the cursor passes the whole token.
        {"abcdef rest", 4, true, "abc", 6},
        {"\"abcdef\"", 4, true, "abc", 8},
        {"x", 1, true, "", 1},
        {"\"open", 64, false, "", 0},
        {"ab\"c\"", 64, false, "", 0},
        {"a\"", 64, false, "", 0},
        {"", 64, false, "", 0},
        {" x", 64, false, "", 0},
        {"\tx", 64, false, "", 0},
    };
    for (const Case& c : cases) {
        char buffer[64];
        memset(buffer, 'x', sizeof buffer);
        const char* cursor = c.text;
        EXPECT_EQ(c.expected, ReadToken(buffer, c.size, cursor)) << "\"" << c.text << "\"";
        EXPECT_STREQ(c.token, buffer) << "\"" << c.text << "\"";
        EXPECT_EQ(c.offset, static_cast<size_t>(cursor - c.text)) << "\"" << c.text << "\"";
    }
}

TEST(ReadToken, NoBufferOrNoRoomReadsNothing) {
    const char* text = "alpha";
    const char* cursor = text;
    char buffer[4] = {'x', 'y', 'z', '\0'};
    EXPECT_FALSE(ReadToken(buffer, 0, cursor));
    EXPECT_STREQ("xyz", buffer);
    EXPECT_FALSE(ReadToken(nullptr, 4, cursor));
    EXPECT_EQ(text, cursor);
}

namespace {

// A complete block of 16 lines: name, "{", the thirteen keys, "}".
std::string Block(const std::string& name, const std::string& port = "27100") {
    return name +
           "\n{\n"
           "    Path          \"C:\\Servers\\" +
           name +
           "\"\n"
           "    GameDir       mymod\n"
           "    Host          10.0.0.5\n"
           "    Port          " +
           port +
           "\n"
           "    MaxPlayers    24\n"
           "    MapName       map01\n"
           "    MiscArgs      \"+exec server.cfg\"\n"
           "    Priority      High\n"
           "    Affinity      3\n"
           "    MaxMemory     1536\n"
           "    MonitorDelay  30\n"
           "    UpdPath       ..\\tools\n"
           "    UpdArgs       100100\n"
           "}\n";
}

const char* const ExampleFile = R"(// Servers supervised on this machine
alpha
{
    Path          "C:\Servers\alpha"
    GameDir       mymod
    Host          10.0.0.5
    Port          27100
    MaxPlayers    24
    MapName       map01
    MiscArgs      "+exec alpha.cfg"
    Priority      High
    Affinity      3
    MaxMemory     1536
    MonitorDelay  30
    UpdPath       ..\tools
    UpdArgs       100100
}

// a quoted name may hold blanks
"Beta Server"
    {
    Path          C:\Servers\beta
    GameDir       mymod
    Host          10.0.0.5
    Port          27101
    MaxPlayers    16
    MapName       "map02"
    MiscArgs      ""
    Priority      belownormal
    Affinity      c
    MaxMemory     0
    MonitorDelay  45
    UpdPath       tools
    UpdArgs       100100
    }
)";

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

// Every case runs in a fresh directory of its own, made current, where
// corvane.cfg is written byte for byte.
class LoadConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousDir = fs::current_path();
        std::random_device random;
        testDir = fs::temp_directory_path() /
                  ("corvane_cfg_" + std::to_string(random()) + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(testDir));
        fs::current_path(testDir);
        ClearLoggedLines();
    }

    void TearDown() override {
        FreeEntries();
        fs::current_path(previousDir);
        std::error_code ignored;
        fs::remove_all(testDir, ignored);
    }

    void FreeEntries() {
        for (ServerEntry*& entry : table) {
            FreeServerEntry(entry);
            entry = nullptr;
        }
    }

    void WriteConfig(const std::string& text) {
        FILE* file = fopen("corvane.cfg", "wb");
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(text.size(), fwrite(text.data(), 1, text.size(), file));
        fclose(file);
    }

    bool Load(const std::string& text, uint32_t slotCount = MaxServers) {
        FreeEntries();
        ClearLoggedLines();
        WriteConfig(text);
        return LoadConfig(table, slotCount);
    }

    // Slots in use from the first; every slot after them must be null.
    size_t EntryCount() const {
        size_t count = 0;
        while (count < TableSize && table[count] != nullptr) {
            ++count;
        }
        for (size_t i = count; i < TableSize; ++i) {
            EXPECT_EQ(nullptr, table[i]) << "slot " << i << " after a gap";
        }
        return count;
    }

    static constexpr size_t TableSize = MaxServers + 2;
    ServerEntry* table[TableSize] = {};
    fs::path previousDir;
    fs::path testDir;
};

} // namespace

TEST_F(LoadConfigTest, ExampleFileGivesItsTwoServers) {
    ASSERT_TRUE(Load(ExampleFile));
    EXPECT_TRUE(LoggedLines().empty());
    ASSERT_EQ(2u, EntryCount());

    const ServerEntry& alpha = *table[0];
    EXPECT_STREQ("alpha", alpha.FriendlyName);
    EXPECT_STREQ("C:\\Servers\\alpha", alpha.Path);
    EXPECT_STREQ("mymod", alpha.GameDir);
    EXPECT_STREQ("10.0.0.5", alpha.Host);
    EXPECT_STREQ("27100", alpha.Port);
    EXPECT_STREQ("24", alpha.MaxPlayers);
    EXPECT_STREQ("map01", alpha.MapName);
    EXPECT_STREQ("+exec alpha.cfg", alpha.MiscArgs);
    EXPECT_STREQ("High", alpha.Priority);
    EXPECT_STREQ("3", alpha.Affinity);
    EXPECT_STREQ("1536", alpha.MaxMemory);
    EXPECT_STREQ("30", alpha.MonitorDelay);
    EXPECT_STREQ("..\\tools", alpha.UpdPath);
    EXPECT_STREQ("100100", alpha.UpdArgs);

    const ServerEntry& beta = *table[1];
    EXPECT_STREQ("Beta Server", beta.FriendlyName);
    EXPECT_STREQ("C:\\Servers\\beta", beta.Path);
    EXPECT_STREQ("mymod", beta.GameDir);
    EXPECT_STREQ("10.0.0.5", beta.Host);
    EXPECT_STREQ("27101", beta.Port);
    EXPECT_STREQ("16", beta.MaxPlayers);
    EXPECT_STREQ("map02", beta.MapName);
    EXPECT_STREQ("", beta.MiscArgs);
    EXPECT_STREQ("belownormal", beta.Priority);
    EXPECT_STREQ("c", beta.Affinity);
    EXPECT_STREQ("0", beta.MaxMemory);
    EXPECT_STREQ("45", beta.MonitorDelay);
    EXPECT_STREQ("tools", beta.UpdPath);
    EXPECT_STREQ("100100", beta.UpdArgs);
    for (const ServerEntry* entry : {&alpha, &beta}) {
        EXPECT_EQ(0u, entry->ThreadId);
        EXPECT_EQ(nullptr, entry->ThreadHandle);
    }
}

TEST_F(LoadConfigTest, CrLfFileParsesAsItsLfTwin) {
    ASSERT_TRUE(Load(ExampleFile));
    ASSERT_EQ(2u, EntryCount());
    ServerEntry lfEntries[2] = {*table[0], *table[1]};

    ASSERT_TRUE(Load(WithCrLf(ExampleFile)));
    EXPECT_TRUE(LoggedLines().empty());
    ASSERT_EQ(2u, EntryCount());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(0, memcmp(&lfEntries[i], table[i], sizeof(ServerEntry))) << i;
    }

    // Errors carry the same line numbers too.
    const std::string broken = Block("alpha") + "// note\n\nbeta\n{\n  Path x y\n}\n";
    EXPECT_FALSE(Load(broken));
    const Lines lfLines = LoggedLines();
    EXPECT_EQ(Lines{"Failed to parse value at line 21"}, lfLines);
    EXPECT_FALSE(Load(WithCrLf(broken)));
    EXPECT_EQ(lfLines, LoggedLines());
    EXPECT_EQ(1u, EntryCount());
}

TEST_F(LoadConfigTest, NoBlocksIsAnEmptyFleet) {
    const char* files[] = {"", "\n", "// only a comment\n", "  \t\n\n//x\n   // indented\r\n\t"};
    for (const char* file : files) {
        EXPECT_TRUE(Load(file)) << "\"" << file << "\"";
        EXPECT_TRUE(LoggedLines().empty()) << "\"" << file << "\"";
        EXPECT_EQ(0u, EntryCount()) << "\"" << file << "\"";
    }
}

TEST_F(LoadConfigTest, MissingFileIsReportedByName) {
    EXPECT_FALSE(LoadConfig(table, MaxServers));
    EXPECT_EQ(Lines{"Failed to read config file \"corvane.cfg\""}, LoggedLines());
    EXPECT_EQ(0u, EntryCount());
}

TEST_F(LoadConfigTest, EachErrorIsLoggedOnceWithItsLine) {
    struct Case {
        std::string text;
        Lines expected;
        size_t entries;
    };
    const std::string twoBlocks = Block("alpha") + Block("Alpha");
    const Case cases[] = {
        // Where a name is expected.
        {"alpha {\n{\n", {"Failed to parse server name at line 1"}, 0},
        {"// c\n\nalpha beta\n", {"Failed to parse server name at line 3"}, 0},
        {"\"\"\n{\n", {"Failed to parse server name at line 1"}, 0},
        {"\"alpha\n", {"Failed to parse server name at line 1"}, 0},
        {"al\"pha\"\n", {"Failed to parse server name at line 1"}, 0},
        {"\"alpha\"x\n", {"Failed to parse server name at line 1"}, 0},
        {Block("alpha") + "beta // second\n", {"Failed to parse server name at line 17"}, 1},
        {twoBlocks + "\nalpha\n{\n", {"Server name duplicate at line 34"}, 2},
        {twoBlocks + "\"Alpha\"\n", {"Server name duplicate at line 33"}, 2},
        // Opening line.
        {"alpha\nPath x\n", {"Expected '{' at line 2"}, 0},
        {"alpha\n// c\n\n  x {\n", {"Expected '{' at line 4"}, 0},
        {"alpha\n{ }\n", {"Expected standalone '{' at line 2"}, 0},
        {"alpha\n{x\n", {"Expected standalone '{' at line 2"}, 0},
        {"alpha\n{ // open\n", {"Expected standalone '{' at line 2"}, 0},
        // A lone brace where a name belongs is a name; the error comes later.
        {"{\n}\n", {"Expected '{' at line 2"}, 0},
        // Closing line; its check comes before the keys are looked at.
        {"alpha\n{\n} }\n", {"Expected standalone '}' at line 3"}, 0},
        {"alpha\n{\n}x\n", {"Expected standalone '}' at line 3"}, 0},
        {"alpha\n{\n  Path x\n", {"Config file terminated unexpectedly at line 3"}, 0},
        // Key lines.
        {"alpha\n{\nPath\"C:\\x\"\n", {"Failed to parse key at line 3"}, 0},
        {"alpha\n{\n\"Path\"C:\\x\n", {"Failed to parse key at line 3"}, 0},
        {"alpha\n{\n\"Path\n", {"Failed to parse key at line 3"}, 0},
        {"alpha\n{\nPath\n", {"Failed to parse key at line 3"}, 0},
        {"alpha\n{\nPath \t \n", {"Failed to parse key at line 3"}, 0},
        {"alpha\n{\nPath C:\\My Servers\\a\n", {"Failed to parse value at line 3"}, 0},
        {"alpha\n{\nPath x // comment\n", {"Failed to parse value at line 3"}, 0},
        {"alpha\n{\nPath \"C:\\x\n", {"Failed to parse value at line 3"}, 0},
        {"alpha\n{\nPath ab\"c\"\n", {"Failed to parse value at line 3"}, 0},
        {"alpha\n{\nPath \"a\"\"b\"\n", {"Failed to parse value at line 3"}, 0},
        // A block without Port: the entry names the key, the parser the line.
        {"\n" + Block("ok") + "alpha\n{\n  Path x\n  GameDir g\n  Host h\n}\n",
         {"Missing key \"Port\" for server \"alpha\"", "Failed to read out server keys at line 23"},
         1},
        // The file ends inside a server: the last line read is named.
        {"alpha\n", {"Config file terminated unexpectedly at line 1"}, 0},
        {"alpha", {"Config file terminated unexpectedly at line 1"}, 0},
        {"alpha\n{", {"Config file terminated unexpectedly at line 2"}, 0},
        {"alpha\n{\n", {"Config file terminated unexpectedly at line 2"}, 0},
        {"alpha\n// c\n\n", {"Config file terminated unexpectedly at line 3"}, 0},
        {Block("alpha") + "beta\n{\n  Path x\n",
         {"Config file terminated unexpectedly at line 19"},
         1},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Load(c.text)) << c.text;
        EXPECT_EQ(c.expected, LoggedLines()) << c.text;
        EXPECT_EQ(c.entries, EntryCount()) << c.text;
    }
}

TEST_F(LoadConfigTest, EntriesBeforeAnErrorStayInOrder) {
    EXPECT_FALSE(Load(Block("alpha") + Block("beta") + "gamma\n{\nPath\n"));
    EXPECT_EQ(Lines{"Failed to parse key at line 35"}, LoggedLines());
    ASSERT_EQ(2u, EntryCount());
    EXPECT_STREQ("alpha", table[0]->FriendlyName);
    EXPECT_STREQ("beta", table[1]->FriendlyName);
}

TEST_F(LoadConfigTest, SeventeenthBlockOverflowsAtItsClosingLine) {
    std::string text;
    for (int i = 1; i <= 16; ++i) {
        text += Block("server" + std::to_string(i));
    }
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(16u, EntryCount());

    // The table is full before the seventeenth block's keys are looked at.
    EXPECT_FALSE(Load(text + "server17\n{\n}\n"));
    EXPECT_EQ(Lines{"MaxServers overflow at line 259"}, LoggedLines());
    ASSERT_EQ(16u, EntryCount());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ("server" + std::to_string(i + 1), table[i]->FriendlyName);
    }

    EXPECT_FALSE(Load(text + Block("server17")));
    EXPECT_EQ(Lines{"MaxServers overflow at line 272"}, LoggedLines());
    EXPECT_EQ(16u, EntryCount());
}

TEST_F(LoadConfigTest, SlotCountBoundsTheTable) {
    const std::string text = Block("a") + Block("b") + Block("c");
    EXPECT_TRUE(Load(text, 3));
    EXPECT_EQ(3u, EntryCount());
    EXPECT_FALSE(Load(text, 2));
    EXPECT_EQ(Lines{"MaxServers overflow at line 48"}, LoggedLines());
    EXPECT_EQ(2u, EntryCount());
    EXPECT_FALSE(Load(text, 0));
    EXPECT_EQ(Lines{"MaxServers overflow at line 16"}, LoggedLines());
    EXPECT_EQ(0u, EntryCount());
}

TEST_F(LoadConfigTest, BlanksAroundTokensAreAllowed) {
    const std::string text = " \talpha\t \n"
                             "\t  {  \t\n"
                             "\t//\tcomment inside\n"
                             "  Path \t \"C:\\My Servers\\alpha\" \t\n"
                             "GameDir\tmymod\n"
                             "  Host 10.0.0.5\n  Port 27100\n  MaxPlayers 24\n  MapName map01\n"
                             "  MiscArgs \"\"\n  Priority High\n  Affinity 3\n  MaxMemory 0\n"
                             "  MonitorDelay 30\n  UpdPath tools\n  UpdArgs 100100\n"
                             "\t} \t\n"
                             "\n";
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(1u, EntryCount());
    EXPECT_STREQ("alpha", table[0]->FriendlyName);
    EXPECT_STREQ("C:\\My Servers\\alpha", table[0]->Path);
    EXPECT_STREQ("mymod", table[0]->GameDir);
}

TEST_F(LoadConfigTest, LoneBracesAsNamesAreServerNames) {
    ASSERT_TRUE(Load(Block("{") + Block("}")));
    ASSERT_EQ(2u, EntryCount());
    EXPECT_STREQ("{", table[0]->FriendlyName);
    EXPECT_STREQ("}", table[1]->FriendlyName);
}

TEST_F(LoadConfigTest, KeyLinesReplaceIgnoreOrDrop) {
    // A later line wins, unknown keys are ignored, and the empty quoted key
    // is dropped; a FriendlyName line renames the entry.
    std::string text = Block("alpha", "1000");
    text.insert(text.size() - 2, "  Port 2000\n  Unused x\n  \"\" \"no effect\"\n"
                                 "  FriendlyName \"Alpha Renamed\"\n");
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(1u, EntryCount());
    EXPECT_STREQ("2000", table[0]->Port);
    EXPECT_STREQ("Alpha Renamed", table[0]->FriendlyName);
    EXPECT_TRUE(LoggedLines().empty());
}

TEST_F(LoadConfigTest, DuplicateTestUsesNameLinesOnly) {
    // alpha renames itself beta; a block named beta is still new, and the
    // names met so far are kept across blocks.
    std::string text = Block("alpha");
    text.insert(text.size() - 2, "  FriendlyName beta\n");
    ASSERT_TRUE(Load(text + Block("beta")));
    ASSERT_EQ(2u, EntryCount());
    EXPECT_STREQ("beta", table[0]->FriendlyName);
    EXPECT_STREQ("beta", table[1]->FriendlyName);

    EXPECT_FALSE(Load(text + Block("beta") + Block("alpha")));
    EXPECT_EQ(Lines{"Server name duplicate at line 34"}, LoggedLines());
    EXPECT_EQ(2u, EntryCount());
}

TEST_F(LoadConfigTest, NamesAreCutTo63BeforeTheDuplicateTest) {
    const std::string first63(63, 'n');
    ASSERT_TRUE(Load(Block(first63 + "AAAA")));
    ASSERT_EQ(1u, EntryCount());
    EXPECT_EQ(first63, table[0]->FriendlyName);

    EXPECT_FALSE(Load(Block(first63 + "AAAA") + Block(first63 + "BBBB")));
    EXPECT_EQ(Lines{"Server name duplicate at line 17"}, LoggedLines());
    // Differing within the first 63 characters, they are two servers.
    EXPECT_TRUE(Load(Block(std::string(62, 'n') + "A") + Block(std::string(62, 'n') + "B")));
    EXPECT_EQ(2u, EntryCount());
}

TEST_F(LoadConfigTest, LongLinesAreReadIn511CharacterPieces) {
    // 600 characters: a 511-character comment, then "beta" and blanks, which
    // is a server name line of its own, numbered 2.
    const std::string longLine = "//" + std::string(509, '-') + "beta" + std::string(85, ' ');
    ASSERT_EQ(600u, longLine.size());
    std::string text = longLine + "\n" + Block("alpha").substr(6);
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(1u, EntryCount());
    EXPECT_STREQ("beta", table[0]->FriendlyName);

    // Every later line is one higher than an editor shows.
    EXPECT_FALSE(Load(text + "gamma x\n"));
    EXPECT_EQ(Lines{"Failed to parse server name at line 18"}, LoggedLines());
}

TEST_F(LoadConfigTest, SplitRightBeforeTheLineFeedCountsAnEmptyLine) {
    struct Case {
        size_t length;
        const char* expected;
    };
    // 510 characters and the line feed fit one piece; 511 leave the line
    // feed to a second, empty piece.
    const Case cases[] = {{510, "Expected '{' at line 2"}, {511, "Expected '{' at line 3"}};
    for (const Case& c : cases) {
        EXPECT_FALSE(Load("alpha" + std::string(c.length - 5, ' ') + "\nx\n")) << c.length;
        EXPECT_EQ(Lines{c.expected}, LoggedLines()) << c.length;
    }
}
