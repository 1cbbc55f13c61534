// The relay thread: its start, its wait for a batch, and its round.

#include "relay/relay_thread.h"

#include "relay/fifo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <malloc.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr nfds_t kPollSlots = 2 + kOldFifos;  // the FIFO, the channel, the old FIFOs

bool ready(const pollfd& fd) {
    return (fd.revents & (POLLIN | POLLHUP)) != 0;
}

bool any_ready(const pollfd* fds, nfds_t count) {
    return std::any_of(fds, fds + count, ready);
}

// Gathers further data behind `length` bytes while it keeps arriving within
// one shared gather budget. Only time spent waiting uses the budget up; once
// it is gone, each wait is an instant check, so the batch ends at the first
// check that finds nothing waiting, or when it is full.
Batch gather(FifoReader& reader, pollfd* fds, nfds_t count, char* buffer, std::size_t length,
             const RelayBudgets& budgets) {
    std::int64_t budget = budgets.gather_millis;
    while (length < kBatchCapacity) {
        const std::int64_t before = clock_millis();
        const int ready_count = poll(fds, count, static_cast<int>(budget));
        budget = std::max<std::int64_t>(0, budget - (clock_millis() - before));
        if (ready_count < 0 && errno == EINTR) {
            continue;
        }
        if (ready_count <= 0) {
            break;
        }
        if (any_ready(fds + 1, count - 1)) {
            return {length, BatchEnd::other};
        }
        const std::size_t grown = read_fifo(reader, buffer, length);
        if (grown == length) {
            break;  // stopped at a kept end: the round settles it
        }
        length = grown;
    }
    return {length, BatchEnd::data};
}

void* run_output_relay(void* argument) {
    // One byte beyond a full batch for the NUL that ends a line filling it.
    // The old FIFOs' buffers are static, not on the stack, whose pages the
    // hardened build touches as the frame is made: their pages stay clean
    // until a switch uses them.
    char buffer[kBatchCapacity + 1];
    static char old_buffers[kOldFifos][kBatchCapacity + 1];
    Relay relay{*static_cast<RelayLink*>(argument), {buffer, 0, 0}, {}, 0};
    for (std::size_t i = 0; i < kOldFifos; ++i) {
        relay.old[i] = {-1, old_buffers[i], 0};
    }
    const RelayBudgets budgets;
    for (;;) {
        relay_round(relay, budgets);
    }
}

}  // namespace

Batch collect_batch(FifoReader& reader, pollfd* fds, nfds_t count, char* buffer, std::size_t kept, bool carried,
                    const RelayBudgets& budgets) {
    for (;;) {
        // Nothing to flush, nothing to wake for.
        const int ready_count = poll(fds, count, carried ? budgets.idle_millis : -1);
        if (ready_count < 0) {
            if (errno != EINTR) {
                syslog(LOG_ERR, "select error: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (ready_count == 0) {
            return {kept, BatchEnd::idle};
        }
        if (ready(fds[1])) {
            return {kept, BatchEnd::other};
        }
        if (ready(fds[0])) {
            const std::size_t length = read_fifo(reader, buffer, kept);
            // Nothing read from a readable FIFO: the relay stopped at a kept
            // end, which the round settles.
            return length > kept ? gather(reader, fds, count, buffer, length, budgets) : Batch{kept, BatchEnd::other};
        }
        if (any_ready(fds + 2, count - 2)) {
            return {kept, BatchEnd::other};
        }
    }
}

void relay_round(Relay& relay, const RelayBudgets& budgets) {
    pollfd fds[kPollSlots];
    fds[0] = {relay.link.reader.fifo, POLLIN, 0};
    fds[1] = {relay.link.records[0], POLLIN, 0};
    bool carried = relay.held.length > 0;
    for (std::size_t i = 0; i < relay.olds; ++i) {
        fds[2 + i] = {relay.old[i].fifo, POLLIN, 0};
        carried = carried || relay.old[i].length > 0;
    }
    const Batch batch = collect_batch(relay.link.reader, fds, 2 + relay.olds, relay.held.buffer, relay.held.length,
                                      carried, budgets);
    relay.held.length = batch.length;
    if (batch.end == BatchEnd::idle) {
        flush_tails(relay);
        return;
    }
    settle(relay);
}

void start_relay(RelayLink& link) {
    if (!open_relay_fifo(link)) {
        return;
    }
    link.reader.fifo = link.fifo;
    // glibc's syslog() allocates as it formats. A thread's first allocation
    // would give it an arena of its own, whose first pages stay dirty for
    // good; the relay's few allocations share the main thread's instead.
    mallopt(M_ARENA_MAX, 1);
    int error = open_channel(link) ? 0 : errno;
    if (error == 0) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread{};
        error = pthread_create(&thread, &attributes, run_output_relay, &link);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            close_channel(link);
        }
    }
    if (error != 0) {
        // Without a reader, clients fail at once instead of filling a FIFO
        // that nobody empties.
        close(link.keeper);
        close(link.fifo);
        link.reader.fifo = link.fifo = link.keeper = -1;
        syslog(LOG_ERR, "cannot start relay thread: %s", strerror(error));
        return;
    }
    link.running = true;
}
