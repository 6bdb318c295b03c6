// Draining the tool's output pipe without blocking, and the update log.
#include "update/output_capture.h"

#include <stdio.h>
#include <time.h>

#include "config/server_entry.h"
#include "support/event_log.h"
#include "support/log_prefix.h"

constexpr DWORD DrainChunkSize = 256;

void DrainPipe(HANDLE pipe, OutputBuffer& output) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        available = 0;
    }
    while (available != 0) {
        if (available > DrainChunkSize - 1) {
            available = DrainChunkSize - 1;
        }
        char chunk[DrainChunkSize];
        DWORD read = 0;
        // Never asks for more than the pipe reported, so the read never waits. A
        // failed read ends this drain; the next one, a tick later, tries again.
        if (!ReadFile(pipe, chunk, available, &read, nullptr) || read == 0) {
            return;
        }
        chunk[read] = '\0';
        output.Append(chunk);
        available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            available = 0;
        }
    }
}

void WriteUpdateLog(const ServerEntry& entry, const char* text) {
    FILE* file = OpenLogFile("corvane_update.log");
    if (file == nullptr) {
        WriteLog("[Update] Failed to write log to \"%s\"", "corvane_update.log");
        return;
    }
    time_t now = time(nullptr);
    char prefix[LogPrefixSize];
    FormatLogPrefix(prefix, sizeof prefix, *localtime(&now));
    fprintf(file, "%s[UpdateLog for \"%s\" follows]\n", prefix, entry.FriendlyName);
    fprintf(file, "%s\n", text);
    fclose(file);
}
