// Configuration file parser: reads "corvane.cfg" line by line into the
// service's table of server entries, strictly, stopping at the first error.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "config/server_entry.h"

// Each piece of the file read at once; a longer physical line is parsed, and
// numbered, as several lines of at most LineBufferSize - 1 characters.
constexpr uint32_t LineBufferSize = 512;
// A server name or key keeps NameBufferSize - 1 characters.
constexpr uint32_t NameBufferSize = 64;
constexpr uint32_t KeyBufferSize = 64;
constexpr uint32_t ValueBufferSize = 512;

// Removes one line feed at the end of text, then one carriage return at the
// (new) end. A null or empty text is left alone.
void TrimLineEnd(char* text);

// Moves cursor past spaces and tabs. False when the cursor then stands at the
// end of the text; otherwise true, unless requireBlank is set and no blank
// was skipped.
bool SkipBlanks(const char*& cursor, bool requireBlank);

// Reads one token at cursor: a quoted token (any text but a double quote,
// between double quotes, possibly empty) or a bare run of characters that are
// neither blank nor double quote and does not run into a double quote. The
// token is cut to size - 1 characters in buffer; the cursor moves past the
// whole token. False, with the cursor unchanged, for a null buffer or size 0,
// a missing closing quote, an empty bare run or a run ending at a quote.
bool ReadToken(char* buffer, uint32_t size, const char*& cursor);

// Opens fileName (by default "corvane.cfg" in the current directory) as text
// and parses it with LoadConfigFrom; if it cannot be opened, logs
// "Failed to read config file \"<fileName>\"" and returns false.
bool LoadConfig(ServerEntry** table, uint32_t slotCount, const char* fileName = "corvane.cfg");

// Parses the text of an open stream (left open) into the first slots of
// table, one entry per block in file order; slots are expected null. On the
// first error it logs one line, "<message> at line <n>" (a missing key adds
// the server entry's own line before it), and returns false: the entries
// stored before the error stay in the table and are the caller's to free.
bool LoadConfigFrom(FILE* file, ServerEntry** table, uint32_t slotCount);
