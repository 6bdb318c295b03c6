#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "config/server_entry.h"
#include "fakes/event_log_fake.h"

namespace {

struct KeyValue {
    const char* key;
    const char* value;
};

// Every key a block must give, in field order, with plain values.
const KeyValue CompleteBlock[] = {
    {"FriendlyName", "alpha"}, {"Path", "C:\\Servers\\alpha"},
    {"GameDir", "mymod"},      {"Host", "10.0.0.5"},
    {"Port", "27100"},         {"MaxPlayers", "24"},
    {"MapName", "map01"},      {"MiscArgs", "+exec alpha.cfg"},
    {"Priority", "High"},      {"Affinity", "3"},
    {"MaxMemory", "1536"},     {"MonitorDelay", "30"},
    {"UpdPath", "..\\tools"},  {"UpdArgs", "100100"},
};

void FillBlock(KeyTable& keys, const char* skipA = nullptr, const char* skipB = nullptr) {
    for (const KeyValue& kv : CompleteBlock) {
        if ((skipA == nullptr || std::string(kv.key) != skipA) &&
            (skipB == nullptr || std::string(kv.key) != skipB)) {
            ASSERT_TRUE(keys.Set(kv.key, kv.value));
        }
    }
}

class ServerEntryTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearLoggedLines(); }
    void TearDown() override { FreeServerEntry(entry); }
    ServerEntry* entry = nullptr;
};

} // namespace

TEST_F(ServerEntryTest, CompleteBlockFillsEveryFieldAndLeavesThreadZero) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys);
    ASSERT_TRUE(keys.Set("Unused", "ignored"));
    entry = ReadServerKeys(keys);
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("alpha", entry->FriendlyName);
    EXPECT_STREQ("C:\\Servers\\alpha", entry->Path);
    EXPECT_STREQ("mymod", entry->GameDir);
    EXPECT_STREQ("10.0.0.5", entry->Host);
    EXPECT_STREQ("27100", entry->Port);
    EXPECT_STREQ("24", entry->MaxPlayers);
    EXPECT_STREQ("map01", entry->MapName);
    EXPECT_STREQ("+exec alpha.cfg", entry->MiscArgs);
    EXPECT_STREQ("High", entry->Priority);
    EXPECT_STREQ("3", entry->Affinity);
    EXPECT_STREQ("1536", entry->MaxMemory);
    EXPECT_STREQ("30", entry->MonitorDelay);
    EXPECT_STREQ("..\\tools", entry->UpdPath);
    EXPECT_STREQ("100100", entry->UpdArgs);
    EXPECT_EQ(0u, entry->ThreadId);
    EXPECT_EQ(nullptr, entry->ThreadHandle);
    EXPECT_TRUE(LoggedLines().empty());
}

TEST_F(ServerEntryTest, LongValuesAreCutToWidthLessOne) {
    const std::vector<std::pair<const char*, size_t>> widths = {
        {"FriendlyName", 64}, {"Path", 260},     {"GameDir", 32},  {"Host", 64},
        {"Port", 8},          {"MaxPlayers", 8}, {"MapName", 64},  {"MiscArgs", 128},
        {"Priority", 16},     {"Affinity", 8},   {"MaxMemory", 8}, {"MonitorDelay", 8},
        {"UpdPath", 260},     {"UpdArgs", 128},
    };
    KeyTable keys(KeyTableBuckets);
    // Each value one character longer than its field holds, and starting with
    // its own letter so a value landing in the wrong field shows.
    for (size_t i = 0; i < widths.size(); ++i) {
        std::string value(widths[i].second, static_cast<char>('a' + i));
        ASSERT_TRUE(keys.Set(widths[i].first, value.c_str()));
    }
    entry = ReadServerKeys(keys);
    ASSERT_NE(nullptr, entry);
    const char* fields[] = {
        entry->FriendlyName, entry->Path,         entry->GameDir,  entry->Host,     entry->Port,
        entry->MaxPlayers,   entry->MapName,      entry->MiscArgs, entry->Priority, entry->Affinity,
        entry->MaxMemory,    entry->MonitorDelay, entry->UpdPath,  entry->UpdArgs};
    for (size_t i = 0; i < widths.size(); ++i) {
        EXPECT_EQ(std::string(widths[i].second - 1, static_cast<char>('a' + i)),
                  std::string(fields[i]))
            << widths[i].first;
    }
}

TEST_F(ServerEntryTest, ValueFittingItsFieldIsKeptWhole) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys);
    std::string path259(259, 'p');
    ASSERT_TRUE(keys.Set("Path", path259.c_str()));
    ASSERT_TRUE(keys.Set("Affinity", "fffffff"));
    entry = ReadServerKeys(keys);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(path259, entry->Path);
    EXPECT_STREQ("fffffff", entry->Affinity);
}

TEST_F(ServerEntryTest, PathOf300AndEightDigitAffinityAreCut) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys);
    std::string path300;
    for (int i = 0; i < 300; ++i) {
        path300 += static_cast<char>('0' + i % 10);
    }
    ASSERT_TRUE(keys.Set("Path", path300.c_str()));
    ASSERT_TRUE(keys.Set("Affinity", "ffffffff"));
    entry = ReadServerKeys(keys);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(path300.substr(0, 259), entry->Path);
    EXPECT_STREQ("fffffff", entry->Affinity);
}

TEST_F(ServerEntryTest, EmptyValueCountsAsPresent) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys);
    ASSERT_TRUE(keys.Set("MiscArgs", ""));
    entry = ReadServerKeys(keys);
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("", entry->MiscArgs);
    EXPECT_TRUE(LoggedLines().empty());
}

TEST_F(ServerEntryTest, EachMissingKeyIsNamedWithTheServer) {
    for (const KeyValue& missing : CompleteBlock) {
        ClearLoggedLines();
        KeyTable keys(KeyTableBuckets);
        FillBlock(keys, missing.key);
        EXPECT_EQ(nullptr, ReadServerKeys(keys)) << missing.key;
        // Without FriendlyName the server's name reads as empty.
        std::string name = std::string(missing.key) == "FriendlyName" ? "" : "alpha";
        EXPECT_EQ(std::vector<std::string>{"Missing key \"" + std::string(missing.key) +
                                           "\" for server \"" + name + "\""},
                  LoggedLines());
    }
}

TEST_F(ServerEntryTest, OnlyTheFirstMissingKeyIsReported) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys, "Port", "Path");
    EXPECT_EQ(nullptr, ReadServerKeys(keys));
    EXPECT_EQ(std::vector<std::string>{"Missing key \"Path\" for server \"alpha\""}, LoggedLines());
}

TEST_F(ServerEntryTest, KeysDifferingInCaseDoNotCount) {
    KeyTable keys(KeyTableBuckets);
    FillBlock(keys, "MapName");
    ASSERT_TRUE(keys.Set("mapname", "map01"));
    EXPECT_EQ(nullptr, ReadServerKeys(keys));
    EXPECT_EQ(std::vector<std::string>{"Missing key \"MapName\" for server \"alpha\""},
              LoggedLines());
}
