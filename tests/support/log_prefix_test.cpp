#include "support/log_prefix.h"

#include <gtest/gtest.h>

TEST(FormatLogPrefix, PadsEveryFieldAndCountsMonthsFromOne) {
    struct tm time = {};
    time.tm_year = 2013 - 1900;
    time.tm_mon = 4; // May
    time.tm_mday = 4;
    time.tm_hour = 3;
    time.tm_min = 2;
    time.tm_sec = 1;
    char prefix[LogPrefixSize];
    FormatLogPrefix(prefix, sizeof prefix, time);
    EXPECT_STREQ("L 2013/05/04 - 03:02:01: ", prefix);

    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 31;
    time.tm_hour = 23;
    time.tm_min = 59;
    time.tm_sec = 59;
    FormatLogPrefix(prefix, sizeof prefix, time);
    EXPECT_STREQ("L 2026/12/31 - 23:59:59: ", prefix);
}
