// Event log: appends one timestamped line to "corvane.log" per call and echoes
// the bare message to standard output; all threads share it through LogMutex.
#pragma once

#include <stdio.h>

// Set by the entry point before anything is logged, for the roles that check
// a configuration at the console: each line then goes to standard output
// alone, with no timestamp, no log file and no LogMutex.
extern bool LogToConsole;

// Waits at most 250 ms for LogMutex; a writer that does not get it, or cannot
// open the file, drops its line without a trace. Adds the line end itself.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens a log file of the program's to append text; no program started while
// it is open inherits it. Null when it cannot be opened. When mayRoll is set
// and the file has reached LogRollBytes, it rolls over first: name.4 becomes
// name.5 (the oldest, name.5, is deleted), ..., name becomes name.1, and a new
// name is begun. A file that cannot be renamed (another program holds it
// without letting it be renamed) is appended to as it is, and rolls over at a
// later open. The caller holds the mutex that guards the file's writers.
FILE* OpenLogFile(const char* name, bool mayRoll = true);

// The size at which a log file rolls over: 10 MiB. Set before any thread
// starts; only tests change it.
extern long long LogRollBytes;
