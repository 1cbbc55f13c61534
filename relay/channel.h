#pragma once

#include "relay/batches.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The channel from the main thread to the relay thread. Once the relay runs
// it is the daemon's one writer to the log: the main thread hands it each
// message as a record, stamped with the position in the client's output at
// which the message belongs, and never waits on the system logger. The relay
// logs the client's output up to that position first, so the log shows
// events in the order they happened however slow the logger is.

enum class RecordKind : std::uint8_t {
    message,      // log `text` after the client's complete lines before `position`
    client_end,   // the same, and the client's unterminated last line before it
    switch_fifo,  // finish the FIFO read so far, then read `fifo` instead
    stop,         // log everything before `position`, then answer: the daemon exits
};

inline constexpr std::size_t kRecordSize = 128;
inline constexpr std::size_t kRecordTextSize = 108;  // what the other fields leave of a record

struct RelayRecord {
    std::uint64_t position;  // bytes of the FIFO's stream that come before the record
    RecordKind kind;
    int priority;
    int fifo;  // switch_fifo: the new FIFO, open for the relay
    char text[kRecordTextSize];  // NUL-terminated, cut short if longer
};
// A pipe write of at most PIPE_BUF bytes is atomic: records arrive whole, and
// a 64 KiB pipe holds 512 of them.
static_assert(sizeof(RelayRecord) == kRecordSize, "records are read in whole multiples");

// The relay subsystem's one record. Created at start-up and never torn down.
struct RelayLink {
    int records[2] = {-1, -1};  // pipe, main thread to relay; the write end never blocks
    int answers[2] = {-1, -1};  // pipe, relay to main thread: "all logged" after a stop record
    FifoReader reader;          // shared: see batches.h
    // Main thread only.
    bool running = false;    // the relay thread runs: messages go through it
    int fifo = -1;           // the newest FIFO, the one at kFifoPath
    dev_t fifo_device = 0;   // and its identity, as lstat() sees it
    ino_t fifo_inode = 0;
    unsigned unsent = 0;     // messages dropped on a full channel and not yet reported
};
extern RelayLink relay_link;

// Opens kFifoPath for the relay and records it in relay_link as the newest
// FIFO. Logs the failure and returns -1 when it cannot.
int open_relay_fifo();

// Creates both pipes, close-on-exec and non-blocking. False, with errno set,
// when they cannot be had.
bool open_channel(RelayLink& link);
void close_channel(RelayLink& link);

// Main thread: stamps `record` with the position the client's output has
// reached, runs `act` (or nothing), and sends the record, after a report of
// the messages dropped before it, if any. All of that under the reader's
// lock: the relay cannot take output written after the stamp, such as the
// client's answer to `act`, until the record is in the channel, where it
// looks before it forwards anything. False when the channel was full and the
// record was not sent.
bool stamp_and_send(RelayLink& link, RelayRecord& record, void (*act)() = nullptr);

// Relay thread: reads up to `room` waiting records without waiting; returns
// how many.
std::size_t take_records(const RelayLink& link, RelayRecord* records, std::size_t room);

// Child side, between vfork and exec: reports that the FIFO could not be
// opened, with the record prepare_client_output made (or, with no relay
// running, straight to the log).
void report_client_output_failure();
