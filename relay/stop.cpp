// The stop: the last record, the wait for the relay's answer, and the report
// when it does not come.

#include "relay/stop.h"

#include "common/clock.h"
#include "relay/channel.h"
#include "relay/order.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

// Waits until `fd` is ready for `events` or the deadline has passed; signals
// do not end the wait.
bool await_ready(int fd, short events, std::int64_t deadline) {
    pollfd ready{fd, events, 0};
    for (;;) {
        const std::int64_t left = deadline - clock_millis();
        if (left <= 0) {
            return false;
        }
        const int count = poll(&ready, 1, static_cast<int>(left));
        if (count > 0) {
            return true;
        }
        if (count == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

bool drain_relay(RelayLink& link, std::int64_t deadline) {
    RelayRecord stop{};
    stop.kind = RecordKind::stop;
    while (!stamp_and_send(link, stop)) {
        if (!await_ready(link.records[1], POLLOUT, deadline)) {
            return false;
        }
    }
    char answer = 0;
    while (await_ready(link.answers[0], POLLIN, deadline)) {
        if (read(link.answers[0], &answer, 1) == 1) {
            return true;
        }
    }
    return false;
}

long long unlogged_messages(RelayLink& link) {
    take_child_report(link);
    return static_cast<long long>(link.sent) - link.logged.load() + link.unsent;
}

void report_unlogged(RelayLink& link) {
    // The bytes the relay has not read (what it holds is not counted, hence
    // "at least"), and every message handed over and not logged, or dropped
    // on the way.
    dprintf(STDERR_FILENO,
            "quorVixd: not all logged within %d s of the stop: at least %d bytes of client output and %lld messages left unlogged\n",
            kStopDrainSeconds, static_cast<int>(bytes_waiting(link.fifo)), unlogged_messages(link));
}
