// Reads build ids out of the tool's key-value text: quoted keys and values,
// blocks in braces. Anything else, or the text's end, ends a reading.
#include "update/app_info.h"

#include <stdio.h>
#include <string.h>

#include "support/text_helpers.h"

namespace {

constexpr size_t KeySize = 64;
constexpr int MaxDepth = 16;

enum TokenKind { Quoted, Open, Close, Stop };

// The next token at cursor; a quoted one goes into text (cut to KeySize - 1,
// with \" and \\ taken as the characters). Stop for anything else, for a
// quote that is never closed, and at the end.
TokenKind NextToken(const char*& cursor, char* text) {
    cursor += strspn(cursor, " \t\r\n");
    if (*cursor == '{' || *cursor == '}') {
        return *cursor++ == '{' ? Open : Close;
    }
    if (*cursor != '"') {
        return Stop;
    }
    size_t length = 0;
    for (const char* c = cursor + 1; *c != '\0'; ++c) {
        if (*c == '"') {
            text[length < KeySize ? length : KeySize - 1] = '\0';
            cursor = c + 1;
            return Quoted;
        }
        c += c[0] == '\\' && c[1] != '\0';
        if (length + 1 < KeySize) {
            text[length] = *c;
        }
        ++length;
    }
    return Stop;
}

// Reads the block whose key stands at cursor and finds the value of key
// wanted whose enclosing keys end with path[0..count) (the block's own key
// first): a value of digits only that fits size.
bool FindDigits(const char* cursor, const char* const* path, int count, const char* wanted,
                char* value, size_t size) {
    char keys[MaxDepth][KeySize];
    char text[KeySize];
    int depth = 0;
    if (NextToken(cursor, keys[0]) != Quoted || NextToken(cursor, text) != Open) {
        return false;
    }
    for (depth = 1; depth > 0;) {
        TokenKind kind = NextToken(cursor, text);
        if (kind == Close) {
            --depth;
            continue;
        }
        if (kind != Quoted || depth == MaxDepth) {
            return false;
        }
        CopyBounded(keys[depth], KeySize, text);
        kind = NextToken(cursor, text);
        if (kind == Open) {
            ++depth;
            continue;
        }
        bool within = depth >= count;
        for (int i = 0; within && i < count; ++i) {
            within = strcmp(keys[depth - count + i], path[i]) == 0;
        }
        if (kind != Quoted) {
            return false;
        }
        if (within && strcmp(keys[depth], wanted) == 0 && text[0] != '\0' &&
            strspn(text, "0123456789") == strlen(text) && strlen(text) < size) {
            CopyBounded(value, static_cast<uint32_t>(size), text);
            return true;
        }
    }
    return false;
}

// True when at stands at the start of a line, blanks aside.
bool BeginsLine(const char* text, const char* at) {
    while (at > text && (at[-1] == ' ' || at[-1] == '\t')) {
        --at;
    }
    return at == text || at[-1] == '\n';
}

} // namespace

bool FindPublicBuild(const char* output, const char* appId, char* build, size_t size) {
    CopyBounded(build, static_cast<uint32_t>(size), "");
    char key[KeySize + 2];
    snprintf(key, sizeof key, "\"%s\"", appId);
    const char* const path[] = {"branches", "public"};
    for (const char* at = strstr(output, key); at != nullptr; at = strstr(at + 1, key)) {
        if (BeginsLine(output, at) && FindDigits(at, path, 2, "buildid", build, size)) {
            return true;
        }
    }
    return false;
}

bool FindInstalledBuild(const char* manifest, char* build, size_t size) {
    CopyBounded(build, static_cast<uint32_t>(size), "");
    const char* at = strstr(manifest, "\"AppState\"");
    const char* const path[] = {"AppState"};
    return at != nullptr && FindDigits(at, path, 1, "buildid", build, size);
}
