#pragma once

#include <cstddef>

// The line rules: how a batch of raw client output becomes log messages.
// Every complete line reaches the sink stripped of its leading spaces; empty
// lines, lines of spaces only and lines holding '[' are left out.

inline constexpr std::size_t kBatchCapacity = 8191;  // most bytes in one batch

// Where forwarded lines go: the system log in the daemon, a recorder in tests.
using LineSink = void (*)(const char* line);
void log_line(const char* line);

// Sends every complete line of buffer[0, length) to `sink`, stripped of its
// leading spaces; empty lines, lines of spaces only and lines holding '[' are
// left out. Newlines are overwritten with NUL. Returns the length of the part
// consumed: the bytes after it are an unterminated tail.
std::size_t forward_lines(char* buffer, std::size_t length, LineSink sink = log_line);

// Sends line[0, length) as one line under the same rules. line[length] must
// be writable: it receives the terminating NUL.
void forward_line(char* line, std::size_t length, LineSink sink = log_line);

// Forwards the complete lines of buffer[0, cut), then deals with the tail
// before `cut`: it is sent as a line of its own when `flush` is set or when it
// fills the whole batch, otherwise kept. What was sent is removed: the kept
// tail and the bytes from `cut` on move to the front of the buffer. Returns
// the number of bytes now held there. `buffer` holds kBatchCapacity + 1 bytes.
std::size_t forward_up_to(char* buffer, std::size_t length, std::size_t cut, bool flush, LineSink sink = log_line);

// forward_up_to over the whole of buffer[0, length).
std::size_t forward_batch(char* buffer, std::size_t length, bool flush, LineSink sink = log_line);
