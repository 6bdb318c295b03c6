// Registering the program with the service control manager, and removing it.
// Both print one line to standard output that says how it went.
#pragma once

// Creates an own-process, auto-start service running commandLine as LocalSystem,
// then sets its description (cut to 511 characters; failure to set it is not
// a failure). dependencies is a list of NUL-ended names closed by an empty one.
bool InstallService(const char* serviceName, const char* displayName, const char* description,
                    const char* commandLine, const char* dependencies);

// Asks the service to stop (without waiting or looking at the answer) and marks
// it for deletion. True when it was marked.
bool UninstallService(const char* serviceName);
