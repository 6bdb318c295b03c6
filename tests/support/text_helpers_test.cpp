#include "support/text_helpers.h"

#include <gtest/gtest.h>
#include <string.h>

TEST(CopyBounded, CutsToSizeAndReturnsFullLength) {
    struct Case {
        uint32_t size;
        const char* expected;
    };
    const Case cases[] = {{4, "abc"}, {7, "abcdef"}, {6, "abcde"}, {1, ""}, {100, "abcdef"}};
    for (const Case& c : cases) {
        char destination[100];
        memset(destination, 'x', sizeof destination);
        EXPECT_EQ(6u, CopyBounded(destination, c.size, "abcdef")) << c.size;
        EXPECT_STREQ(c.expected, destination) << c.size;
        // Nothing is written past the terminator's place.
        EXPECT_EQ('x', destination[strlen(c.expected) + 1]) << c.size;
    }
}

TEST(CopyBounded, SizeZeroOrNullTouchesNothing) {
    char destination[4] = {'x', 'y', 'z', '\0'};
    EXPECT_EQ(6u, CopyBounded(destination, 0, "abcdef"));
    EXPECT_STREQ("xyz", destination);
    EXPECT_EQ(0u, CopyBounded(destination, sizeof destination, nullptr));
    EXPECT_STREQ("xyz", destination);
    EXPECT_EQ(0u, CopyBounded(nullptr, 4, "abc"));
}

TEST(StartsWith, ComparesExactlyToTheEndOfThePrefix) {
    struct Case {
        const char* text;
        const char* prefix;
        bool expected;
    };
    const Case cases[] = {
        {"// comment", "//", true}, {"anything", "", true}, {"", "", true},
        {"/", "//", false},         {"/x", "//", false},    {"Path", "path", false},
        {nullptr, "", false},       {"text", nullptr, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, StartsWith(c.text, c.prefix))
            << (c.text ? c.text : "(null)") << " / " << (c.prefix ? c.prefix : "(null)");
    }
}

TEST(StringsEqual, CaseBlindOnlyWhenAsked) {
    EXPECT_TRUE(StringsEqual("belownormal", "BelowNormal", false));
    EXPECT_FALSE(StringsEqual("belownormal", "BelowNormal", true));
    EXPECT_TRUE(StringsEqual("High", "High", true));
    EXPECT_FALSE(StringsEqual("High", "Highest", false));
    EXPECT_FALSE(StringsEqual("Highest", "High", false));
    EXPECT_FALSE(StringsEqual("", "Low", false));
    EXPECT_TRUE(StringsEqual("", "", false));
    // Only ASCII letters fold: '@' and '`' sit next to the letter ranges.
    EXPECT_FALSE(StringsEqual("@", "`", false));
    EXPECT_FALSE(StringsEqual("\xC9", "\xE9", false));
    for (bool caseSensitive : {false, true}) {
        EXPECT_FALSE(StringsEqual(nullptr, "Low", caseSensitive));
        EXPECT_FALSE(StringsEqual("Low", nullptr, caseSensitive));
        EXPECT_FALSE(StringsEqual(nullptr, nullptr, caseSensitive));
    }
}

TEST(GetDirPart, KeepsEverythingUpToTheLastSeparator) {
    struct Case {
        const char* path;
        bool found;
        const char* expected;
    };
    const Case cases[] = {
        {"C:\\Servers\\alpha\\corvane.exe", true, "C:\\Servers\\alpha\\"},
        {"C:/mixed\\sep/file", true, "C:/mixed\\sep/"},
        {"C:\\mixed/sep\\file", true, "C:\\mixed/sep\\"},
        {"\\file", true, "\\"},
        {"corvane.exe", false, ""},
        {"C:\\Servers\\", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        char destination[260] = "stale";
        EXPECT_EQ(c.found, GetDirPart(destination, sizeof destination, c.path)) << c.path;
        EXPECT_STREQ(c.expected, destination) << c.path;
    }
}

TEST(GetDirPart, RefusesAPartThatDoesNotFit) {
    char destination[8] = "stale";
    // "abcdef\" needs 8 bytes with its terminator: fits exactly.
    EXPECT_TRUE(GetDirPart(destination, sizeof destination, "abcdef\\x"));
    EXPECT_STREQ("abcdef\\", destination);
    EXPECT_FALSE(GetDirPart(destination, sizeof destination, "abcdefg\\x"));
    EXPECT_STREQ("", destination);
}
