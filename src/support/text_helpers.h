// Small string helpers shared by every subsystem. None allocates or keeps state.
#pragma once

#include <stdint.h>

// Copies at most size - 1 characters and always terminates when size > 0; with
// size 0 nothing is written. Returns the source's full length; a result >= size
// means the copy was cut. A null destination or source returns 0 and writes nothing.
uint32_t CopyBounded(char* destination, uint32_t size, const char* source);

// True when text begins with prefix (exactly, case matters); false if either is null.
bool StartsWith(const char* text, const char* prefix);

// Equality of two strings; ASCII letters compare without regard to case unless
// caseSensitive is set. False if either string is null.
bool StringsEqual(const char* first, const char* second, bool caseSensitive);

// Copies the directory part of path, up to and including its last '/' or '\',
// into destination. False, with destination empty, when the path has no
// separator, ends in one, or the part does not fit into destinationSize.
bool GetDirPart(char* destination, uint32_t destinationSize, const char* path);
