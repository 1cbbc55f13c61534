#include "log_reader.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <vector>

namespace tools {
namespace {

constexpr unsigned kBatch = 64;                // datagrams per recvmmsg
constexpr std::size_t kDatagramBytes = 16384;  // beyond the relay's 8191-byte pieces and a header
constexpr long kPollMillis = 50;               // how soon a stop is noticed when all is quiet
constexpr std::size_t kTimestampBytes = 16;    // "Mmm dd hh:mm:ss "

void set_receive_timeout(int socket, long millis) {
    timeval timeout{millis / 1000, (millis % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

}  // namespace

FrameView parse_frame(std::string_view datagram) {
    FrameView frame;
    frame.text = datagram;
    if (datagram.size() < 3 || datagram[0] != '<') {
        return frame;
    }
    std::size_t at = 1;
    int priority = 0;
    while (at < datagram.size() && datagram[at] >= '0' && datagram[at] <= '9') {
        priority = priority * 10 + (datagram[at++] - '0');
    }
    if (at >= datagram.size() || datagram[at] != '>') {
        return frame;
    }
    const std::size_t ident = at + 1 + kTimestampBytes;
    if (ident >= datagram.size()) {
        return frame;
    }
    const std::size_t open = datagram.find('[', ident);
    if (open == std::string_view::npos) {
        return frame;
    }
    std::size_t digit = open + 1;
    pid_t pid = 0;
    while (digit < datagram.size() && datagram[digit] >= '0' && datagram[digit] <= '9') {
        pid = pid * 10 + (datagram[digit++] - '0');
    }
    if (datagram.substr(digit, 3) != "]: ") {
        return frame;
    }
    frame.priority = priority;
    frame.ident = datagram.substr(ident, open - ident);
    frame.pid = pid;
    frame.text = datagram.substr(digit + 3);
    frame.parsed = true;
    return frame;
}

LogReader::LogReader(int socket, Handler handler) : socket_(socket), handler_(std::move(handler)) {
    saved_flags_ = fcntl(socket_, F_GETFL);
    if (saved_flags_ < 0 || fcntl(socket_, F_SETFL, saved_flags_ & ~O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("log reader: fcntl: ") + std::strerror(errno));
    }
    set_receive_timeout(socket_, kPollMillis);
    thread_ = std::thread([this] { run(); });
}

LogReader::~LogReader() {
    stop();
}

void LogReader::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    thread_.join();
    set_receive_timeout(socket_, 0);
    fcntl(socket_, F_SETFL, saved_flags_);
}

void LogReader::run() {
    // Buffers and headers are set up once; recvmmsg fills them in place.
    std::vector<char> storage(std::size_t{kBatch} * kDatagramBytes);
    std::vector<iovec> vectors(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {storage.data() + std::size_t{i} * kDatagramBytes, kDatagramBytes};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::uint64_t frames = 0;
    std::uint64_t batches = 0;
    std::uint64_t full = 0;
    for (;;) {
        // MSG_WAITFORONE: block for the first datagram (up to the receive
        // timeout), then take whatever else is already queued.
        int count = recvmmsg(socket_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
        if (count <= 0) {
            if (stopping_.load(std::memory_order_relaxed)) {
                break;
            }
            continue;
        }
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < count; ++i) {
            const mmsghdr& message = messages[static_cast<std::size_t>(i)];
            FrameView frame = parse_frame(std::string_view(static_cast<const char*>(vectors[i].iov_base),
                                                           message.msg_len));
            frame.truncated = (message.msg_hdr.msg_flags & MSG_TRUNC) != 0;
            frame.received = now;
            handler_(frame);
        }
        frames += static_cast<std::uint64_t>(count);
        ++batches;
        full += static_cast<unsigned>(count) >= kQueueLimitHint;
        frames_.store(frames, std::memory_order_relaxed);
        batches_.store(batches, std::memory_order_relaxed);
        full_batches_.store(full, std::memory_order_relaxed);
    }
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    cpu_ns_.store(static_cast<std::uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<std::uint64_t>(cpu.tv_nsec),
                  std::memory_order_relaxed);
}

}  // namespace tools
