// Bounded copy, prefix and equality tests, and the directory part of a path.
#include "support/text_helpers.h"

#include <string.h>

uint32_t CopyBounded(char* destination, uint32_t size, const char* source) {
    if (destination == nullptr || source == nullptr) {
        return 0;
    }
    uint32_t copied = 0;
    while (copied + 1 < size && source[copied] != '\0') {
        destination[copied] = source[copied];
        ++copied;
    }
    if (size != 0) {
        destination[copied] = '\0';
    }
    return static_cast<uint32_t>(copied + strlen(source + copied));
}

bool StartsWith(const char* text, const char* prefix) {
    if (text == nullptr || prefix == nullptr) {
        return false;
    }
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

static char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StringsEqual(const char* first, const char* second, bool caseSensitive) {
    if (first == nullptr || second == nullptr) {
        return false;
    }
    if (caseSensitive) {
        return strcmp(first, second) == 0;
    }
    for (;; ++first, ++second) {
        if (AsciiLower(*first) != AsciiLower(*second)) {
            return false;
        }
        if (*first == '\0') {
            return true;
        }
    }
}

bool GetDirPart(char* destination, uint32_t destinationSize, const char* path) {
    if (destination == nullptr || destinationSize == 0) {
        return false;
    }
    destination[0] = '\0';
    if (path == nullptr) {
        return false;
    }
    const char* lastSeparator = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            lastSeparator = c;
        }
    }
    if (lastSeparator == nullptr || lastSeparator[1] == '\0') {
        return false;
    }
    size_t partLength = static_cast<size_t>(lastSeparator - path) + 1;
    if (partLength >= destinationSize) {
        return false;
    }
    memcpy(destination, path, partLength);
    destination[partLength] = '\0';
    return true;
}
