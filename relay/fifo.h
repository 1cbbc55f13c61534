#pragma once

#include "relay/link.h"

// The FIFO on disk: its creation and repair, the opens of the daemon's two
// ends, and the client's side with its report of a failure.

// Opens kFifoPath twice and records both in `link` as the newest FIFO:
// read-write for the main thread and read-only for the relay. Logs the
// failure and returns false when it cannot.
bool open_relay_fifo(RelayLink& link);

// Before a launch: replaces whatever but a directory is at kFifoPath when it
// is not the FIFO the relay reads, and hands the new FIFO to the relay.
void heal_fifo(RelayLink& link);

// Main thread, before a launch: stamps the record of the child's report, so
// that the child, which may take no lock, only sends it.
void prepare_child_report(RelayLink& link);

// Child side, after a failed open: sends the record prepare_child_report
// stamped (with no relay running, logs it) and notes in the memory it shares
// with the daemon whether it went.
void report_child_failure(RelayLink& link);

// Child side, between vfork and exec: points standard error, then standard
// output, at the FIFO, or ends the child with status 1 after its report.
void redirect_child_output(RelayLink& link);
