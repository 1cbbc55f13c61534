#include "relay/batches.h"

#include "relay/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kMillisPerSecond = 1000;

bool ready(const pollfd& fd) {
    return (fd.revents & (POLLIN | POLLHUP)) != 0;
}

// Gathers further data behind `length` bytes while it keeps arriving within
// one shared kGatherWaitSeconds budget. Only time spent waiting uses the
// budget up; once it is gone, each wait is an instant check, so the batch ends
// at the first check that finds nothing waiting, or when it is full.
Batch gather(FifoReader& reader, pollfd (&fds)[3], char* buffer, std::size_t length) {
    std::int64_t budget = std::int64_t{kGatherWaitSeconds} * kMillisPerSecond;
    while (length < kBatchCapacity) {
        const std::int64_t before = monotonic_millis();
        const int count = poll(fds, 3, static_cast<int>(budget));
        budget = std::max<std::int64_t>(0, budget - (monotonic_millis() - before));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        if (ready(fds[1]) || ready(fds[2])) {
            return {length, BatchEnd::other};
        }
        length = read_fifo(reader, buffer, length);
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

Batch collect_batch(FifoReader& reader, int records, int old_fifo, char* buffer, std::size_t kept, bool carried) {
    pollfd fds[3] = {{reader.fifo, POLLIN, 0}, {records, POLLIN, 0}, {old_fifo, POLLIN, 0}};
    for (;;) {
        // Nothing to flush, nothing to wake for.
        const int timeout = carried ? kIdleWaitSeconds * kMillisPerSecond : -1;
        const int count = poll(fds, 3, timeout);
        if (count < 0) {
            if (errno != EINTR) {
                syslog(LOG_ERR, "select error: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (count == 0) {
            return {kept, BatchEnd::idle};
        }
        if (ready(fds[1])) {
            return {kept, BatchEnd::other};
        }
        const std::size_t length = read_fifo(reader, buffer, kept);
        if (length > kept) {
            return gather(reader, fds, buffer, length);
        }
        if (ready(fds[2])) {
            return {kept, BatchEnd::other};
        }
    }
}
