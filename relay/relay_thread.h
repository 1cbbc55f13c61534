#pragma once

#include "common/clock.h"
#include "relay/order.h"

#include <cstddef>
#include <poll.h>

// The relay thread: it waits for client output, records from the main thread
// or an old FIFO's writers, reads what came in batches, then settles
// (order.h).

inline constexpr int kIdleWaitSeconds = 5;    // a carried tail is flushed after this long without data
inline constexpr int kGatherWaitSeconds = 1;  // budget for the rest of a batch

// The thread's two waits, in milliseconds: the daemon's are the constants
// above; tests pass shorter ones.
struct RelayBudgets {
    int idle_millis = kIdleWaitSeconds * kMillisPerSecond;
    int gather_millis = kGatherWaitSeconds * kMillisPerSecond;
};

// What one batch wait produced.
enum class BatchEnd {
    data,   // bytes arrived; buffer[0, length) holds the carried tail and them
    idle,   // the idle budget passed with a tail carried and no data: time to flush it
    other,  // records from the main thread, or an old FIFO, want handling
};
struct Batch {
    std::size_t length;
    BatchEnd end;
};

// Waits for the next batch and reads it into `buffer` behind the `kept` bytes
// carried there from the previous batch, up to kBatchCapacity bytes in all.
// `fds[0]` is the FIFO (the reader's), `fds[1]` the channel from the main
// thread, the rest the old FIFOs; -1 where there is none. Without a tail
// `carried` (here or elsewhere) the wait has no timeout. Once data is there,
// gathers what follows within one shared gather budget. A waiting record, or
// anything on an old FIFO, ends the wait and is left for the caller; records
// come first, then the FIFO, then the old FIFOs, so that none of them can
// keep the others waiting.
Batch collect_batch(FifoReader& reader, pollfd* fds, nfds_t count, char* buffer, std::size_t kept, bool carried,
                    const RelayBudgets& budgets);

// One round of the relay thread: waits, then settles, or, after the idle
// budget without more output, forwards the carried tails as lines of their
// own.
void relay_round(Relay& relay, const RelayBudgets& budgets);

// Opens the FIFO for the relay and starts the detached relay thread over
// `link`. When either fails, logs why and leaves `link` not running.
void start_relay(RelayLink& link);
