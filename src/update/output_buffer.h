// Collects the update tool's output, and cuts collected text into lines.
#pragma once

#include <stdint.h>

// A growable zero-terminated text. Each monitor thread owns one for the
// whole run; the update cycle resets it after every tool run.
class OutputBuffer {
  public:
    // An initial capacity below 2 is raised to 2.
    explicit OutputBuffer(uint32_t initialCapacity);
    ~OutputBuffer();
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // Adds text at the end, growing by half the capacity per step, with one
    // allocation per call. If that allocation fails, or the capacity would
    // pass 4 GiB, the text is not added and what was collected stays intact.
    void Append(const char* text);
    // Empties the buffer and gives it fresh storage of the initial capacity.
    void Reset();
    // Removes the first count characters (all of them when count is larger).
    void Consume(uint32_t count);
    // The buffer's own storage; valid until the next Append, Reset or destruction.
    char* Text() { return storage; }
    uint32_t Length() const { return length; }
    uint32_t Capacity() const { return capacity; }

  private:
    uint32_t initialCapacity;
    uint32_t capacity;
    uint32_t length;
    char* storage;
};

// Cuts the next piece ended by delimiter from the text at cursor into line
// (at most lineSize - 1 characters, the rest of a longer piece dropped) and
// moves the cursor behind the delimiter. When no delimiter follows, line
// becomes empty, the cursor stays and the result is null: a last piece without
// a delimiter is never returned. The text must be writable; it is restored
// before the call returns.
char* NextLine(char* line, uint32_t lineSize, const char* delimiter, char*& cursor);

// True when a piece of text ended by "\r\n" holds marker in its first 63
// characters. The text is scanned in place and restored.
bool OutputHasMarker(char* text, const char* marker);

// The length of text up to and including its last "\r\n"; all of it when it
// has none, so that a line longer than what is kept is let go too.
uint32_t WholeLinesLength(const char* text, uint32_t length);
