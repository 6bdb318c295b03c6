// The alert thread: beside the monitor threads, it reads the records once a
// second, gathers each server's events into its messages and posts them to
// the server's AlertUrl, so that a slow webhook never delays a check.
#pragma once

#include <stdint.h>

struct ServerEntry;
struct ServerRecord;

// Starts the thread when an entry of the table has an AlertUrl and it does not
// run yet (also after a reload); one line when it cannot. The records must
// outlive StopAlertSender.
void StartAlertSender(ServerEntry* const* table, ServerRecord* records, uint32_t count);

// Asks the thread to end and waits for it: at most one post's time-outs.
void StopAlertSender();
