// The tool's side that needs no Windows: the output buffer's growth, the
// marker scan over collected output, and the build ids in its app info and in
// installed manifests, from real outputs and manifests.
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "update/app_info.h"
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

// A stored output or manifest from update/appinfo/, without its '#' notes.
static std::string Stored(const char* name) {
    std::ifstream file(std::string(CORVANE_TEST_DATA "/update/appinfo/") + name, std::ios::binary);
    std::string text;
    for (std::string line; std::getline(file, line);) {
        text += line[0] == '#' ? "" : line + "\n";
    }
    return text;
}

TEST(AppInfo, TheNewestPublicBuildWhereTheOutputHasOne) {
    std::string whole = Stored("app_info_print_258550_windows_2018.txt"), lf = whole;
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    const std::string cut = whole.substr(0, whole.find("\"branches\"") + 5);
    const struct {
        std::string output;
        const char* appId;
        const char* build; // empty: none found
    } cases[] = {{whole, "258550", "3272026"}, // the first of two prints; the second is cut
                 {lf, "258550", "3272026"},
                 {cut.substr(cut.find("AppID")) + whole, "258550", "3272026"}, // the first cut
                 {cut, "258550", ""},
                 {whole, "258551", ""}, // a depot's id is not the app's
                 {Stored("app_info_print_298740_windows_2015.txt"), "298740", ""},
                 {Stored("app_info_print_376030_branches_2022.txt"), "376030", ""},
                 {Stored("app_info_print_730_empty_body_2024.txt"), "730", ""},
                 {Stored("app_info_print_222860_no_app_info_2024.txt"), "222860", ""},
                 {Stored("app_info_print_232250_linux_2024.txt"), "232250", ""},
                 {"\"1\"\n{\n\"branches\"\n{\n\"beta\"\n{\n\"buildid\" \"9\"\n}\n\"public\"\n{\n"
                  "\"buildid\" \"8\"\n}\n}\n}\n", "1", "8"}, // another branch listed first
                 {"\"1\"\n{\n\"branches\"\n{\n\"public\"\n{\n\"buildid\" \"12a\"\n}\n}\n}\n", "1", ""},
                 {"\"1\"\n{\n\"branches\"\n{\n\"public\"\n{\n\"buildid\" \"" + std::string(32, '7') +
                      "\"\n}\n}\n}\n", "1", ""}};
    for (const auto& c : cases) {
        char build[BuildIdSize] = "stale";
        EXPECT_EQ(c.build[0] != '\0', FindPublicBuild(c.output.c_str(), c.appId, build, sizeof build))
            << c.output.substr(0, 80);
        EXPECT_STREQ(c.build, build) << c.output.substr(0, 80);
    }
}

TEST(AppInfo, TheInstalledBuildOfAManifest) {
    const struct {
        std::string manifest;
        const char* build;
    } cases[] = {{Stored("appmanifest_232330_windows_2022.acf"), "6953255"},
                 {Stored("appmanifest_740_2019.acf"), "4120557"},
                 {Stored("appmanifest_222860_2024.acf"), "16546402"},
                 {"\"AppState\"\n{\n\"InstalledDepots\"\n{\n\"buildid\" \"5\"\n}\n}\n", ""},
                 {"", ""}};
    for (const auto& c : cases) {
        char build[BuildIdSize] = "stale";
        EXPECT_EQ(c.build[0] != '\0', FindInstalledBuild(c.manifest.c_str(), build, sizeof build));
        EXPECT_STREQ(c.build, build);
    }
}
