// Draining the tool's output pipe without blocking, and the update log.
#include "update/output_capture.h"

#include <stdio.h>
#include <time.h>

#include "config/server_entry.h"
#include "support/event_log.h"
#include "support/log_prefix.h"

constexpr DWORD DrainChunkSize = 256;

uint32_t DrainPipe(HANDLE pipe, OutputBuffer& output, uint32_t limit) {
    uint32_t total = 0;
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        available = 0;
    }
    while (available != 0 && total < limit) {
        if (available > DrainChunkSize - 1) {
            available = DrainChunkSize - 1;
        }
        char chunk[DrainChunkSize];
        DWORD read = 0;
        // Never asks for more than the pipe reported, so the read never waits. A
        // failed read ends this drain; the next one, a tick later, tries again.
        if (!ReadFile(pipe, chunk, available, &read, nullptr) || read == 0) {
            return total;
        }
        total += read;
        chunk[read] = '\0';
        output.Append(chunk);
        available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            available = 0;
        }
    }
    return total;
}

void WriteUpdateLog(const ServerEntry& entry, const char* text, size_t length, bool opensRecord,
                    bool closesRecord) {
    FILE* file = OpenLogFile("corvane_update.log", opensRecord);
    if (file == nullptr) {
        WriteLog("[Update] Failed to write log to \"%s\" for \"%s\"", "corvane_update.log",
                 entry.FriendlyName);
        return;
    }
    if (opensRecord) {
        time_t now = time(nullptr);
        char prefix[LogPrefixSize];
        FormatLogPrefix(prefix, sizeof prefix, *localtime(&now));
        fprintf(file, "%s[UpdateLog for \"%s\" follows]\n", prefix, entry.FriendlyName);
    }
    fwrite(text, 1, length, file);
    if (closesRecord) {
        fputs("\n", file);
    }
    fclose(file);
}
