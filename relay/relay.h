#pragma once

// The client's standard output and standard error flow through one FIFO,
// re-created at each start of the daemon and read by one relay thread for the
// life of the process. Every complete line reaches the system log at
// LOG_NOTICE. Once the relay runs it also logs the main thread's messages, in
// order with the client's output, so that the main thread never waits on the
// system logger.

inline constexpr const char* kFifoPath = "/var/run/quorVix.fifo";

// Removes whatever is at kFifoPath and creates a fresh FIFO, mode 0600.
// Logs the failure and returns false when the FIFO cannot be created.
bool prepare_output_fifo();

// Opens the FIFO for the relay and starts the detached relay thread. When
// either fails, logs why; the daemon then logs its own messages directly and
// clients, finding no reader, fail to open the FIFO and say so.
void start_output_relay();

// Before a launch: makes sure kFifoPath still names the FIFO the relay reads.
// Anything else there but a directory (nothing, a file, another FIFO) is
// replaced by a fresh FIFO, which the relay switches to once it has logged
// what was left in the old one. Costs one lstat when all is well.
void heal_output_fifo();

// Main thread: logs a message, formatted now. Once the relay runs the message
// is handed to it without waiting, and logged after the client output
// written before this call; when the channel is full it is dropped and
// counted, and a warning later says how many were not logged.
void log_event(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same, then runs `act` (the SIGTERM to the client) once the message is
// in the relay's hands: whatever the client writes in answer is logged after
// it.
void log_event_then(void (*act)(), int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The same for the news of a client's end: its unterminated last line, if
// any, is logged before it as a line of its own.
void log_client_end(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// At a stop, once the last client has ended: waits until the relay has logged
// everything handed to it and everything the client wrote, for at most
// kStopDrainSeconds. What is left then is reported on standard error, since
// the system logger is not taking messages.
void finish_output_relay();

// Main thread, before a launch: prepares what the child's report of a failed
// redirection needs, so that the child only writes it.
void prepare_client_output();

// Child side, between vfork and exec: points standard error, then standard
// output, at the FIFO. Ends the child with status 1 when the FIFO cannot be
// opened, including when it has no reader or is not a FIFO. Uses only
// async-signal-safe calls (and, with no relay running, the one syslog on its
// failure path).
void redirect_client_output();
