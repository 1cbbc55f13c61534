#pragma once

#include <cstddef>

// The relay thread: it reads the FIFO in batches and hands them to the line
// rules. Exposed for the tests; the daemon reaches it through relay.h.

inline constexpr int kIdleWaitSeconds = 5;    // wait for a batch's first data
inline constexpr int kGatherWaitSeconds = 1;  // budget for the rest of a batch

// The relay thread's body: reads the FIFO in batches and forwards the lines,
// for ever. Returns only when the FIFO cannot be opened.
void* run_output_relay(void*);

// What one batch wait produced.
enum class BatchEnd {
    data,   // bytes arrived; buffer[0, length) holds the carried tail and them
    idle,   // an idle wait ended with no data: time to flush the carried tail
    drain,  // a drain was requested (the client ended)
};
struct Batch {
    std::size_t length;
    BatchEnd end;
    int next_fifo = -1;  // with a drain: the FIFO to read from now on, if any
};

// Waits for the next batch on `fifo` and reads it into `buffer` behind the
// `kept` bytes carried there from the previous batch, up to kBatchCapacity
// bytes in all. Waits up to kIdleWaitSeconds at a time for the first data,
// then gathers what follows within one shared kGatherWaitSeconds budget.
// `control` (or -1) is the request channel; a request ends the wait.
Batch collect_batch(int fifo, int control, char* buffer, std::size_t kept);
