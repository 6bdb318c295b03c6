// Test-side handling of the stand-in game server (srcds.exe): a port and a
// directory for it, starting and ending it, and its control, record and state
// files (their format is described at the top of srcds_standin.cpp).
#pragma once

#include "support/windows_api.h"

#include <stdint.h>

// A UDP port on 127.0.0.1 that was free a moment ago, as decimal text.
void FreeUdpPort(char* port, uint32_t size);

// Creates a new empty directory under the temp directory; its path goes to directory.
bool MakeServerDirectory(char* directory, uint32_t size);

// Deletes the files in directory, then the directory itself.
void RemoveServerDirectory(const char* directory);

// Writes text as the file name in directory, in one write.
bool WriteServerFile(const char* directory, const char* name, const char* text);

// Copies the value of key from the key=value file name in directory. False
// when the file or the key is missing; the value is cut to size.
bool ReadStandinValue(const char* directory, const char* name, const char* key, char* value,
                      uint32_t size);

// Re-reads the file every 10 ms until key has value; false after timeoutMs.
bool WaitStandinValue(const char* directory, const char* name, const char* key, const char* value,
                      DWORD timeoutMs);

// Starts the stand-in in directory with the game server's command line,
// serving 127.0.0.1 on port, and waits up to 10 s for it to write its record.
// False, with nothing left running, when it does not get that far.
bool StartStandin(const char* directory, const char* port, PROCESS_INFORMATION* process);

// Terminates the process if it still runs, waits for it and closes its handles.
void EndStandin(PROCESS_INFORMATION* process);
