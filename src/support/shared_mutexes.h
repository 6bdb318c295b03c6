// The two named mutexes that every thread of the service shares. Created and
// closed by the service thread; everyone else only waits on and releases them.
#pragma once

#include "support/windows_api.h"

constexpr const char* LogMutexName = "Corvane/LogMutex";
constexpr const char* UpdMutexName = "Corvane/UpdMutex";

// Serialises event-log writes (and their echo) across threads and processes.
extern HANDLE LogMutex;
// Held by the one monitor thread whose server is in an update cycle.
extern HANDLE UpdMutex;
