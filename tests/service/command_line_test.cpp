#include "service/command_line.h"

#include <gtest/gtest.h>

TEST(ParseOption, RecognisesOnlyOneDashAndOneLetter) {
    struct Case {
        std::vector<const char*> arguments;
        char expected;
    };
    const Case cases[] = {
        {{"-i"}, 'i'},       {{"-I"}, 'i'},        {{"-s"}, 's'},       {{"-S"}, 's'},
        {{"-u"}, 'u'},       {{"-U"}, 'u'},        {{"-x"}, 'x'},       {{"-!"}, '!'},
        {{"-\x7f"}, '\x7f'}, {{}, 0},              {{"-i", "x"}, 0},    {{"-in"}, 0},
        {{"--i"}, 0},        {{"--"}, '-'},        {{"i"}, 0},          {{"-"}, 0},
        {{"- "}, 0},         {{"-\t"}, 0},         {{"/i"}, 0},         {{""}, 0},
        {{"-\x80"}, 0},      {{"-\xe9"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"corvane.exe"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        std::string shown;
        for (const char* a : c.arguments) {
            shown += std::string("[") + a + "]";
        }
        EXPECT_EQ(c.expected, ParseOption(argc, argv.data())) << shown;
    }
}
