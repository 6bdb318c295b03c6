// Starting one game server.
#pragma once

#include "support/windows_api.h"

struct ServerEntry;

// Starts Path\srcds.exe suspended with its command line, priority class and
// processor mask in place, then lets it run; its current directory is Path.
// False when the process was not created (or its path would not fit); the
// record is then not to be used. The caller owns and closes both handles.
bool CreateServerProcess(const ServerEntry& entry, PROCESS_INFORMATION& process);

// Gives a server's process the priority class and processor mask of the
// entry's Priority and Affinity: at its launch, and while it runs when a
// reload changes them. A process that has ended is left as it is.
void SetProcessSettings(const ServerEntry& entry, HANDLE process);
