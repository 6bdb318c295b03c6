// Stand-in for the event log: WriteLog records each formatted message in
// memory instead of writing "corvane.log". Link event_log_fake.cpp in place of
// the real event log. Not safe for concurrent writers.
#pragma once

#include <string>
#include <vector>

// Messages logged so far, oldest first, each without a line end of its own.
const std::vector<std::string>& LoggedLines();

// Forgets every recorded message.
void ClearLoggedLines();
