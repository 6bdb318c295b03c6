// The tool output buffer, the line cutter and the marker scan over its text.
#include "update/output_buffer.h"

#include <new>
#include <string.h>

#include "support/text_helpers.h"

// Storage that cannot be had leaves the buffer with a one-byte empty text, so
// Text() is always a valid string.
static char EmptyText[1] = {'\0'};

static char* AllocateEmpty(uint32_t size) {
    char* storage = new (std::nothrow) char[size];
    if (storage == nullptr) {
        EmptyText[0] = '\0';
        return EmptyText;
    }
    storage[0] = '\0';
    return storage;
}

static void Free(char* storage) {
    if (storage != EmptyText) {
        delete[] storage;
    }
}

OutputBuffer::OutputBuffer(uint32_t initial)
    : initialCapacity(initial < 2 ? 2 : initial), capacity(initialCapacity), length(0),
      storage(AllocateEmpty(initialCapacity)) {
    if (storage == EmptyText) {
        capacity = 1;
    }
}

OutputBuffer::~OutputBuffer() { Free(storage); }

void OutputBuffer::Append(const char* text) {
    uint64_t added = strlen(text);
    uint64_t needed = length + added + 1;
    if (needed > UINT32_MAX) {
        return;
    }
    if (needed > capacity) {
        uint64_t grown = capacity < 2 ? 2 : capacity;
        while (grown < needed) {
            grown += grown / 2;
        }
        uint32_t newCapacity = grown > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(grown);
        char* newStorage = new (std::nothrow) char[newCapacity];
        if (newStorage == nullptr) {
            return;
        }
        memcpy(newStorage, storage, length + 1);
        Free(storage);
        storage = newStorage;
        capacity = newCapacity;
    }
    memcpy(storage + length, text, added + 1);
    length += static_cast<uint32_t>(added);
}

void OutputBuffer::Reset() {
    Free(storage);
    storage = AllocateEmpty(initialCapacity);
    capacity = storage == EmptyText ? 1 : initialCapacity;
    length = 0;
}

void OutputBuffer::Consume(uint32_t count) {
    count = count < length ? count : length;
    memmove(storage, storage + count, length - count + 1);
    length -= count;
}

char* NextLine(char* line, uint32_t lineSize, const char* delimiter, char*& cursor) {
    if (line == nullptr) {
        return nullptr;
    }
    char* found = strstr(cursor, delimiter);
    if (found == nullptr) {
        CopyBounded(line, lineSize, "");
        return nullptr;
    }
    char saved = *found;
    *found = '\0';
    CopyBounded(line, lineSize, cursor);
    *found = saved;
    cursor = found + strlen(delimiter);
    return line;
}

// Lines are judged by their first MarkerLineSize - 1 characters.
constexpr uint32_t MarkerLineSize = 64;

bool OutputHasMarker(char* text, const char* marker) {
    char line[MarkerLineSize];
    char* cursor = text;
    bool found = false;
    while (NextLine(line, sizeof line, "\r\n", cursor) != nullptr) {
        if (strstr(line, marker) != nullptr) {
            found = true;
        }
    }
    return found;
}

uint32_t WholeLinesLength(const char* text, uint32_t length) {
    for (uint32_t end = length; end >= 2; --end) {
        if (text[end - 2] == '\r' && text[end - 1] == '\n') {
            return end;
        }
    }
    return length;
}
