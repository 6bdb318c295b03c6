// Registering the program with the service control manager, removing it, and
// asking the running service to read its configuration again, and asking
// for its state.
// Each prints one line to standard output that says how it went.
#pragma once

#include <string>

// Creates an own-process, auto-start service running commandLine as LocalSystem,
// then sets its description (cut to 511 characters; failure to set it is not
// a failure). dependencies is a list of NUL-ended names closed by an empty one.
bool InstallService(const char* serviceName, const char* displayName, const char* description,
                    const char* commandLine, const char* dependencies);

// Asks the service to stop (without waiting or looking at the answer) and marks
// it for deletion. True when it was marked.
bool UninstallService(const char* serviceName);

// Sends SERVICE_CONTROL_PARAMCHANGE to the running service; true when it was
// delivered. A service not installed (1060) or not running (1062) gets a line
// of its own, any other refusal its error number.
bool ReloadService(const char* serviceName);

// The service's state in words ("running", "stopped", "starting", "stopping",
// "paused", "not installed"), asked with the rights every user has; with
// the error's number when the manager refuses to say. Prints nothing.
std::string ServiceStateWords(const char* serviceName);
