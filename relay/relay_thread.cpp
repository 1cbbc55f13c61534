// The relay thread: reads the FIFO and the main thread's records, and writes
// both to the log, each in its place (order.h).

#include "relay/channel.h"
#include "relay/lines.h"
#include "relay/order.h"
#include "relay/relay.h"

#include <cerrno>
#include <cstring>
#include <malloc.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

void* run_output_relay(void*) {
    // One byte beyond a full batch for the NUL that ends a line filling it.
    char buffer[kBatchCapacity + 1];
    char old_buffer[kBatchCapacity + 1];
    Relay relay{{buffer, 0, 0}, {-1, old_buffer, 0}};
    for (;;) {
        relay_round(relay);
    }
}

}  // namespace

void start_output_relay() {
    if (!open_relay_fifo()) {
        return;
    }
    relay_link.reader.fifo = relay_link.fifo;
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
        close(relay_link.keeper);
        close(relay_link.fifo);
        relay_link.reader.fifo = relay_link.fifo = relay_link.keeper = -1;
        syslog(LOG_ERR, "cannot start relay thread: %s", strerror(error));
        return;
    }
    relay_link.running = true;
}
