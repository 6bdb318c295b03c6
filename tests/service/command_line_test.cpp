// Which option letter the one argument asks for.
#include <gtest/gtest.h>

#include "service/command_line.h"

TEST(CommandLine, OneDashAndOneCharacterAboveABlank) {
    const struct {
        std::vector<const char*> arguments;
        char letter;
    } cases[] = {{{"-i"}, 'i'}, {{"-I"}, 'i'}, {{"-S"}, 's'}, {{"-u"}, 'u'}, {{"-!"}, '!'},
                 {{"--"}, '-'}, {{}, 0},       {{"-i", "x"}, 0}, {{"-in"}, 0}, {{"--i"}, 0},
                 {{"i"}, 0},    {{"-"}, 0},    {{"- "}, 0},   {{"/i"}, 0},   {{"-\xE9"}, 0},
                 {{"-T", "a.cfg"}, 't'}, {{"-t"}, 't'}, {{"-r"}, 'r'}, {{"-r", "a.cfg"}, 0},
                 {{"-t", "a", "b"}, 0}};
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"corvane.exe"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(c.letter, ParseOption(static_cast<int>(argv.size()), argv.data()))
            << (c.arguments.empty() ? "(none)" : c.arguments[0]);
    }
}
