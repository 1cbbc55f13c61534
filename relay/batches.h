#pragma once

#include "relay/order.h"

#include <cstddef>

// Waiting for the FIFO and reading it in batches, on the relay thread.

inline constexpr int kIdleWaitSeconds = 5;    // a carried tail is flushed after this long without data
inline constexpr int kGatherWaitSeconds = 1;  // budget for the rest of a batch

// What one batch wait produced.
enum class BatchEnd {
    data,   // bytes arrived; buffer[0, length) holds the carried tail and them
    idle,   // kIdleWaitSeconds passed with a tail carried and no data: time to flush it
    other,  // records from the main thread, or the old FIFO, want handling
};
struct Batch {
    std::size_t length;
    BatchEnd end;
};

// Waits for the next batch and reads it into `buffer` behind the `kept` bytes
// carried there from the previous batch, up to kBatchCapacity bytes in all.
// Without a tail `carried` (here or elsewhere) the wait has no timeout. Once
// data is there, gathers what follows within one shared kGatherWaitSeconds
// budget. A record waiting in `records`, the channel from the main thread, or
// anything on `old_fifo` (either may be -1) ends the wait and is left for the
// caller; records come first, then the FIFO, then the old FIFO, so that none
// of them can keep the others waiting.
Batch collect_batch(FifoReader& reader, int records, int old_fifo, char* buffer, std::size_t kept, bool carried);
