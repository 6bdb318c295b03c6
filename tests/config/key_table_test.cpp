#include <gtest/gtest.h>
#include <string.h>

#include "config/key_table.h"

TEST(HashKey, SdbmWithSignedBytes) {
    struct Case {
        const char* key;
        uint32_t hash;
        uint32_t bucket;
    };
    const Case cases[] = {
        {"a", 97u, 33},
        {"ab", 6363201u, 1},
        {"Path", 3126409349u, 5},
        {"FriendlyName", 3630781366u, 54},
        {"\xE9", 4294967273u, 41},
        {"", 0u, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.hash, HashKey(c.key)) << c.key;
        EXPECT_EQ(c.bucket, HashKey(c.key) % KeyTableBuckets) << c.key;
    }
}

TEST(KeyTable, EmptyTableMissesAndClearsTheBuffer) {
    KeyTable table(KeyTableBuckets);
    EXPECT_EQ(nullptr, table.Get("Port"));
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(nullptr, table.Get("Port", buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
}

TEST(KeyTable, SettingAgainReplacesTheValue) {
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("Port", "1000"));
    ASSERT_TRUE(table.Set("Port", "2000"));
    EXPECT_STREQ("2000", table.Get("Port"));
    // One node for the key: the chain holds nothing after it.
    KeyNode* head = table.Buckets[HashKey("Port") % KeyTableBuckets];
    ASSERT_NE(nullptr, head);
    EXPECT_STREQ("Port", head->Key);
    EXPECT_EQ(nullptr, head->Next);
}

TEST(KeyTable, EmptyValueIsPresentNotAbsent) {
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("MiscArgs", ""));
    const char* value = table.Get("MiscArgs");
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ("", value);
}

TEST(KeyTable, SetRefusesNullOrEmptyKeyAndNullValue) {
    KeyTable table(KeyTableBuckets);
    EXPECT_FALSE(table.Set("", "value"));
    EXPECT_FALSE(table.Set(nullptr, "value"));
    EXPECT_FALSE(table.Set("Port", nullptr));
    EXPECT_EQ(nullptr, table.Get("Port"));
    EXPECT_EQ(nullptr, table.Get(""));
    EXPECT_EQ(nullptr, table.Get(nullptr));
    for (uint32_t i = 0; i < table.BucketCount; ++i) {
        EXPECT_EQ(nullptr, table.Buckets[i]) << i;
    }
}

TEST(KeyTable, GetCopiesLikeStrncpyAndAlwaysTerminates) {
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("Port", "12345"));
    struct Case {
        uint32_t size;
        const char* expected;
    };
    const Case cases[] = {{1, ""}, {4, "123"}, {5, "1234"}, {6, "12345"}, {9, "12345"}};
    for (const Case& c : cases) {
        char buffer[12];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_STREQ("12345", table.Get("Port", buffer, c.size)) << c.size;
        EXPECT_STREQ(c.expected, buffer) << c.size;
        // Zero bytes up to the last byte of the buffer, nothing beyond it.
        for (uint32_t i = static_cast<uint32_t>(strlen(c.expected)); i < c.size; ++i) {
            EXPECT_EQ('\0', buffer[i]) << c.size << " at " << i;
        }
        EXPECT_EQ('x', buffer[c.size]) << c.size;
    }
}

TEST(KeyTable, GetWithoutRoomCopiesNothing) {
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("Port", "12345"));
    char buffer[4] = {'x', 'y', 'z', '\0'};
    EXPECT_STREQ("12345", table.Get("Port", buffer, 0));
    EXPECT_EQ(nullptr, table.Get("Host", buffer, 0));
    EXPECT_STREQ("xyz", buffer);
    EXPECT_STREQ("12345", table.Get("Port", nullptr, 4));
}

TEST(KeyTable, KeysDifferingInCaseAreDistinct) {
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("Path", "upper"));
    ASSERT_TRUE(table.Set("path", "lower"));
    EXPECT_STREQ("upper", table.Get("Path"));
    EXPECT_STREQ("lower", table.Get("path"));
    EXPECT_EQ(nullptr, table.Get("PATH"));
}

TEST(KeyTable, ClearEmptiesTheTableAndKeepsItUsable) {
    KeyTable table(KeyTableBuckets);
    const char* keys[] = {"Path", "a", "!", "FriendlyName", "\xE9"};
    for (const char* key : keys) {
        ASSERT_TRUE(table.Set(key, "value"));
    }
    table.Clear();
    for (const char* key : keys) {
        EXPECT_EQ(nullptr, table.Get(key)) << key;
    }
    for (uint32_t i = 0; i < table.BucketCount; ++i) {
        EXPECT_EQ(nullptr, table.Buckets[i]) << i;
    }
    ASSERT_TRUE(table.Set("Path", "again"));
    EXPECT_STREQ("again", table.Get("Path"));
}

TEST(KeyTable, SharedBucketKeepsChainOrder) {
    // "a" (97), "!" (33) and the byte 0xE1 (-31) all land in bucket 33 of 64.
    KeyTable table(KeyTableBuckets);
    ASSERT_TRUE(table.Set("a", "first"));
    ASSERT_TRUE(table.Set("!", "second"));
    ASSERT_TRUE(table.Set("\xE1", "third"));
    ASSERT_TRUE(table.Set("a", "replaced"));
    EXPECT_STREQ("replaced", table.Get("a"));
    EXPECT_STREQ("second", table.Get("!"));
    EXPECT_STREQ("third", table.Get("\xE1"));

    const char* expectedOrder[] = {"a", "!", "\xE1"};
    KeyNode* node = table.Buckets[33];
    for (const char* key : expectedOrder) {
        ASSERT_NE(nullptr, node);
        EXPECT_STREQ(key, node->Key);
        node = node->Next;
    }
    EXPECT_EQ(nullptr, node);

    // Replacing a middle node keeps the chain whole on both sides.
    ASSERT_TRUE(table.Set("!", "middle"));
    EXPECT_STREQ("a", table.Buckets[33]->Key);
    EXPECT_STREQ("!", table.Buckets[33]->Next->Key);
    EXPECT_STREQ("middle", table.Buckets[33]->Next->Value);
    EXPECT_STREQ("\xE1", table.Buckets[33]->Next->Next->Key);
}

TEST(KeyTable, SingleBucketTableStillFindsEveryKey) {
    KeyTable table(1);
    ASSERT_NE(nullptr, table.Buckets);
    const char* keys[] = {"Path", "GameDir", "Host", "Port"};
    for (const char* key : keys) {
        ASSERT_TRUE(table.Set(key, key));
    }
    for (const char* key : keys) {
        EXPECT_STREQ(key, table.Get(key));
    }
}
