// What the update tool reads on its standard input.
#pragma once

#include <stddef.h>

struct ServerEntry;

// The script of an update run: the install directory is set before the
// login, as the tool requires, then the update and quit. Returns its length,
// or 0 when it would not fit into size.
size_t BuildUpdateScript(char* buffer, size_t size, const ServerEntry& entry);
