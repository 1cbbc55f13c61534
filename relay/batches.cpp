#include "relay/batches.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kMillisPerSecond = 1000;

// Gathers further data behind `length` bytes while it keeps arriving within
// one shared kGatherWaitSeconds budget. Only time spent waiting uses the
// budget up; once it is gone, each wait is an instant check, so the batch ends
// at the first check that finds nothing waiting, or when it is full.
Batch gather(FifoReader& reader, int records, char* buffer, std::size_t length) {
    pollfd fds[2] = {{reader.fifo, POLLIN, 0}, {records, POLLIN, 0}};
    std::int64_t budget = std::int64_t{kGatherWaitSeconds} * kMillisPerSecond;
    while (length < kBatchCapacity) {
        const std::int64_t before = monotonic_millis();
        const int ready = poll(fds, 2, static_cast<int>(budget));
        budget = std::max<std::int64_t>(0, budget - (monotonic_millis() - before));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            return {length, BatchEnd::records};
        }
        length = read_available(reader, buffer, length);
    }
    return {length, BatchEnd::data};
}

}  // namespace

std::int64_t monotonic_millis() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    constexpr long kNanosPerMilli = 1000000;
    return std::int64_t{now.tv_sec} * kMillisPerSecond + now.tv_nsec / kNanosPerMilli;
}

std::size_t read_available(FifoReader& reader, char* buffer, std::size_t length, std::size_t limit) {
    pthread_mutex_lock(&reader.lock);
    while (length < limit) {
        const ssize_t count = read(reader.fifo, buffer + length, limit - length);
        if (count > 0) {
            length += static_cast<std::size_t>(count);
            reader.consumed += static_cast<std::uint64_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: nothing more waiting
        }
    }
    pthread_mutex_unlock(&reader.lock);
    return length;
}

std::uint64_t fifo_position(const FifoReader& reader, int fifo) {
    int waiting = 0;
    if (ioctl(fifo, FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    // Until the relay switches to a new FIFO it has read nothing of it.
    const std::uint64_t read_so_far = reader.fifo == fifo ? reader.consumed : 0;
    return read_so_far + static_cast<std::uint64_t>(waiting);
}

Batch collect_batch(FifoReader& reader, int records, char* buffer, std::size_t kept) {
    pollfd fds[2] = {{reader.fifo, POLLIN, 0}, {records, POLLIN, 0}};
    for (;;) {
        // Nothing to flush, nothing to wake for.
        const int timeout = kept > 0 ? kIdleWaitSeconds * kMillisPerSecond : -1;
        const int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno != EINTR) {
                syslog(LOG_ERR, "select error: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (ready == 0) {
            return {kept, BatchEnd::idle};
        }
        if (fds[1].revents & POLLIN) {
            return {kept, BatchEnd::records};
        }
        const std::size_t length = read_available(reader, buffer, kept);
        if (length > kept) {
            return gather(reader, records, buffer, length);
        }
    }
}
