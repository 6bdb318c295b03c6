// Link-time stand-ins for the functions at the edge, and how tests steer them.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// rules_fakes.cpp: WriteLog keeps each message here. While allocationsCounted
// is set, allocations are counted and the one numbered failingAllocation (from
// 1; 0: none) fails.
extern std::vector<std::string> loggedLines;
extern bool allocationsCounted;
extern int allocationsSeen;
extern int failingAllocation;

// service_platform_fake.cpp: OpenServiceManager records the rights asked for
// and fails with serviceManagerError; the refusedThread-th CreateMonitorThread
// from now fails (0: none), the others start the real monitor thread.
extern std::vector<uint32_t> serviceManagerAccess;
extern uint32_t serviceManagerError;
extern int refusedThread;
