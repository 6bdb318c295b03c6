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

// Asks the thread to end, at once: no lookup or post begins after this.
void AskAlertSenderToEnd();

// Asks the thread to end and waits for it, at most a second; then says in one
// line how many messages were not delivered. A thread still in a post or a
// lookup then is left running, with all it uses, until the process ends:
// false, and the records it reads must then stay too.
bool StopAlertSender();
