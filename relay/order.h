#pragma once

#include "relay/lines.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// The log's order. Once the relay thread runs it is the daemon's one writer
// to the log: the main thread hands it each message as a record (channel.h)
// that carries a position in the FIFO's byte stream, and the relay logs the
// client's output before that position, then the message. Two rules make
// the log show events in the order they happened, however slow the system
// logger is:
//
// 1. A record is stamped with the bytes the relay has read from the FIFO
//    plus the bytes still waiting in it, and sent, under one hold of the
//    reader's lock. What the client wrote before the stamp lies before the
//    position; what it writes after the stamp the relay cannot read until
//    the record is in the channel.
// 2. After every read the relay handles the records waiting in the channel
//    before it forwards anything it read: a record sent before that read
//    may belong before some of it.
//
// The lock is held only around non-blocking calls, so a stalled logger holds
// up neither thread's stamps nor reads.

struct RelayLink;
struct RelayRecord;

// The FIFO the relay reads and how many bytes it has taken from it since it
// began to read it, both changed under the lock.
struct FifoReader {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int fifo = -1;
    std::uint64_t consumed = 0;
};

// Main thread: stamps `record` and sends it (rule 1), after the report of
// messages dropped before it, if any. Each record carries the position of
// the latest client end whose record was dropped, so that the relay still
// ends that client's last line there. False when the channel was full and
// the record was not sent: it is then counted as dropped.
bool stamp_and_send(RelayLink& link, RelayRecord& record);

// With the reader's lock held: the position in the stream of `fifo` that the
// client has written up to, that is, what the relay has read of it and what
// is still waiting. `fifo` may be a FIFO the relay has not switched to yet.
std::uint64_t fifo_position(const FifoReader& reader, int fifo);

// Relay thread: reads what is waiting in the FIFO into buffer behind `length`
// bytes, up to `limit` bytes in all, without waiting, and counts it. Returns
// the new length.
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
// yet. The main thread counted those bytes as waiting; if they are not there
// (another reader took them) it forwards what it has. Never reads past
// `position`, so a writer that never pauses cannot keep it reading.
void forward_to(Held& held, FifoReader& reader, std::uint64_t position, bool flush, LineSink sink = log_line);

// A FIFO that was replaced while processes a client left behind (its
// background children) still held it open for writing. The relay keeps
// reading it until they have all gone, so that they are neither blocked nor
// killed, and forwards their lines as they come.
struct OldFifo {
    int fifo;  // read-only: it sees end-of-file once the writers have gone; -1 when none
    char* buffer;  // kBatchCapacity + 1 bytes
    std::size_t length;
};

// The relay thread's state between rounds.
struct Relay {
    Held held;
    OldFifo old;
};

// One round of the relay thread: waits for client output, records or the old
// FIFO, then settles. A tail carried for kIdleWaitSeconds without more
// output is forwarded as a line of its own.
void relay_round(Relay& relay);

// After a read: handles every waiting record (rule 2), takes what the old
// FIFO brought, and forwards the complete lines held.
void settle(Relay& relay);
