// What the update tool reads on its standard input.
#pragma once

#include <stddef.h>

struct ServerEntry;

// The script of an update run: the install directory (a full path: the tool
// would take a relative one as relative to its own folder) is set before the
// login, as the tool requires, then the update of UpdArgs and quit. Returns
// its length, or 0 when it would not fit into size.
size_t BuildUpdateScript(char* buffer, size_t size, const char* installDir,
                         const ServerEntry& entry);

// The script of a build check: the app info brought up to date, then printed.
// appId is the first word of UpdArgs. Returns its length, or 0 when it would
// not fit into size.
size_t BuildAppInfoScript(char* buffer, size_t size, const ServerEntry& entry);

// The app id: the first word of UpdArgs, cut to size - 1 characters.
void AppIdOf(const ServerEntry& entry, char* appId, size_t size);
