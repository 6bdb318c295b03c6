// Configuration file parser: a three-state machine over the lines of the file.
#include "config/config_parser.h"

#include <string.h>

#include "config/key_table.h"
#include "support/event_log.h"
#include "support/text_helpers.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void TrimLineEnd(char* text) {
    if (text == nullptr || text[0] == '\0') {
        return;
    }
    size_t length = strlen(text);
    if (text[length - 1] == '\n') {
        text[--length] = '\0';
    }
    if (length > 0 && text[length - 1] == '\r') {
        text[length - 1] = '\0';
    }
}

bool SkipBlanks(const char*& cursor, bool requireBlank) {
    const char* start = cursor;
    while (IsBlank(*cursor)) {
        ++cursor;
    }
    if (*cursor == '\0') {
        return false;
    }
    return !requireBlank || cursor != start;
}

bool ReadToken(char* buffer, uint32_t size, const char*& cursor) {
    if (buffer == nullptr || size == 0) {
        return false;
    }
    buffer[0] = '\0';
    const char* start;
    const char* end;
    const char* next;
    if (*cursor == '"') {
        start = cursor + 1;
        end = strchr(start, '"');
        if (end == nullptr) {
            return false;
        }
        next = end + 1;
    } else {
        start = cursor;
        end = start;
        while (*end != '\0' && !IsBlank(*end) && *end != '"') {
            ++end;
        }
        if (end == start || *end == '"') {
            return false;
        }
        next = end;
    }
    size_t length = static_cast<size_t>(end - start);
    if (length > size - 1) {
        length = size - 1;
    }
    memcpy(buffer, start, length);
    buffer[length] = '\0';
    cursor = next;
    return true;
}

bool LoadConfig(ServerEntry** table, uint32_t slotCount, const char* fileName) {
    FILE* file = fopen(fileName, "rt");
    if (file == nullptr) {
        WriteLog("Failed to read config file \"%s\"", fileName);
        return false;
    }
    bool result = LoadConfigFrom(file, table, slotCount);
    fclose(file);
    return result;
}

enum ParseState { ExpectName, ExpectOpen, InBlock };

bool LoadConfigFrom(FILE* file, ServerEntry** table, uint32_t slotCount) {
    KeyTable blockKeys(KeyTableBuckets);
    KeyTable names(KeyTableBuckets);
    char line[LineBufferSize];
    char name[NameBufferSize];
    char key[KeyBufferSize];
    char value[ValueBufferSize];
    uint32_t lineNumber = 0;
    uint32_t slotsUsed = 0;
    KeyLines lines = {}; // the block's, handed to its entry at its end
    ParseState state = ExpectName;
    bool result = true;

    // Each failure throws its message, a constant string, to the one handler
    // below; nothing after the failing line is read. A Set that fails for a
    // key known to be non-empty has run out of memory.
    try {
        if (blockKeys.Buckets == nullptr || names.Buckets == nullptr) {
            throw "Out of memory";
        }
        while (fgets(line, sizeof line, file) != nullptr) {
            ++lineNumber;
            const char* cursor = line;
            // Notepad's "UTF-8 with BOM" puts these three bytes before the first line.
            if (lineNumber == 1 && StartsWith(cursor, "\xEF\xBB\xBF")) {
                cursor += 3;
            }
            SkipBlanks(cursor, false);
            TrimLineEnd(line + (cursor - line));
            if (*cursor == '\0' || StartsWith(cursor, "//")) {
                continue;
            }
            switch (state) {
            case ExpectName:
                if (!ReadToken(name, sizeof name, cursor) || name[0] == '\0' ||
                    SkipBlanks(cursor, false)) {
                    throw "Failed to parse server name";
                }
                if (names.Get(name) != nullptr) {
                    throw "Server name duplicate";
                }
                if (!blockKeys.Set("FriendlyName", name) || !names.Set(name, "1")) {
                    throw "Out of memory";
                }
                state = ExpectOpen;
                break;
            case ExpectOpen:
                if (*cursor != '{') {
                    throw "Expected '{'";
                }
                ++cursor;
                if (SkipBlanks(cursor, false)) {
                    throw "Expected standalone '{'";
                }
                state = InBlock;
                break;
            case InBlock:
                if (*cursor == '}') {
                    ++cursor;
                    if (SkipBlanks(cursor, false)) {
                        throw "Expected standalone '}'";
                    }
                    // The table is full before this block's entry is built.
                    if (slotsUsed >= slotCount) {
                        throw "MaxServers overflow";
                    }
                    ServerEntry* entry = ReadServerKeys(blockKeys);
                    table[slotsUsed++] = entry;
                    blockKeys.Clear();
                    if (entry == nullptr) {
                        throw "Failed to read out server keys";
                    }
                    CopyBounded(entry->BlockName, sizeof entry->BlockName, name);
                    entry->Lines = lines;
                    lines = {};
                    state = ExpectName;
                    break;
                }
                if (!ReadToken(key, sizeof key, cursor) || !SkipBlanks(cursor, true)) {
                    throw "Failed to parse key";
                }
                if (!ReadToken(value, sizeof value, cursor) || SkipBlanks(cursor, false)) {
                    throw "Failed to parse value";
                }
                // The empty quoted key is refused by the table and dropped.
                if (!blockKeys.Set(key, value) && key[0] != '\0') {
                    throw "Out of memory";
                }
                if (FindServerKey(key) < ServerKeyCount) {
                    lines.known[FindServerKey(key)] = lineNumber;
                } else if (key[0] != '\0' && lines.unknownCount < MaxUnknownKeys) {
                    CopyBounded(lines.unknown[lines.unknownCount], UnknownKeySize, key);
                    lines.unknownLine[lines.unknownCount++] = lineNumber;
                }
                break;
            }
        }
    } catch (const char* message) {
        WriteLog("%s at line %u", message, lineNumber);
        result = false;
    }
    if (result && state != ExpectName) {
        WriteLog("Config file terminated unexpectedly at line %u", lineNumber);
        result = false;
    }
    return result;
}
