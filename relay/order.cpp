// The log's order: the stamp on the main thread's side; reading, forwarding
// up to a position and handling records on the relay's. The rules are in
// order.h.

#include "relay/order.h"

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

// Rule 3, with the reader's lock held: a newline behind the ended client's
// output, or, when the FIFO has no room for it, the end kept for the relay.
// Should all kKeptEnds be taken, the newest replaces the last.
void end_dropped_line(RelayLink& link, std::uint64_t position) {
    const char newline = '\n';
    if (write(link.keeper, &newline, 1) == 1) {
        return;
    }
    FifoReader& reader = link.reader;
    const FifoPosition end{link.fifo, position};
    if (reader.end_count > 0) {
        const FifoPosition& last = reader.ends[reader.end_count - 1];
        if (last.fifo == end.fifo && last.position == end.position) {
            return;  // nothing written since: no line to end
        }
    }
    reader.ends[std::min(reader.end_count, kKeptEnds - 1)] = end;
    reader.end_count = std::min(reader.end_count + 1, kKeptEnds);
}

// The first kept end of the FIFO being read, if the relay holds everything
// before it and it lies at or before `limit`.
bool due_end(FifoReader& reader, const Held& held, std::uint64_t limit, std::uint64_t& position) {
    pthread_mutex_lock(&reader.lock);
    const bool due = reader.end_count > 0 && reader.ends[0].fifo == reader.fifo &&
                     reader.ends[0].position <= std::min(limit, held.base + held.length);
    position = reader.ends[0].position;
    pthread_mutex_unlock(&reader.lock);
    return due;
}

// Rule 3 on the relay's side: ends the line at every kept end up to `limit`
// that the relay has read up to. True when it ended any.
bool end_kept_lines(Held& held, FifoReader& reader, std::uint64_t limit, LineSink sink) {
    bool ended = false;
    std::uint64_t position = 0;
    while (due_end(reader, held, limit, position)) {
        forward_held(held, static_cast<std::size_t>(position - held.base), true, sink);
        pthread_mutex_lock(&reader.lock);
        std::copy(reader.ends + 1, reader.ends + reader.end_count, reader.ends);
        --reader.end_count;
        pthread_mutex_unlock(&reader.lock);
        ended = true;
    }
    return ended;
}

// Reads from an old FIFO without waiting, at most `limit` bytes and at most
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

// At a stop, or when a switch needs its place: forwards what an old FIFO
// holds now, its last line included, and closes it. Its writers may go on
// writing for ever, so what they write later is not waited for.
void finish_old_fifo(OldFifo& old) {
    for (std::size_t left = bytes_waiting(old.fifo); left > 0 && old.fifo >= 0;) {
        const std::size_t got = read_old_fifo(old, left);
        if (got == 0) {
            break;
        }
        left -= std::min(left, got);
    }
    old.length = forward_batch(old.buffer, old.length, true);
    if (old.fifo >= 0) {
        close(old.fifo);
        old.fifo = -1;
    }
}

// Drops the old FIFOs that have been closed, keeping the rest in their order.
void forget_closed(Relay& relay) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < relay.olds; ++i) {
        if (relay.old[i].fifo >= 0) {
            std::swap(relay.old[kept++], relay.old[i]);
        }
    }
    relay.olds = kept;
}

// Forwards what the current FIFO held when the switch was stamped, then reads
// the new one. The rest of the old FIFO, and whatever the writers left on it
// write later, is forwarded as it comes; its bytes already read go with it.
void switch_fifo(Relay& relay, const RelayRecord& record) {
    FifoReader& reader = relay.link.reader;
    forward_to(relay.held, reader, record.position, true);
    if (relay.olds == kOldFifos) {
        finish_old_fifo(relay.old[0]);
        forget_closed(relay);
    }
    OldFifo& old = relay.old[relay.olds++];
    pthread_mutex_lock(&reader.lock);
    old.fifo = reader.fifo;
    reader.fifo = record.fifo;
    reader.consumed = 0;
    pthread_mutex_unlock(&reader.lock);
    old.length = relay.held.length;
    std::copy_n(relay.held.buffer, relay.held.length, old.buffer);
    relay.held.length = 0;
    relay.held.base = 0;
    read_old_fifo(old, kBatchCapacity);
    forget_closed(relay);
}

void handle(Relay& relay, const RelayRecord& record) {
    RelayLink& link = relay.link;
    switch (record.kind) {
        case RecordKind::message:
        case RecordKind::client_end:
            forward_to(relay.held, link.reader, record.position, record.kind == RecordKind::client_end);
            syslog(record.priority, "%s", record.text);
            link.logged.fetch_add(1, std::memory_order_relaxed);
            break;
        case RecordKind::switch_fifo:
            switch_fifo(relay, record);
            break;
        case RecordKind::stop: {
            forward_to(relay.held, link.reader, record.position, true);
            for (std::size_t i = 0; i < relay.olds; ++i) {
                finish_old_fifo(relay.old[i]);
            }
            relay.olds = 0;
            const char done = 'd';
            (void)!write(link.answers[1], &done, 1);
            break;
        }
    }
}

}  // namespace

std::size_t bytes_waiting(int fd) {
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0 ? static_cast<std::size_t>(waiting) : 0;
}

void stamp(const RelayLink& link, RelayRecord& record) {
    record.position = fifo_position(link.reader, link.fifo);
}

std::uint64_t fifo_position(const FifoReader& reader, int fifo) {
    // Until the relay switches to a new FIFO it has read nothing of it.
    const std::uint64_t read_so_far = reader.fifo == fifo ? reader.consumed : 0;
    return read_so_far + bytes_waiting(fifo);
}

bool stamp_and_send(RelayLink& link, RelayRecord& record) {
    take_child_report(link);
    pthread_mutex_lock(&link.reader.lock);
    stamp(link, record);
    if (link.unsent > 0) {
        RelayRecord warning{};
        warning.position = record.position;
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
    if (!sent && record.kind == RecordKind::client_end) {
        end_dropped_line(link, record.position);
    }
    pthread_mutex_unlock(&link.reader.lock);
    if (is_message(record.kind)) {
        ++(sent ? link.sent : link.unsent);
    }
    return sent;
}

void post_message(RelayLink& link, RecordKind kind, void (*act)(), int priority, const char* text) {
    if (!link.running) {
        if (act != nullptr) {
            act();
        }
        syslog(priority, "%s", text);
        return;
    }
    RelayRecord record{};
    record.kind = kind;
    record.priority = static_cast<std::uint8_t>(priority);
    (void)snprintf(record.text, sizeof record.text, "%s", text);
    stamp_and_send(link, record);
    if (act != nullptr) {
        act();
    }
}

std::size_t read_fifo(FifoReader& reader, char* buffer, std::size_t length, std::size_t limit) {
    pthread_mutex_lock(&reader.lock);
    if (reader.end_count > 0 && reader.ends[0].fifo == reader.fifo) {
        const std::uint64_t before_end = reader.ends[0].position - reader.consumed;
        limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, length + before_end));
    }
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
    for (;;) {
        const bool ended = end_kept_lines(held, reader, position, sink);
        if (held.base + held.length >= position) {
            break;
        }
        if (held.length == kBatchCapacity) {
            forward_held(held, held.length, false, sink);
        }
        const std::uint64_t missing = position - (held.base + held.length);
        const std::size_t limit =
            held.length + static_cast<std::size_t>(std::min<std::uint64_t>(missing, kBatchCapacity - held.length));
        const std::size_t before = held.length;
        held.length = read_fifo(reader, held.buffer, held.length, limit);
        if (held.length == before && !ended) {
            break;
        }
    }
    const std::uint64_t cut = position > held.base ? std::min<std::uint64_t>(position - held.base, held.length) : 0;
    forward_held(held, static_cast<std::size_t>(cut), flush, sink);
}

void settle(Relay& relay) {
    RelayRecord records[kRecordsPerRead];
    std::size_t count = 0;
    while ((count = take_records(relay.link, records, kRecordsPerRead)) > 0) {
        for (std::size_t i = 0; i < count; ++i) {
            handle(relay, records[i]);
        }
    }
    end_kept_lines(relay.held, relay.link.reader, kNoPosition, log_line);
    for (std::size_t i = 0; i < relay.olds; ++i) {
        read_old_fifo(relay.old[i], kBatchCapacity);
    }
    forget_closed(relay);
    forward_held(relay.held, relay.held.length, false);
}

void flush_tails(Relay& relay) {
    forward_held(relay.held, relay.held.length, true);
    for (std::size_t i = 0; i < relay.olds; ++i) {
        relay.old[i].length = forward_batch(relay.old[i].buffer, relay.old[i].length, true);
    }
}
