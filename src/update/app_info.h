// Build ids in the text the update tool prints: the newest public build in its
// app info, and the installed build in an app's manifest. Pure text work.
#pragma once

#include <stddef.h>

// Room for a build id and its terminator; a longer one is not taken.
constexpr size_t BuildIdSize = 32;

// The "buildid" of "public" inside a "branches" block of app appId's info in
// the output of app_info_print: banner and other lines around it are skipped,
// CR LF ends are taken, and where the info is printed more than once the first
// whole answer counts. False, with build empty, when no such build id of
// digits stands there: no info, an empty body, or the text cut before it.
bool FindPublicBuild(const char* output, const char* appId, char* build, size_t size);

// The "buildid" of "AppState" in an installed app's manifest (appmanifest_<id>.acf).
// False, with build empty, when there is none.
bool FindInstalledBuild(const char* manifest, char* build, size_t size);
