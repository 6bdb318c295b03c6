#include "monitor/launch_args.h"

#include <gtest/gtest.h>
#include <string>

#include "config/server_entry.h"
#include "support/text_helpers.h"

namespace {
ServerEntry ExampleEntry() {
    ServerEntry entry = {};
    CopyBounded(entry.Path, sizeof entry.Path, "D:\\srv\\css");
    CopyBounded(entry.GameDir, sizeof entry.GameDir, "cstrike");
    CopyBounded(entry.Host, sizeof entry.Host, "10.0.0.5");
    CopyBounded(entry.Port, sizeof entry.Port, "27016");
    CopyBounded(entry.MaxPlayers, sizeof entry.MaxPlayers, "24");
    CopyBounded(entry.MapName, sizeof entry.MapName, "de_dust2");
    CopyBounded(entry.MiscArgs, sizeof entry.MiscArgs, "-tickrate 66");
    return entry;
}
} // namespace

TEST(BuildServerCommandLine, FillsTheFieldsInOrder) {
    ServerEntry entry = ExampleEntry();
    char path[ApplicationPathSize];
    char line[ServerCommandLineSize];
    ASSERT_TRUE(BuildApplicationPath(path, sizeof path, entry));
    EXPECT_STREQ("D:\\srv\\css\\srcds.exe", path);
    ASSERT_TRUE(BuildServerCommandLine(line, sizeof line, entry));
    EXPECT_STREQ("arg0 -console -game cstrike -ip 10.0.0.5 -port 27016 -maxplayers 24 +map "
                 "de_dust2 -tickrate 66",
                 line);

    entry.MiscArgs[0] = '\0';
    ASSERT_TRUE(BuildServerCommandLine(line, sizeof line, entry));
    EXPECT_STREQ("arg0 -console -game cstrike -ip 10.0.0.5 -port 27016 -maxplayers 24 +map "
                 "de_dust2 ",
                 line);
}

TEST(BuildServerCommandLine, LongestFieldsStillFitAndOverlongPathIsRefused) {
    ServerEntry entry = {};
    // Every field filled to its width - 1.
    CopyBounded(entry.GameDir, sizeof entry.GameDir, std::string(GameDirSize - 1, 'g').c_str());
    CopyBounded(entry.Host, sizeof entry.Host, std::string(HostSize - 1, 'h').c_str());
    CopyBounded(entry.Port, sizeof entry.Port, std::string(PortSize - 1, '1').c_str());
    CopyBounded(entry.MaxPlayers, sizeof entry.MaxPlayers, std::string(7, '2').c_str());
    CopyBounded(entry.MapName, sizeof entry.MapName, std::string(MapNameSize - 1, 'm').c_str());
    CopyBounded(entry.MiscArgs, sizeof entry.MiscArgs, std::string(MiscArgsSize - 1, 'x').c_str());
    char line[ServerCommandLineSize];
    ASSERT_TRUE(BuildServerCommandLine(line, sizeof line, entry));
    EXPECT_EQ(52u + 31 + 63 + 7 + 7 + 63 + 127, strlen(line));
    EXPECT_EQ(std::string(127, 'x'), std::string(line).substr(strlen(line) - 127));

    char path[ApplicationPathSize];
    // 249 characters and "\srcds.exe" make 259: fits; one more does not.
    CopyBounded(entry.Path, sizeof entry.Path, std::string(249, 'p').c_str());
    EXPECT_TRUE(BuildApplicationPath(path, sizeof path, entry));
    EXPECT_EQ(259u, strlen(path));
    CopyBounded(entry.Path, sizeof entry.Path, std::string(250, 'p').c_str());
    EXPECT_FALSE(BuildApplicationPath(path, sizeof path, entry));
}

TEST(ChoosePriorityClass, MatchesNamesWithoutRegardToCase) {
    struct Case {
        const char* priority;
        uint32_t expected;
    };
    const Case cases[] = {
        {"Low", 0x40},          {"low", 0x40},         {"LOW", 0x40},
        {"BelowNormal", 0x4000}, {"belownormal", 0x4000}, {"AboveNormal", 0x8000},
        {"ABOVENORMAL", 0x8000}, {"High", 0x80},       {"hIgH", 0x80},
        {"Realtime", 0x100},     {"Normal", 0x20},     {"Idle", 0x20},
        {"", 0x20},              {"Lowest", 0x20},     {"Below Normal", 0x20},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ChoosePriorityClass(c.priority)) << c.priority;
    }
}

TEST(ChooseAffinityMask, ReadsHexAndKeepsOnlyTheSystemsProcessors) {
    struct Case {
        const char* affinity;
        uint64_t systemMask;
        uint64_t expected;
    };
    const Case cases[] = {
        {"3", 0xF, 0x3},    {"0x3", 0xF, 0x3},  {"F0", 0xF, 0x0},   {"c", 0xF, 0xC},
        {"0", 0xF, 0x0},    {"zz", 0xF, 0x0},   {"", 0xF, 0x0},     {"fffffff", 0x3, 0x3},
        {"ff", 0xFFFF, 0xFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ChooseAffinityMask(c.affinity, c.systemMask)) << c.affinity;
    }
}
