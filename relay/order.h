#pragma once

#include "relay/channel.h"
#include "relay/lines.h"
#include "relay/link.h"

#include <cstddef>
#include <cstdint>

// The log's order. Once the relay thread runs it is the daemon's one writer
// to the log: the main thread hands it each message as a record (channel.h)
// that carries a position in the FIFO's byte stream, and the relay logs the
// client's output before that position, then the message. Three rules make
// the log show events in the order they happened, however slow the system
// logger is:
//
// 1. A record is stamped with the bytes the relay has read from the FIFO
//    plus the bytes still waiting in it, and sent, under one hold of the
//    reader's lock. What the client wrote before the stamp lies before the
//    position; what it writes after the stamp the relay cannot read until
//    the record is in the channel.
//    The one exception is the vfork child's report that it could not open
//    the FIFO: the main thread stamps it before the vfork, and the child,
//    which may take no lock, sends it. The child writes nothing to the FIFO,
//    so only processes that an earlier client left behind can write between
//    the stamp and the send, and their order against the child's failure is
//    not known anyway.
// 2. After every read the relay handles the records waiting in the channel
//    before it forwards anything it read: a record sent before that read
//    may belong before some of it.
// 3. A client's end whose record was dropped (the channel full) still ends
//    the client's last line: the main thread writes a newline into the FIFO
//    behind it (an empty line is never logged). When the FIFO is full too,
//    the end is kept in the reader, and the relay reads no further than it
//    until it has ended the line there.
//
// The lock is held only around non-blocking calls, so a stalled logger holds
// up neither thread's stamps nor reads.

// Bytes waiting to be read in a FIFO or pipe; 0 when it cannot be told.
std::size_t bytes_waiting(int fd);

// With the reader's lock held: stamps `record` with the position in the
// stream of the main thread's FIFO that the client has written up to (rule 1).
void stamp(const RelayLink& link, RelayRecord& record);

// With the reader's lock held: that position in the stream of `fifo`, which
// may be a FIFO the relay has not switched to yet.
std::uint64_t fifo_position(const FifoReader& reader, int fifo);

// Main thread: stamps `record` and sends it (rule 1), after the report of
// messages dropped before it, if any. False when the channel was full and
// the record was not sent: it is then counted as dropped, and a client end
// still ends the line (rule 3).
bool stamp_and_send(RelayLink& link, RelayRecord& record);

// Main thread: hands `text` to the relay as a record of `kind`, then runs
// `act`, if any: whatever the action brings out of the client lies behind
// the stamp. Without a relay the text goes straight to the log, which may be
// slow, so the action comes first.
void post_message(RelayLink& link, RecordKind kind, void (*act)(), int priority, const char* text);

// Relay thread: reads what is waiting in the FIFO into buffer behind `length`
// bytes, up to `limit` bytes in all and no further than the first kept end,
// without waiting, and counts it. Returns the new length.
std::size_t read_fifo(FifoReader& reader, char* buffer, std::size_t length, std::size_t limit = kBatchCapacity);

// The client output the relay holds and has not forwarded yet:
// buffer[0, length), whose first byte is byte `base` of the FIFO's stream.
// `buffer` holds kBatchCapacity + 1 bytes.
struct Held {
    char* buffer;
    std::size_t length;
    std::uint64_t base;
};

// Forwards the held output before `position`, with the unterminated line
// before it when `flush` is set, reading from the FIFO what it does not hold
// yet and ending a line at each kept end on the way. The main thread counted
// those bytes as waiting; if they are not there it forwards what it has.
// Never reads past `position`, so a writer that never pauses cannot keep it
// reading.
void forward_to(Held& held, FifoReader& reader, std::uint64_t position, bool flush, LineSink sink = log_line);

// A FIFO that was replaced while processes a client left behind (its
// background children) still held it open for writing. The relay keeps
// reading it until they have all gone, so that they are neither blocked nor
// killed, and forwards their lines as they come. Up to kOldFifos are read at
// once; a switch beyond that finishes the oldest as a stop would and closes
// it, and its writers then get SIGPIPE at their next write.
inline constexpr std::size_t kOldFifos = 4;
struct OldFifo {
    int fifo;      // read-only: it sees end-of-file once the writers have gone
    char* buffer;  // kBatchCapacity + 1 bytes
    std::size_t length;
};

// The relay thread's side: its link, the current FIFO's held output and the
// old FIFOs still read, oldest first.
struct Relay {
    RelayLink& link;
    Held held;
    OldFifo old[kOldFifos];
    std::size_t olds;
};

// After a read: handles every waiting record (rule 2), ends the lines at the
// kept ends read up to (rule 3), takes what the old FIFOs brought, and
// forwards the complete lines held.
void settle(Relay& relay);

// Forwards the unterminated lines held, of the current FIFO and the old
// ones, each as a line of its own.
void flush_tails(Relay& relay);
