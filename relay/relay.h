#pragma once

// The client's standard output and standard error flow through one FIFO,
// re-created at each start of the daemon and read by one relay thread for the
// life of the process. Every complete line reaches the system log at
// LOG_NOTICE.

inline constexpr const char* kFifoPath = "/var/run/quorVix.fifo";

// Removes whatever is at kFifoPath and creates a fresh FIFO, mode 0600.
// Logs the failure and returns false when the FIFO cannot be created.
bool prepare_output_fifo();

// Starts the detached relay thread and returns once it has opened the FIFO
// or given up (waiting one second at most), so that the first client finds a
// reader.
void start_output_relay();

// Before a launch: makes sure kFifoPath still names the FIFO the relay reads.
// Anything else there but a directory (nothing, a file, another FIFO) is
// replaced by a fresh FIFO, which the relay switches to once it has logged
// what was left in the old one. Costs one lstat when all is well.
void heal_output_fifo();

// Has the relay forward everything that is waiting in the FIFO, an
// unterminated last line included, and returns once that is in the log, or
// after about one second (at a stop, after up to 20 seconds; what is then
// still waiting is reported), whichever comes first. Called when a client has
// ended, before its end is logged.
void drain_output_relay(bool at_stop);

// Child side, between vfork and exec: points standard error, then standard
// output, at the FIFO. Ends the child with status 1 when the FIFO cannot be
// opened, including when it has no reader. Uses only async-signal-safe calls
// besides the log call on that failure path.
void redirect_client_output();
