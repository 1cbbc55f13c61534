#pragma once

#include "relay/lines.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// Reading the FIFO in batches, on the relay thread.

inline constexpr int kIdleWaitSeconds = 5;    // a carried tail is flushed after this long without data
inline constexpr int kGatherWaitSeconds = 1;  // budget for the rest of a batch

// CLOCK_MONOTONIC in milliseconds, for the relay's deadlines.
std::int64_t monotonic_millis();

// The FIFO the relay reads and how many bytes it has taken from it since it
// opened it. The relay changes both under the lock; the main thread reads
// them under it to learn where in the client's output its messages belong
// (fifo_position). The lock is held only around non-blocking calls.
struct FifoReader {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int fifo = -1;
    std::uint64_t consumed = 0;
};

// Reads what is waiting in the FIFO into buffer behind `length` bytes, up to
// `limit` bytes in all, without waiting. Returns the new length.
std::size_t read_available(FifoReader& reader, char* buffer, std::size_t length,
                           std::size_t limit = kBatchCapacity);

// With the reader's lock held: the position in the stream of `fifo` that the
// client has written up to, that is, what the relay has read of it and what
// is still waiting. `fifo` may be a FIFO the relay has not switched to yet.
std::uint64_t fifo_position(const FifoReader& reader, int fifo);

// What one batch wait produced.
enum class BatchEnd {
    data,     // bytes arrived; buffer[0, length) holds the carried tail and them
    idle,     // kIdleWaitSeconds passed with a tail carried and no data: time to flush it
    records,  // the main thread has sent records (read them before forwarding)
};
struct Batch {
    std::size_t length;
    BatchEnd end;
};

// Waits for the next batch and reads it into `buffer` behind the `kept` bytes
// carried there from the previous batch, up to kBatchCapacity bytes in all.
// Without a carried tail the wait has no timeout. Once data is there, gathers
// what follows within one shared kGatherWaitSeconds budget. `records` (or -1)
// is the channel from the main thread; a record waiting there ends the wait,
// and is left for the caller.
Batch collect_batch(FifoReader& reader, int records, char* buffer, std::size_t kept);
