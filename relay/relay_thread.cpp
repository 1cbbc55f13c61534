// The relay thread: reads the FIFO in batches and the main thread's records,
// and writes both to the log, each in its place.

#include "relay/batches.h"
#include "relay/channel.h"
#include "relay/lines.h"
#include "relay/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <malloc.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t kRecordsPerRead = 4;
// A switch forwards whatever the old FIFO still holds.
constexpr std::uint64_t kEverything = UINT64_MAX;

// The client output the relay holds and has not forwarded yet:
// buffer[0, length), whose first byte is byte `base` of the FIFO's stream.
struct Held {
    char* buffer;
    std::size_t length;
    std::uint64_t base;
};

void forward_held(Held& held, std::size_t cut, bool flush) {
    const std::size_t before = held.length;
    held.length = forward_up_to(held.buffer, held.length, cut, flush);
    held.base += before - held.length;
}

// Forwards the client's output before `position`, with its unterminated last
// line when `flush` is set, reading from the FIFO what it does not hold yet.
// The main thread counted those bytes as waiting in the FIFO; if they are not
// there (someone else read them), it forwards what it has.
void forward_to(Held& held, std::uint64_t position, bool flush) {
    while (held.base + held.length < position) {
        if (held.length == kBatchCapacity) {
            forward_held(held, held.length, false);
        }
        const std::uint64_t missing = position - (held.base + held.length);
        const std::size_t limit =
            held.length + static_cast<std::size_t>(std::min<std::uint64_t>(missing, kBatchCapacity - held.length));
        const std::size_t before = held.length;
        held.length = read_available(relay_link.reader, held.buffer, held.length, limit);
        if (held.length == before) {
            break;
        }
    }
    const std::uint64_t cut = position > held.base ? std::min<std::uint64_t>(position - held.base, held.length) : 0;
    forward_held(held, static_cast<std::size_t>(cut), flush);
}

void switch_fifo(Held& held, int fifo) {
    forward_to(held, kEverything, true);
    pthread_mutex_lock(&relay_link.reader.lock);
    close(relay_link.reader.fifo);
    relay_link.reader.fifo = fifo;
    relay_link.reader.consumed = 0;
    pthread_mutex_unlock(&relay_link.reader.lock);
    held.base = 0;
}

void handle(Held& held, const RelayRecord& record) {
    switch (record.kind) {
        case RecordKind::message:
        case RecordKind::client_end:
            forward_to(held, record.position, record.kind == RecordKind::client_end);
            syslog(record.priority, "%s", record.text);
            break;
        case RecordKind::switch_fifo:
            switch_fifo(held, record.fifo);
            break;
        case RecordKind::stop: {
            forward_to(held, record.position, true);
            const char done = 'd';
            (void)!write(relay_link.answers[1], &done, 1);
            break;
        }
    }
}

// Handles every record waiting, in the order they were sent.
void handle_records(Held& held) {
    RelayRecord records[kRecordsPerRead];
    std::size_t count = 0;
    while ((count = take_records(relay_link, records, kRecordsPerRead)) > 0) {
        for (std::size_t i = 0; i < count; ++i) {
            handle(held, records[i]);
        }
    }
}

void* run_output_relay(void*) {
    // One byte beyond a full batch for the NUL that ends a line filling it.
    char buffer[kBatchCapacity + 1];
    Held held{buffer, 0, 0};
    for (;;) {
        const Batch batch = collect_batch(relay_link.reader, relay_link.records[0], buffer, held.length);
        held.length = batch.length;
        if (batch.end == BatchEnd::idle) {
            forward_held(held, held.length, true);
            continue;
        }
        // Records first, even after a read that found none: a record sent
        // before that read may belong before some of what it read.
        handle_records(held);
        forward_held(held, held.length, false);
    }
}

}  // namespace

void start_output_relay() {
    const int fifo = open_relay_fifo();
    if (fifo < 0) {
        return;
    }
    relay_link.reader.fifo = fifo;
    // glibc's syslog() allocates as it formats. A thread's first allocation
    // would give it an arena of its own, whose first pages stay dirty for
    // good; the relay's few allocations share the main thread's instead.
    mallopt(M_ARENA_MAX, 1);
    int error = open_channel(relay_link) ? 0 : errno;
    if (error == 0) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread{};
        error = pthread_create(&thread, &attributes, run_output_relay, nullptr);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            close_channel(relay_link);
        }
    }
    if (error != 0) {
        // Without a reader, clients fail at once instead of filling a FIFO
        // that nobody empties.
        close(fifo);
        relay_link.reader.fifo = relay_link.fifo = -1;
        syslog(LOG_ERR, "cannot start relay thread: %s", strerror(error));
        return;
    }
    relay_link.running = true;
}
