#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

// The relay's shared state: one record, made at start-up and never torn
// down, touched by the main thread, the relay thread and the vfork child,
// each in the parts marked for it. The daemon has one (relay.cpp); a test
// builds its own.

inline constexpr std::uint64_t kNoPosition = UINT64_MAX;
// Client ends whose last line could be closed neither by their record nor in
// the FIFO itself (the channel and the FIFO were both full): a few at most,
// since while the FIFO is full no client writes anything more to close.
inline constexpr std::size_t kKeptEnds = 4;

// A position in the byte stream of one FIFO.
struct FifoPosition {
    int fifo;
    std::uint64_t position;
};

// The FIFO the relay reads, what it has taken from it, and the client ends
// it must close a line at before it reads on: changed only under `lock`
// (order.h).
struct FifoReader {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int fifo = -1;
    std::uint64_t consumed = 0;
    FifoPosition ends[kKeptEnds] = {};  // oldest first; the main thread adds, the relay removes
    std::size_t end_count = 0;
};

// What the vfork child did with its report of a failed redirection. The child
// shares the daemon's memory until it execs or exits, so the main thread
// reads this once the vfork has returned.
enum ChildReport : sig_atomic_t { kChildReportNone, kChildReportSent, kChildReportDropped };

struct RelayLink {
    int records[2] = {-1, -1};  // pipe, main thread to relay; the write end never blocks
    int answers[2] = {-1, -1};  // pipe, relay to main thread: "all logged" after a stop record
    FifoReader reader;          // shared, under its lock
    std::atomic<unsigned> logged{0};  // messages the relay has logged
    // Main thread only.
    bool running = false;    // the relay thread runs: messages go through it
    int keeper = -1;         // the newest FIFO, open read-write: it always has a reader and a writer
    int fifo = -1;           // the same FIFO, open read-only: the relay's, stamps are taken on it
    dev_t fifo_device = 0;   // and its identity, as lstat() sees it
    ino_t fifo_inode = 0;
    unsigned sent = 0;       // messages handed to the relay
    unsigned unsent = 0;     // messages dropped on a full channel and not yet reported
    volatile sig_atomic_t child_report = kChildReportNone;  // written by the vfork child
};
