// The main thread's side of the channel: its messages, and the stop.

#include "relay/channel.h"
#include "relay/relay.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// At a stop the process exits once the relay has logged everything, so it
// is given time to finish even behind a slow system logger; the bound stays
// well under the 30 s that the service manager allows for a stop.
constexpr int kStopDrainSeconds = 20;
constexpr std::int64_t kMillisPerSecond = 1000;

void hand_over(RecordKind kind, void (*act)(), int priority, const char* format, va_list arguments) {
    char text[kRecordTextSize];
    (void)vsnprintf(text, sizeof text, format, arguments);  // a longer text is cut short
    if (!relay_link.running) {
        // Straight to the log, which may be slow: the action first.
        if (act != nullptr) {
            act();
        }
        syslog(priority, "%s", text);
        return;
    }
    RelayRecord record{};
    record.kind = kind;
    record.priority = static_cast<std::uint8_t>(priority);
    std::memcpy(record.text, text, sizeof text);
    stamp_and_send(relay_link, record);
    // Whatever the action brings out of the client lies behind the stamp.
    if (act != nullptr) {
        act();
    }
}

// Waits until `fd` is ready for `events` or the deadline has passed; signals
// do not end the wait.
bool await_ready(int fd, short events, std::int64_t deadline) {
    pollfd ready{fd, events, 0};
    for (;;) {
        const std::int64_t left = deadline - monotonic_millis();
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

// Hands the relay the stop record, waiting for room if the channel is full,
// then waits for its answer. False at the deadline.
bool stop_relay(std::int64_t deadline) {
    RelayRecord stop{};
    stop.kind = RecordKind::stop;
    while (!stamp_and_send(relay_link, stop)) {
        if (!await_ready(relay_link.records[1], POLLOUT, deadline)) {
            return false;
        }
    }
    char answer = 0;
    while (await_ready(relay_link.answers[0], POLLIN, deadline)) {
        if (read(relay_link.answers[0], &answer, 1) == 1) {
            return true;
        }
    }
    return false;
}

}  // namespace

void log_event(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::message, nullptr, priority, format, arguments);
    va_end(arguments);
}

void log_event_then(void (*act)(), int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::message, act, priority, format, arguments);
    va_end(arguments);
}

void log_client_end(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::client_end, nullptr, priority, format, arguments);
    va_end(arguments);
}

void finish_output_relay() {
    if (!relay_link.running) {
        return;
    }
    if (stop_relay(monotonic_millis() + kStopDrainSeconds * kMillisPerSecond)) {
        return;
    }
    // The relay is stuck in the system logger, so this goes where the
    // service manager still reads: standard error. The bytes the relay has
    // not read (what it holds is not counted, hence "at least"), and every
    // message handed over and not logged, or dropped on the way.
    take_child_report(relay_link);
    int waiting = 0;
    if (ioctl(relay_link.fifo, FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    const long long messages = static_cast<long long>(relay_link.sent) - relay_link.logged.load() + relay_link.unsent;
    dprintf(STDERR_FILENO,
            "quorVixd: not all logged within %d s of the stop: at least %d bytes of client output and %lld messages left unlogged\n",
            kStopDrainSeconds, waiting, messages);
}
