// Captured info-query datagrams of real servers and clients, read from the
// .hex files in a2s_captures/ ('#' lines name their source).
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

inline Bytes ReadCapture(const char* name) {
    std::string path = std::string(CORVANE_A2S_CAPTURES) + "/" + name;
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "r");
    EXPECT_NE(nullptr, file) << path;
    if (file == nullptr) {
        return bytes;
    }
    char line[1024];
    while (fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#') {
            continue;
        }
        for (const char* p = line; p[0] != '\0' && p[1] != '\0'; p += 2) {
            unsigned value = 0;
            if (sscanf(p, "%2x", &value) != 1) {
                break;
            }
            bytes.push_back(static_cast<uint8_t>(value));
        }
    }
    fclose(file);
    return bytes;
}
