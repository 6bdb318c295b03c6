// The log's time stamp and the directory part of a path at its bound.
#include <gtest/gtest.h>

#include "support/log_prefix.h"
#include "support/text_helpers.h"

TEST(SupportRules, StampAndDirectoryPart) {
    struct tm time = {};
    time.tm_year = 2026 - 1900;
    time.tm_mday = 5;
    time.tm_hour = 7;
    time.tm_sec = 9;
    char text[LogPrefixSize];
    FormatLogPrefix(text, sizeof text, time);
    EXPECT_STREQ("L 2026/01/05 - 07:00:09: ", text);
    EXPECT_TRUE(GetDirPart(text, 8, "abcdef\\x")); // the part and its terminator just fit
    EXPECT_STREQ("abcdef\\", text);
    for (const char* refused : {"abcdefg\\x", "corvane.exe", "C:\\dir\\"}) {
        EXPECT_FALSE(GetDirPart(text, 8, refused)) << refused;
        EXPECT_STREQ("", text) << refused;
    }
}
