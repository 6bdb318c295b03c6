#include "monitor/health_rules.h"

#include <gtest/gtest.h>

TEST(NoteQueryResult, FourthSilentCheckInARowIsTooMany) {
    uint32_t silentChecks = 0;
    EXPECT_FALSE(NoteQueryResult(0, silentChecks));
    EXPECT_FALSE(NoteQueryResult(0, silentChecks));
    EXPECT_FALSE(NoteQueryResult(0, silentChecks));
    EXPECT_EQ(3u, silentChecks);
    EXPECT_TRUE(NoteQueryResult(0, silentChecks));
    EXPECT_EQ(4u, silentChecks); // not cleared here: the monitor clears it on termination
    EXPECT_TRUE(NoteQueryResult(0, silentChecks));
}

TEST(NoteQueryResult, ReplyOrLocalFailureClearsTheCount) {
    for (int clearing : {1, -1}) {
        uint32_t silentChecks = 0;
        for (int i = 0; i < 3; ++i) {
            NoteQueryResult(0, silentChecks);
        }
        EXPECT_FALSE(NoteQueryResult(clearing, silentChecks));
        EXPECT_EQ(0u, silentChecks);
        // Three more silent checks are not yet too many.
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(NoteQueryResult(0, silentChecks));
        }
        EXPECT_TRUE(NoteQueryResult(0, silentChecks));
    }
}

TEST(JudgeMemory, ComparesWholeMebibytesAgainstTheLimit) {
    constexpr uint64_t Mib = 1ull << 20;
    struct Case {
        uint32_t limitMib;
        uint64_t committedBytes;
        Verdict expected;
    };
    const Case cases[] = {
        {100, 100 * Mib, Healthy},
        {100, 101 * Mib - 1, Healthy}, // the shift truncates
        {100, 101 * Mib, OverMemory},
        {100, 0, Healthy},
        {0, 1ull << 40, Healthy}, // no limit
        {1, 2 * Mib, OverMemory},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, JudgeMemory(c.limitMib, c.committedBytes))
            << c.limitMib << " MiB vs " << c.committedBytes;
    }
}

TEST(MemoryLimitMib, TextThatIsNoNumberMeansNoLimit) {
    EXPECT_EQ(1536u, MemoryLimitMib("1536"));
    EXPECT_EQ(0u, MemoryLimitMib("0"));
    EXPECT_EQ(0u, MemoryLimitMib("lots"));
    EXPECT_EQ(0u, MemoryLimitMib(""));
    EXPECT_EQ(64u, MemoryLimitMib("64MB"));
}

TEST(SleepToNextSecondMs, WakesShortlyAfterTheSecondChanges) {
    struct Case {
        uint64_t nowMs;
        uint32_t expected;
    };
    const Case cases[] = {
        {5000, 1010},  // just changed: the whole next second
        {5999, 11},    // one millisecond before the change
        {5500, 510},
        {12345678, 332},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, SleepToNextSecondMs(c.nowMs, 20)) << c.nowMs;
    }
    EXPECT_EQ(1u, SleepToNextSecondMs(5999, 0));
}
