// Link-time stand-ins of rules_fakes.cpp, and how tests steer them.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// WriteLog keeps each message here. While allocationsCounted
// is set, allocations are counted and the one numbered failingAllocation (from
// 1; 0: none) fails.
extern std::vector<std::string> loggedLines;
extern bool allocationsCounted;
extern int allocationsSeen;
extern int failingAllocation;
