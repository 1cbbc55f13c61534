#pragma once

#include "relay/order.h"

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

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
inline constexpr std::size_t kRecordTextSize = 106;  // what the other fields leave of a record
inline constexpr std::uint64_t kNoPosition = UINT64_MAX;

struct RelayRecord {
    std::uint64_t position;     // bytes of the FIFO's stream that come before the record
    std::uint64_t dropped_end;  // where a client ended whose record was dropped, or kNoPosition
    int fifo;                   // switch_fifo: the new FIFO, open read-only for the relay
    RecordKind kind;
    std::uint8_t priority;
    char text[kRecordTextSize];  // NUL-terminated, cut short if longer
};
// A pipe write of at most PIPE_BUF bytes is atomic: records arrive whole, and
// a 64 KiB pipe holds 512 of them.
static_assert(sizeof(RelayRecord) == kRecordSize, "records are read in whole multiples");

// What the vfork child did with its report of a failed redirection. The child
// shares the daemon's memory until it execs or exits, so the main thread
// reads this once the vfork has returned.
enum ChildReport : sig_atomic_t { kChildReportNone, kChildReportSent, kChildReportDropped };

// The relay subsystem's one record. Created at start-up and never torn down.
struct RelayLink {
    int records[2] = {-1, -1};  // pipe, main thread to relay; the write end never blocks
    int answers[2] = {-1, -1};  // pipe, relay to main thread: "all logged" after a stop record
    FifoReader reader;          // shared: see order.h
    std::atomic<unsigned> logged{0};  // messages the relay has logged
    // Main thread only.
    bool running = false;    // the relay thread runs: messages go through it
    int keeper = -1;         // the newest FIFO, open read-write: it always has a reader and a writer
    int fifo = -1;           // the same FIFO, open read-only: the relay's, stamps are taken on it
    dev_t fifo_device = 0;   // and its identity, as lstat() sees it
    ino_t fifo_inode = 0;
    unsigned sent = 0;       // messages handed to the relay
    unsigned unsent = 0;     // messages dropped on a full channel and not yet reported
    std::uint64_t dropped_end = kNoPosition;  // the latest client end dropped and not yet carried
    volatile sig_atomic_t child_report = kChildReportNone;  // written by the vfork child
};
extern RelayLink relay_link;

// Creates both pipes, close-on-exec and non-blocking. False, with errno set,
// when they cannot be had.
bool open_channel(RelayLink& link);
void close_channel(RelayLink& link);

// Writes one record without waiting. False when the channel is full.
bool send_record(const RelayLink& link, const RelayRecord& record);

// Main thread: counts the vfork child's report, if it made one, as a message
// sent or dropped.
void take_child_report(RelayLink& link);

// Relay thread: reads up to `room` waiting records without waiting; returns
// how many.
std::size_t take_records(const RelayLink& link, RelayRecord* records, std::size_t room);

// Child side, between vfork and exec: sends the record prepare_client_output
// made, saying that the FIFO could not be opened (with no relay running,
// logs it), and notes whether it went.
void report_client_output_failure();

// Opens kFifoPath twice and records both in relay_link as the newest FIFO:
// read-write for the main thread and read-only for the relay. Logs the
// failure and returns false when it cannot.
bool open_relay_fifo();
