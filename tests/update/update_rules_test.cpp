// The tool's side that needs no Windows: the output buffer's growth and the
// marker scan over collected output.
#include <gtest/gtest.h>
#include <string>

#include "update/output_buffer.h"

TEST(OutputBuffer, GrowsByHalfInOneStepPerAppend) {
    const struct {
        uint32_t initial, held, added, capacity;
    } cases[] = {{256, 250, 5, 256}, {256, 250, 6, 384}, {256, 0, 1000, 1296}, {0, 0, 2, 3}};
    for (const auto& c : cases) {
        OutputBuffer buffer(c.initial);
        std::string text = std::string(c.held, 'a') + std::string(c.added, 'b');
        buffer.Append(text.substr(0, c.held).c_str());
        buffer.Append(text.substr(c.held).c_str());
        EXPECT_EQ(c.capacity, buffer.Capacity()) << c.initial << " " << c.held << "+" << c.added;
        EXPECT_EQ(text, buffer.Text());
        buffer.Reset();
        EXPECT_EQ(c.initial < 2 ? 2 : c.initial, buffer.Capacity());
    }
}

TEST(OutputBuffer, MarkersCountOnlyInTheFirst63CharactersOfEndedLines) {
    const struct {
        std::string text;
        bool found;
    } cases[] = {{"Logging in\r\nSuccess! App '232330' fully installed.\r\n", true},
                 {"Success! without its line end", false},
                 {"a\r\nsuccess! in other letters\r\n", false},
                 {std::string(55, '.') + "Success!\r\n", true},
                 {std::string(56, '.') + "Success!\r\n", false},
                 {"Success!\nbare line feed\n", false},
                 {"\r\n\r\nafter empty lines Success!\r\ntail", true}};
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.found, OutputHasMarker(&text[0], "Success!")) << c.text;
        EXPECT_EQ(c.text, text) << "the scan leaves the text as it was";
    }
}
