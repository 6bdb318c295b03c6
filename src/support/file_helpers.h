// Thin questions to Windows about processes and paths.
#pragma once

#include "support/windows_api.h"

// True unless the exit code reads STILL_ACTIVE (259): a process that really
// ended with 259 reads as running. A handle whose exit code cannot be read at
// all reads as ended, since nothing more can be learnt from it.
bool ProcessExited(HANDLE process);

// True when path names something that exists and is not a directory.
bool FileExists(const char* path);

// True when path names a directory. Neither test tells missing from unreadable.
bool DirExists(const char* path);

// Closes the thread handle, then the process handle of a record, and zeroes
// it, so that a held process is one whose handle is not null.
void CloseProcessHandles(PROCESS_INFORMATION& process);
