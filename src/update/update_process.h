// Starting the update tool with its output on a pipe.
#pragma once

#include "support/windows_api.h"

struct ServerEntry;

// The tool's three runs: the check in which it updates itself, the update of
// the server, and the ask for the app's newest build.
enum ToolRun { ToolCheck, UpdateRun, AppInfoRun };

// Starts Path\UpdPath\steamcmd.exe in its own directory: with "arg0 +quit"
// for the tool check, or with no command line and its script on its standard
// input for the other runs. On success the caller owns the process record's
// two handles and outputPipe, the read end of the tool's stdout and stderr.
// On failure no handle made here stays open and neither output may be used.
// The tool inherits the two pipe ends it uses and nothing else of ours.
bool CreateUpdateProcess(const ServerEntry& entry, PROCESS_INFORMATION& process, HANDLE& outputPipe,
                         ToolRun run);
