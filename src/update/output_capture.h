// Moving the tool's output from its pipe into the buffer, and the update log.
#pragma once

#include "support/windows_api.h"

#include "update/output_buffer.h"

struct ServerEntry;

// Appends everything the pipe holds now, in reads of at most 255 bytes, and
// returns when it finds the pipe empty; never waits for data. A zero byte in
// the output ends that read's text.
void DrainPipe(HANDLE pipe, OutputBuffer& output);

// Appends one record to "corvane_update.log": a timestamped header naming the
// server, then the text and a line feed. When the file cannot be opened, one
// event-log line says so and the record is lost.
void WriteUpdateLog(const ServerEntry& entry, const char* text);
