#pragma once

#include "relay/link.h"

#include <cstddef>
#include <cstdint>

// The channel from the main thread to the relay thread: records in a pipe,
// each a message or a request, stamped with the position in the client's
// output at which it belongs (order.h), and one answer back at a stop.

enum class RecordKind : std::uint8_t {
    message,      // log `text` after the client's complete lines before `position`
    client_end,   // the same, and the client's unterminated last line before it
    switch_fifo,  // finish the FIFO read so far, then read `fifo` instead
    stop,         // log everything before `position`, then answer: the daemon exits
};

inline constexpr std::size_t kRecordSize = 128;
inline constexpr std::size_t kRecordTextSize = 114;  // what the other fields leave of a record

struct RelayRecord {
    std::uint64_t position;  // bytes of the FIFO's stream that come before the record
    int fifo;                // switch_fifo: the new FIFO, open read-only for the relay
    RecordKind kind;
    std::uint8_t priority;
    char text[kRecordTextSize];  // NUL-terminated, cut short if longer
};
// A pipe write of at most PIPE_BUF bytes is atomic: records arrive whole, and
// a 64 KiB pipe holds 512 of them.
static_assert(sizeof(RelayRecord) == kRecordSize, "records are read in whole multiples");

// Creates both pipes, close-on-exec and non-blocking. False, with errno set,
// when they cannot be had.
bool open_channel(RelayLink& link);
void close_channel(RelayLink& link);

// Writes one record without waiting. False when the channel is full.
bool send_record(const RelayLink& link, const RelayRecord& record);

// Relay thread: reads up to `room` waiting records without waiting; returns
// how many.
std::size_t take_records(const RelayLink& link, RelayRecord* records, std::size_t room);

// Main thread: counts the vfork child's report, if it made one, as a message
// sent or dropped.
void take_child_report(RelayLink& link);
