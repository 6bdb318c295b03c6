// Thin questions to Windows about processes and paths, and the job that ties
// the service's processes to it.
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

// The job of the service process, made to end every process in it when its
// last handle closes, which the system does when the service ends, however it
// ends. Null when there is none; set before any monitor thread starts.
extern HANDLE ProcessJob;

// A job whose processes end when its last handle closes; null if none can be made.
HANDLE CreateProcessJob();

// Puts a process just created suspended into ProcessJob. When it cannot be put
// there (no job, or a system that refuses a job inside a job), one line says
// so, once for the whole run; the process runs all the same.
void TieToService(HANDLE process);
