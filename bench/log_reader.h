#pragma once

// A dedicated reader for a syslog datagram socket, fast enough to keep up
// with any one sender: the kernel lets only a handful of datagrams wait in a
// Unix socket's queue (net.unix.max_dgram_qlen) before the sender blocks, so
// a slow reader would measure itself instead of the sender. It takes what is
// waiting in batches with recvmmsg, parses each frame in place and hands it
// to a handler on the reader's own thread, without allocating.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <sys/types.h>
#include <thread>

namespace tools {

using Clock = std::chrono::steady_clock;

// One frame as glibc's syslog() and logger(1) format it for a local socket:
// "<PRI>Mmm dd hh:mm:ss ident[pid]: text". Views into the reader's buffer,
// valid during the handler call only.
struct FrameView {
    int priority = -1;
    std::string_view ident;
    pid_t pid = 0;
    std::string_view text;
    bool parsed = false;     // false: `text` is the whole datagram
    bool truncated = false;  // longer than the reader's buffer
    Clock::time_point received;  // when the batch holding it was taken
};

// Parses one datagram; `parsed` tells whether it had the expected shape.
FrameView parse_frame(std::string_view datagram);

class LogReader {
public:
    using Handler = std::function<void(const FrameView&)>;

    // Starts reading `socket` (which stays the caller's) on a new thread. The
    // socket is switched to blocking reads with a short timeout while the
    // reader runs, and given back as it was.
    LogReader(int socket, Handler handler);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Stops the thread; every frame it took has been handled on return.
    void stop();

    // Work done so far (exact once stopped).
    std::uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }
    std::uint64_t batches() const { return batches_.load(std::memory_order_relaxed); }
    // Batches that found the socket's queue at or beyond this many frames,
    // which is where senders start to block.
    std::uint64_t full_batches() const { return full_batches_.load(std::memory_order_relaxed); }
    // CPU time of the reader thread, in nanoseconds (exact once stopped).
    std::uint64_t cpu_ns() const { return cpu_ns_.load(std::memory_order_relaxed); }

    static constexpr unsigned kQueueLimitHint = 10;

private:
    void run();

    int socket_;
    int saved_flags_ = 0;
    Handler handler_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> batches_{0};
    std::atomic<std::uint64_t> full_batches_{0};
    std::atomic<std::uint64_t> cpu_ns_{0};
    std::thread thread_;
};

}  // namespace tools
