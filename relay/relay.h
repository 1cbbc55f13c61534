#pragma once

#include <cstddef>

// The client's standard output and standard error flow through one FIFO,
// re-created at each start of the daemon and read by one relay thread for the
// life of the process. Every complete line reaches the system log at
// LOG_NOTICE.

inline constexpr const char* kFifoPath = "/var/run/quorVix.fifo";
inline constexpr std::size_t kBatchCapacity = 8191;  // most bytes in one batch
inline constexpr int kIdleWaitSeconds = 5;            // wait for a batch's first data
inline constexpr int kGatherWaitSeconds = 1;          // budget for the rest of a batch

// Removes whatever is at kFifoPath and creates a fresh FIFO, mode 0600.
// Logs the failure and returns false when the FIFO cannot be created.
bool prepare_output_fifo();

// Starts the detached relay thread and returns once it has opened the FIFO
// or given up (waiting one second at most), so that the first client finds a
// reader.
void start_output_relay();

// The relay thread's body: reads the FIFO in batches and forwards the lines,
// for ever. Returns only when the FIFO cannot be opened.
void* run_output_relay(void*);

// Has the relay forward everything that is waiting in the FIFO, an
// unterminated last line included, and returns once that is in the log or
// after about one second, whichever comes first. Called when a client has
// ended, before its end is logged.
void drain_output_relay();

// Child side, between vfork and exec: points standard error, then standard
// output, at the FIFO. Ends the child with status 1 when the FIFO cannot be
// opened, including when it has no reader. Uses only async-signal-safe calls
// besides the log call on that failure path.
void redirect_client_output();

// Where forwarded lines go: the system log in the daemon, a recorder in tests.
using LineSink = void (*)(const char* line);
void log_line(const char* line);

// What one batch wait produced.
enum class BatchEnd {
    data,   // bytes arrived; buffer[0, length) holds the carried tail and them
    idle,   // an idle wait ended with no data: time to flush the carried tail
    drain,  // a drain was requested (the client ended)
};
struct Batch {
    std::size_t length;
    BatchEnd end;
};

// Waits for the next batch on `fifo` and reads it into `buffer` behind the
// `kept` bytes carried there from the previous batch, up to kBatchCapacity
// bytes in all. Waits up to kIdleWaitSeconds at a time for the first data,
// then gathers what follows within one shared kGatherWaitSeconds budget.
// `control` (or -1) is the drain request channel; a request ends the wait.
Batch collect_batch(int fifo, int control, char* buffer, std::size_t kept);

// Sends every complete line of buffer[0, length) to `sink`, stripped of its
// leading spaces; empty lines, lines of spaces only and lines holding '[' are
// left out. Newlines are overwritten with NUL. Returns the length of the part
// consumed: the bytes after it are an unterminated tail.
std::size_t forward_lines(char* buffer, std::size_t length, LineSink sink = log_line);

// Sends line[0, length) as one line under the same rules. line[length] must
// be writable: it receives the terminating NUL.
void forward_line(char* line, std::size_t length, LineSink sink = log_line);

// Forwards the complete lines of buffer[0, length), then deals with the
// tail: it is sent as a line of its own when `flush` is set or when it fills
// the whole batch, otherwise moved to the front of the buffer. Returns the
// number of bytes now carried at the front. `buffer` holds kBatchCapacity + 1
// bytes.
std::size_t forward_batch(char* buffer, std::size_t length, bool flush, LineSink sink = log_line);
