// What the command line asks for, and the text shown when it asks for nothing known.
#pragma once

// The option letter, lower-cased, when the first argument is exactly two
// characters, '-' and a character above a space, and stands alone; only 't'
// may be followed by one more argument, the file to check. Otherwise 0.
char ParseOption(int argc, const char* const* argv);

// The banner with usage, printed verbatim before the key wait.
extern const char BannerText[];

constexpr const char* ServiceName = "Corvane";
constexpr const char* ServiceDisplayName = "Corvane";
constexpr const char* ServiceDescription =
    "Monitors multiple Source Dedicated Servers simultaneously, provides reliable automatic "
    "updating and restarts crashed and unresponsive servers.";
// Tcpip and AFD, each ended by a NUL, the list closed by an empty name.
constexpr const char ServiceDependencies[] = "Tcpip\0AFD\0";
