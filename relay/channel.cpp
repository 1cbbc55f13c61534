#include "relay/channel.h"

#include "relay/relay.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

RelayLink relay_link;

namespace {

// At a stop the process exits once the relay has logged everything, so it
// is given time to finish even behind a slow system logger; the bound stays
// well under the 30 s that the service manager allows for a stop.
constexpr int kStopDrainSeconds = 20;
constexpr int kMillisPerSecond = 1000;

// Written by the vfork child, which may take no lock: prepared before the vfork.
RelayRecord child_failure;

bool send_record(const RelayLink& link, const RelayRecord& record) {
    return write(link.records[1], &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

void hand_over(RecordKind kind, void (*act)(), int priority, const char* format, va_list arguments) {
    char text[sizeof RelayRecord::text];
    (void)vsnprintf(text, sizeof text, format, arguments);  // a longer text is cut short
    if (!relay_link.running) {
        if (act != nullptr) {
            act();
        }
        syslog(priority, "%s", text);
        return;
    }
    RelayRecord record{};
    record.kind = kind;
    record.priority = priority;
    std::memcpy(record.text, text, sizeof text);
    if (!stamp_and_send(relay_link, record, act)) {
        ++relay_link.unsent;
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

bool open_channel(RelayLink& link) {
    if (pipe2(link.records, O_CLOEXEC | O_NONBLOCK) == 0 && pipe2(link.answers, O_CLOEXEC | O_NONBLOCK) == 0) {
        return true;
    }
    const int saved = errno;
    close_channel(link);
    errno = saved;
    return false;
}

void close_channel(RelayLink& link) {
    for (int* end : {&link.records[0], &link.records[1], &link.answers[0], &link.answers[1]}) {
        if (*end >= 0) {
            close(*end);
        }
        *end = -1;
    }
}

bool stamp_and_send(RelayLink& link, RelayRecord& record, void (*act)()) {
    pthread_mutex_lock(&link.reader.lock);
    record.position = fifo_position(link.reader, link.fifo);
    if (act != nullptr) {
        act();
    }
    if (link.unsent > 0) {
        RelayRecord warning{};
        warning.position = record.position;
        warning.kind = RecordKind::message;
        warning.priority = LOG_WARNING;
        (void)snprintf(warning.text, sizeof warning.text, "%u messages not logged: the system logger fell behind",
                       link.unsent);
        if (send_record(link, warning)) {
            link.unsent = 0;
        }
    }
    const bool sent = send_record(link, record);
    pthread_mutex_unlock(&link.reader.lock);
    return sent;
}

std::size_t take_records(const RelayLink& link, RelayRecord* records, std::size_t room) {
    for (;;) {
        const ssize_t count = read(link.records[0], records, room * sizeof *records);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count > 0 ? static_cast<std::size_t>(count) / sizeof *records : 0;
    }
}

void log_event(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::message, nullptr, priority, format, arguments);
    va_end(arguments);
}

void log_event_after(void (*act)(), int priority, const char* format, ...) {
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
    if (stop_relay(monotonic_millis() + std::int64_t{kStopDrainSeconds} * kMillisPerSecond)) {
        return;
    }
    // The relay is stuck in the system logger, so this goes where the
    // service manager still reads: standard error.
    int waiting = 0;
    int messages = 0;
    if (ioctl(relay_link.fifo, FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    if (ioctl(relay_link.records[0], FIONREAD, &messages) != 0) {
        messages = 0;
    }
    dprintf(STDERR_FILENO,
            "quorVixd: not all logged within %d s of the stop: at least %d bytes of client output and %u messages left unlogged\n",
            kStopDrainSeconds, waiting,
            static_cast<unsigned>(messages) / static_cast<unsigned>(kRecordSize) + relay_link.unsent);
}

void prepare_client_output() {
    if (!relay_link.running) {
        return;
    }
    child_failure = RelayRecord{};
    child_failure.kind = RecordKind::message;
    child_failure.priority = LOG_ERR;
    (void)snprintf(child_failure.text, sizeof child_failure.text, "%s", "Preparing STDERR_FILENO failed");
    pthread_mutex_lock(&relay_link.reader.lock);
    child_failure.position = fifo_position(relay_link.reader, relay_link.fifo);
    pthread_mutex_unlock(&relay_link.reader.lock);
}

void report_client_output_failure() {
    if (relay_link.running) {
        (void)!write(relay_link.records[1], &child_failure, sizeof child_failure);
        return;
    }
    syslog(LOG_ERR, "Preparing STDERR_FILENO failed");
}
