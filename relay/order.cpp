// The log's order: the stamp on the main thread's side, reading and
// forwarding up to a position on the relay's. The rules are in order.h.

#include "relay/order.h"

#include "relay/batches.h"
#include "relay/channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t kRecordsPerRead = 4;

bool is_message(RecordKind kind) {
    return kind == RecordKind::message || kind == RecordKind::client_end;
}

void forward_held(Held& held, std::size_t cut, bool flush, LineSink sink = log_line) {
    const std::size_t before = held.length;
    held.length = forward_up_to(held.buffer, held.length, cut, flush, sink);
    held.base += before - held.length;
}

int bytes_waiting(int fifo) {
    int waiting = 0;
    return ioctl(fifo, FIONREAD, &waiting) == 0 ? waiting : 0;
}

// Reads from the old FIFO without waiting, at most `limit` bytes and at most
// what fits behind what it holds, and forwards the complete lines. Closes it,
// with its last unterminated line, once its writers have gone. Returns the
// bytes read.
std::size_t read_old_fifo(OldFifo& old, std::size_t limit) {
    if (old.length == kBatchCapacity) {
        old.length = forward_batch(old.buffer, old.length, false);
    }
    ssize_t count = 0;
    while ((count = read(old.fifo, old.buffer + old.length, std::min(limit, kBatchCapacity - old.length))) < 0 &&
           errno == EINTR) {
    }
    const std::size_t got = count > 0 ? static_cast<std::size_t>(count) : 0;
    const bool gone = count == 0 && limit > 0;
    old.length = forward_batch(old.buffer, old.length + got, gone);
    if (gone) {
        close(old.fifo);
        old.fifo = -1;
    }
    return got;
}

// At a stop, or at a second switch: what the old FIFO holds now, its last
// line included. Its writers may go on writing for ever.
void finish_old_fifo(OldFifo& old) {
    for (std::size_t left = static_cast<std::size_t>(bytes_waiting(old.fifo)); left > 0 && old.fifo >= 0;) {
        const std::size_t got = read_old_fifo(old, left);
        if (got == 0) {
            break;
        }
        left -= std::min(left, got);
    }
    old.length = forward_batch(old.buffer, old.length, true);
}

// Forwards what the current FIFO held when the switch was stamped, then reads
// the new one. The rest of the old FIFO, and whatever the writers left on it
// write later, is forwarded as it comes; its bytes already read go with it.
void switch_fifo(Relay& relay, const RelayRecord& record) {
    FifoReader& reader = relay_link.reader;
    forward_to(relay.held, reader, record.position, true);
    if (relay.old.fifo >= 0) {
        // A second switch before the writers of the first have gone: the
        // older FIFO is finished as at a stop and closed.
        finish_old_fifo(relay.old);
        if (relay.old.fifo >= 0) {
            close(relay.old.fifo);
        }
    }
    pthread_mutex_lock(&reader.lock);
    relay.old = {reader.fifo, relay.old.buffer, relay.held.length};
    reader.fifo = record.fifo;
    reader.consumed = 0;
    pthread_mutex_unlock(&reader.lock);
    std::copy_n(relay.held.buffer, relay.held.length, relay.old.buffer);
    relay.held.length = 0;
    relay.held.base = 0;
    read_old_fifo(relay.old, kBatchCapacity);
}

void handle(Relay& relay, const RelayRecord& record) {
    Held& held = relay.held;
    if (record.dropped_end != kNoPosition) {
        forward_to(held, relay_link.reader, record.dropped_end, true);
    }
    switch (record.kind) {
        case RecordKind::message:
        case RecordKind::client_end:
            forward_to(held, relay_link.reader, record.position, record.kind == RecordKind::client_end);
            syslog(record.priority, "%s", record.text);
            relay_link.logged.fetch_add(1, std::memory_order_relaxed);
            break;
        case RecordKind::switch_fifo:
            switch_fifo(relay, record);
            break;
        case RecordKind::stop: {
            forward_to(held, relay_link.reader, record.position, true);
            if (relay.old.fifo >= 0) {
                finish_old_fifo(relay.old);
            }
            const char done = 'd';
            (void)!write(relay_link.answers[1], &done, 1);
            break;
        }
    }
}

}  // namespace

bool stamp_and_send(RelayLink& link, RelayRecord& record) {
    take_child_report(link);
    pthread_mutex_lock(&link.reader.lock);
    record.position = fifo_position(link.reader, link.fifo);
    record.dropped_end = link.dropped_end;
    if (link.unsent > 0) {
        RelayRecord warning{};
        warning.position = record.position;
        warning.dropped_end = link.dropped_end;
        warning.kind = RecordKind::message;
        warning.priority = LOG_WARNING;
        (void)snprintf(warning.text, sizeof warning.text, "%u messages not logged: the system logger fell behind",
                       link.unsent);
        if (send_record(link, warning)) {
            link.unsent = 0;
            ++link.sent;
        }
    }
    const bool sent = send_record(link, record);
    pthread_mutex_unlock(&link.reader.lock);
    if (sent) {
        link.dropped_end = kNoPosition;
        link.sent += is_message(record.kind);
    } else if (is_message(record.kind)) {
        ++link.unsent;
        if (record.kind == RecordKind::client_end) {
            link.dropped_end = record.position;
        }
    }
    return sent;
}

std::uint64_t fifo_position(const FifoReader& reader, int fifo) {
    // Until the relay switches to a new FIFO it has read nothing of it.
    const std::uint64_t read_so_far = reader.fifo == fifo ? reader.consumed : 0;
    return read_so_far + static_cast<std::uint64_t>(bytes_waiting(fifo));
}

std::size_t read_fifo(FifoReader& reader, char* buffer, std::size_t length, std::size_t limit) {
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

void forward_to(Held& held, FifoReader& reader, std::uint64_t position, bool flush, LineSink sink) {
    while (held.base + held.length < position) {
        if (held.length == kBatchCapacity) {
            forward_held(held, held.length, false, sink);
        }
        const std::uint64_t missing = position - (held.base + held.length);
        const std::size_t limit =
            held.length + static_cast<std::size_t>(std::min<std::uint64_t>(missing, kBatchCapacity - held.length));
        const std::size_t before = held.length;
        held.length = read_fifo(reader, held.buffer, held.length, limit);
        if (held.length == before) {
            break;
        }
    }
    const std::uint64_t cut = position > held.base ? std::min<std::uint64_t>(position - held.base, held.length) : 0;
    forward_held(held, static_cast<std::size_t>(cut), flush, sink);
}

void settle(Relay& relay) {
    RelayRecord records[kRecordsPerRead];
    std::size_t count = 0;
    while ((count = take_records(relay_link, records, kRecordsPerRead)) > 0) {
        for (std::size_t i = 0; i < count; ++i) {
            handle(relay, records[i]);
        }
    }
    if (relay.old.fifo >= 0) {
        read_old_fifo(relay.old, kBatchCapacity);
    }
    forward_held(relay.held, relay.held.length, false);
}

void relay_round(Relay& relay) {
    const bool carried = relay.held.length > 0 || relay.old.length > 0;
    const Batch batch =
        collect_batch(relay_link.reader, relay_link.records[0], relay.old.fifo, relay.held.buffer, relay.held.length,
                      carried);
    relay.held.length = batch.length;
    if (batch.end == BatchEnd::idle) {
        forward_held(relay.held, relay.held.length, true);
        relay.old.length = forward_batch(relay.old.buffer, relay.old.length, true);
        return;
    }
    settle(relay);
}
