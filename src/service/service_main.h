// The running service: registration, status reports, the shared mutexes, the
// configuration and the monitor fleet, and one ending for every way out.
#pragma once

#include "support/windows_api.h"

// Called by the service dispatcher on a thread of its own; returns after the
// SERVICE_STOPPED report. Both arguments are ignored.
void WINAPI ServiceMain(DWORD argumentCount, LPSTR* arguments);

// Stop and shutdown post StopMessage to the service thread; every control
// reports the status block unchanged. Runs on the dispatcher's thread.
void WINAPI ServiceCtrlHandler(DWORD control);
