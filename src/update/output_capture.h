// Moving the tool's output from its pipe into the buffer, and the update log.
#pragma once

#include "support/windows_api.h"

#include "update/output_buffer.h"

struct ServerEntry;

// Appends what the pipe holds now, in reads of at most 255 bytes, and returns
// when it finds the pipe empty or limit bytes have been read, however fast the
// tool writes; never waits for data. A zero byte in the output ends that
// read's text. Returns the bytes read.
uint32_t DrainPipe(HANDLE pipe, OutputBuffer& output, uint32_t limit);

// Appends length characters of text to "corvane_update.log" as one record: a
// timestamped header naming the server, the text, and a line feed. A run's
// output written in parts opens its record with the first part (the header,
// and the one moment the file may roll over) and closes it with the last (the
// line feed). When the file cannot be opened, one event-log line says so and
// that part is lost.
void WriteUpdateLog(const ServerEntry& entry, const char* text, size_t length,
                    bool opensRecord = true, bool closesRecord = true);
