// What a game server is started with, worked out from its configuration.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ServerEntry;

// Room for the executable's path: a longer one cannot be started.
constexpr size_t ApplicationPathSize = 260;
// Room for the longest command line the configuration's field widths allow
// (52 fixed characters and at most 298 from the fields), so it is never cut.
constexpr size_t ServerCommandLineSize = 512;

// "Path\srcds.exe". False when it would not fit into size (the launch is then refused).
bool BuildApplicationPath(char* buffer, size_t size, const ServerEntry& entry);

// "arg0 -console -game ... +map <MapName> <MiscArgs>"; an empty MiscArgs leaves
// a trailing blank. False when it would not fit into size.
bool BuildServerCommandLine(char* buffer, size_t size, const ServerEntry& entry);

// The priority class for a Priority name, compared without regard to case:
// Low, BelowNormal, AboveNormal, High, Realtime; anything else is normal.
uint32_t ChoosePriorityClass(const char* priority);

// Affinity read as hexadecimal (an optional 0x accepted; text that is no
// number gives 0), restricted to the processors the system has.
uint64_t ChooseAffinityMask(const char* affinity, uint64_t systemMask);
