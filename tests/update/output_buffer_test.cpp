#include "update/output_buffer.h"

#include <gtest/gtest.h>
#include <string>

TEST(OutputBuffer, StartsEmptyWithACapacityOfAtLeastTwo) {
    for (uint32_t initial : {0u, 1u, 2u, 256u}) {
        OutputBuffer buffer(initial);
        EXPECT_EQ(initial < 2 ? 2u : initial, buffer.Capacity());
        EXPECT_EQ(0u, buffer.Length());
        EXPECT_STREQ("", buffer.Text());
    }
}

TEST(OutputBuffer, GrowsByHalfOnlyWhenTheTextDoesNotFit) {
    struct Case {
        uint32_t heldBefore;
        uint32_t appended;
        uint32_t expectedCapacity;
    };
    const Case cases[] = {
        {250, 0, 256},   // the empty text changes nothing
        {250, 5, 256},   // needs exactly 256
        {250, 6, 384},   // needs 257
        {250, 10, 384},  // one step
        {0, 1000, 1296}, // four steps: 384, 576, 864, 1296
    };
    for (const Case& c : cases) {
        OutputBuffer buffer(256);
        std::string before(c.heldBefore, 'a');
        std::string added(c.appended, 'b');
        buffer.Append(before.c_str());
        buffer.Append(added.c_str());
        EXPECT_EQ(c.expectedCapacity, buffer.Capacity()) << c.heldBefore << "+" << c.appended;
        EXPECT_EQ(c.heldBefore + c.appended, buffer.Length());
        EXPECT_EQ(before + added, buffer.Text());
    }
}

TEST(OutputBuffer, GrowsFromTheSmallestCapacity) {
    OutputBuffer buffer(0);
    buffer.Append("ab"); // needs 3: 2 -> 3
    EXPECT_EQ(3u, buffer.Capacity());
    buffer.Append("cdef"); // needs 7: 3 -> 4 -> 6 -> 9
    EXPECT_EQ(9u, buffer.Capacity());
    EXPECT_STREQ("abcdef", buffer.Text());
}

TEST(OutputBuffer, ResetGoesBackToTheInitialCapacity) {
    OutputBuffer buffer(256);
    buffer.Append(std::string(1000, 'x').c_str());
    buffer.Reset();
    EXPECT_EQ(256u, buffer.Capacity());
    EXPECT_EQ(0u, buffer.Length());
    EXPECT_STREQ("", buffer.Text());
    buffer.Append("again");
    EXPECT_STREQ("again", buffer.Text());
}

namespace {
// Scans text as the update cycle does and returns every line yielded.
std::vector<std::string> Lines(char* text, uint32_t lineSize, const char* delimiter,
                               char** cursorAfter = nullptr) {
    std::vector<std::string> lines;
    std::vector<char> line(lineSize);
    char* cursor = text;
    while (NextLine(line.data(), lineSize, delimiter, cursor) != nullptr) {
        lines.emplace_back(line.data());
    }
    EXPECT_STREQ("", line.data()); // a miss leaves the line empty
    if (cursorAfter != nullptr) {
        *cursorAfter = cursor;
    }
    return lines;
}
} // namespace

TEST(NextLine, YieldsOnlyPiecesThatADelimiterEnds) {
    char text[] = "first\r\nsecond\r\nthird";
    char* cursor = nullptr;
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), Lines(text, 64, "\r\n", &cursor));
    EXPECT_STREQ("third", cursor); // the cursor stays in front of the last piece
    EXPECT_STREQ("first\r\nsecond\r\nthird", text);

    char pairs[] = "\r\n\r\n";
    EXPECT_EQ((std::vector<std::string>{"", ""}), Lines(pairs, 64, "\r\n"));

    char bareFeeds[] = "a\nb\r\nc\n";
    EXPECT_EQ((std::vector<std::string>{"a\nb"}), Lines(bareFeeds, 64, "\r\n"));
}

TEST(NextLine, CutsLongPiecesAndResumesBehindTheirDelimiter) {
    std::string longPiece(100, 'x');
    std::string original = longPiece + "\r\nnext\r\n";
    std::vector<char> text(original.begin(), original.end());
    text.push_back('\0');
    EXPECT_EQ((std::vector<std::string>{std::string(63, 'x'), "next"}),
              Lines(text.data(), 64, "\r\n"));
    EXPECT_EQ(original, text.data());
}

TEST(NextLine, NullLineChangesNothing) {
    char text[] = "a\r\n";
    char* cursor = text;
    EXPECT_EQ(nullptr, NextLine(nullptr, 64, "\r\n", cursor));
    EXPECT_EQ(text, cursor);
}
