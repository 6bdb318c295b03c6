// Link-time stand-ins of rules_fakes.cpp, and how tests steer them.
#pragma once

#include <string>
#include <vector>

// WriteLog keeps each message here.
extern std::vector<std::string> loggedLines;
