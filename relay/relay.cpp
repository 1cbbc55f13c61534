#include "relay/relay.h"

#include "relay/batches.h"
#include "relay/lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t kFifoMode = 0600;        // the client's output is nobody else's to read
constexpr int kMillisPerSecond = 1000;
constexpr int kRelayAnswerMillis = kMillisPerSecond;  // longest the main thread waits for the relay
// At a stop the process exits right after the drain, so the drain is given
// time to finish even behind a slow system logger; the bound stays well under
// the 30 s that the service manager allows for a stop.
constexpr int kStopDrainSeconds = 20;
constexpr char kRequestDrain = 'd';
constexpr char kRequestSwitch = 's';
constexpr char kRelayReady = 'r';
constexpr char kRelayGaveUp = 'x';

// What the main thread asks of the relay: a drain, or a drain followed by a
// switch to the FIFO open on `fifo`. A bare drain may be one byte long.
struct Request {
    char kind;
    int fifo;
};

// The channel between the main thread and the relay thread: the main thread
// owns ends[0], the relay thread ends[1]. Over it the relay reports that it has
// opened the FIFO (or given up), and the main thread asks for drains and
// switches, each answered once its output is in the log. Both ends are
// close-on-exec: the client has no business with them.
struct RelayLink {
    int ends[2] = {-1, -1};
    bool running = false;  // main thread only: worth asking the relay for drains
    // Main thread only: the FIFO the relay reads, as lstat() sees it.
    dev_t fifo_device = 0;
    ino_t fifo_inode = 0;
};
RelayLink relay_link;

std::int64_t monotonic_millis() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    constexpr long kNanosPerMilli = 1000000;
    return std::int64_t{now.tv_sec} * kMillisPerSecond + now.tv_nsec / kNanosPerMilli;
}

// Reads what is waiting in the non-blocking FIFO into buffer behind `length`
// bytes, up to kBatchCapacity. Returns the new length.
std::size_t read_available(int fifo, char* buffer, std::size_t length) {
    while (length < kBatchCapacity) {
        ssize_t count = read(fifo, buffer + length, kBatchCapacity - length);
        if (count > 0) {
            length += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: nothing more waiting
        }
    }
    return length;
}

// Consumes every pending request; true when there was one. A switch leaves
// the new FIFO's descriptor in `next_fifo` (one superseded by a later switch
// is closed).
bool take_requests(int control, int& next_fifo) {
    Request request{};
    bool any = false;
    ssize_t length = 0;
    while ((length = recv(control, &request, sizeof request, MSG_DONTWAIT)) > 0) {
        any = true;
        if (request.kind == kRequestSwitch && length == sizeof request) {
            if (next_fifo >= 0) {
                close(next_fifo);
            }
            next_fifo = request.fifo;
        }
    }
    return any;
}

// Main thread: discards answers to earlier requests that came after their
// wait had ended, then sends `request`.
bool ask_relay(const Request& request, std::size_t length) {
    char stale = 0;
    while (recv(relay_link.ends[0], &stale, 1, MSG_DONTWAIT) == 1) {
    }
    return send(relay_link.ends[0], &request, length, MSG_DONTWAIT) == static_cast<ssize_t>(length);
}

void answer_main_thread(char answer) {
    if (relay_link.ends[1] >= 0) {
        send(relay_link.ends[1], &answer, 1, MSG_DONTWAIT);
    }
}

// Main thread: waits up to `millis` for the relay's next answer. A stop
// signal does not cut the wait short: the answer is what lets the client's
// last words reach the log before the daemon exits.
char await_relay_answer(int millis = kRelayAnswerMillis) {
    pollfd answer{relay_link.ends[0], POLLIN, 0};
    const std::int64_t deadline = monotonic_millis() + millis;
    for (;;) {
        const std::int64_t left = deadline - monotonic_millis();
        if (left <= 0) {
            return 0;
        }
        int ready = poll(&answer, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char byte = 0;
        if (ready > 0 && recv(relay_link.ends[0], &byte, 1, 0) == 1) {
            return byte;
        }
        if (ready == 0) {
            return 0;
        }
    }
}

// Gathers further data behind `length` bytes while it keeps arriving within
// one shared kGatherWaitSeconds budget. Only time spent waiting uses the
// budget up; once it is gone, each wait is an instant check, so the batch ends
// at the first check that finds nothing waiting, or when it is full.
Batch gather(int fifo, int control, char* buffer, std::size_t length) {
    pollfd fds[2] = {{fifo, POLLIN, 0}, {control, POLLIN, 0}};
    std::int64_t budget = std::int64_t{kGatherWaitSeconds} * kMillisPerSecond;
    while (length < kBatchCapacity) {
        const std::int64_t before = monotonic_millis();
        int ready = poll(fds, 2, static_cast<int>(budget));
        budget = std::max<std::int64_t>(0, budget - (monotonic_millis() - before));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        int next_fifo = -1;
        if ((fds[1].revents & POLLIN) && take_requests(control, next_fifo)) {
            return {length, BatchEnd::drain, next_fifo};
        }
        length = read_available(fifo, buffer, length);
    }
    return {length, BatchEnd::data};
}

// Forwards everything waiting in the FIFO behind buffer[0, length), then the
// unterminated tail, so that nothing a client wrote before it ended is left
// behind.
void drain_fifo(int fifo, char* buffer, std::size_t length) {
    for (;;) {
        std::size_t kept = forward_batch(buffer, length, false);
        length = read_available(fifo, buffer, kept);
        if (length == kept) {
            break;
        }
    }
    forward_batch(buffer, length, true);
}

// Main thread, when a drain at a stop has not finished in time: says how much
// client output is still waiting in the FIFO, and so will not be logged.
void report_unlogged_output() {
    int waiting = -1;
    const int fifo = open(kFifoPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fifo >= 0) {
        struct stat found {};
        const bool relays = fstat(fifo, &found) == 0 && found.st_dev == relay_link.fifo_device &&
                            found.st_ino == relay_link.fifo_inode;
        if (!relays || ioctl(fifo, FIONREAD, &waiting) != 0) {
            waiting = -1;
        }
        close(fifo);
    }
    if (waiting >= 0) {
        syslog(LOG_ERR, "client output not logged within %d s of the stop: at least %d bytes left unlogged",
               kStopDrainSeconds, waiting);
    } else {
        syslog(LOG_ERR, "client output not logged within %d s of the stop", kStopDrainSeconds);
    }
}

// Main thread: makes a fresh FIFO at kFifoPath and has the relay switch to it.
// The descriptor opened here becomes the relay's, and clients inherit it as
// they inherited the old one; since it reads as well, the next client's open
// finds a reader even before the relay has answered.
void recreate_fifo() {
    unlink(kFifoPath);
    int fifo = -1;
    struct stat made {};
    if (mkfifo(kFifoPath, kFifoMode) != 0 || (fifo = open(kFifoPath, O_RDWR | O_NONBLOCK)) < 0 ||
        fstat(fifo, &made) != 0 || !ask_relay({kRequestSwitch, fifo}, sizeof(Request))) {
        syslog(LOG_ERR, "cannot re-create fifo: %s", strerror(errno));
        if (fifo >= 0) {
            close(fifo);
        }
        return;
    }
    relay_link.fifo_device = made.st_dev;
    relay_link.fifo_inode = made.st_ino;
    syslog(LOG_WARNING, "re-created fifo %s: it had been removed or replaced", kFifoPath);
    await_relay_answer();
}

}  // namespace

bool prepare_output_fifo() {
    unlink(kFifoPath);  // a leftover FIFO or file; a missing one is fine
    if (mkfifo(kFifoPath, kFifoMode) != 0) {
        syslog(LOG_ERR, "%s - cannot %s fifo: %s", "main", "create", strerror(errno));
        return false;
    }
    struct stat made {};
    if (lstat(kFifoPath, &made) == 0) {
        relay_link.fifo_device = made.st_dev;
        relay_link.fifo_inode = made.st_ino;
    }
    return true;
}

void heal_output_fifo() {
    if (!relay_link.running) {
        return;  // nobody to switch; clients fail to open the FIFO and say so
    }
    struct stat found {};
    if (lstat(kFifoPath, &found) == 0) {
        if (S_ISFIFO(found.st_mode) && found.st_dev == relay_link.fifo_device &&
            found.st_ino == relay_link.fifo_inode) {
            return;
        }
        if (S_ISDIR(found.st_mode)) {
            return;  // not ours to remove
        }
    }
    recreate_fifo();
}

void start_output_relay() {
    // Without the channel the relay still forwards; only the start-up
    // handshake and the drains are lost.
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, relay_link.ends) != 0) {
        relay_link.ends[0] = relay_link.ends[1] = -1;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, run_output_relay, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        syslog(LOG_ERR, "cannot start relay thread: %s", strerror(error));
        return;
    }
    if (relay_link.ends[0] >= 0) {
        // A relay that has not answered within the wait is still presumed
        // alive: it may be slow, and a drain costs at most one wait.
        relay_link.running = await_relay_answer() != kRelayGaveUp;
    }
}

void* run_output_relay(void*) {
    int fifo = open(kFifoPath, O_RDWR | O_NONBLOCK);
    if (fifo < 0) {
        syslog(LOG_ERR, "Openning fifo failed: %s", strerror(errno));
        answer_main_thread(kRelayGaveUp);
        return nullptr;
    }
    answer_main_thread(kRelayReady);

    // One byte beyond a full batch for the NUL that ends a line filling it.
    char buffer[kBatchCapacity + 1];
    std::size_t kept = 0;
    for (;;) {
        Batch batch = collect_batch(fifo, relay_link.ends[1], buffer, kept);
        if (batch.end == BatchEnd::drain) {
            drain_fifo(fifo, buffer, batch.length);
            kept = 0;
            if (batch.next_fifo >= 0) {
                // What was left in the old FIFO is in the log now.
                close(fifo);
                fifo = batch.next_fifo;
            }
            answer_main_thread(kRelayReady);
        } else {
            kept = forward_batch(buffer, batch.length, batch.end == BatchEnd::idle);
        }
    }
}

void drain_output_relay(bool at_stop) {
    if (!relay_link.running || !ask_relay({kRequestDrain, -1}, 1)) {
        return;
    }
    const int millis = at_stop ? kStopDrainSeconds * kMillisPerSecond : kRelayAnswerMillis;
    if (await_relay_answer(millis) == 0 && at_stop) {
        report_unlogged_output();
    }
}

Batch collect_batch(int fifo, int control, char* buffer, std::size_t kept) {
    pollfd fds[2] = {{fifo, POLLIN, 0}, {control, POLLIN, 0}};
    for (;;) {
        int ready = poll(fds, 2, kIdleWaitSeconds * kMillisPerSecond);
        if (ready < 0) {
            if (errno != EINTR) {
                syslog(LOG_ERR, "select error: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (ready == 0) {
            if (kept > 0) {
                return {kept, BatchEnd::idle};
            }
            continue;
        }
        int next_fifo = -1;
        if ((fds[1].revents & POLLIN) && take_requests(control, next_fifo)) {
            return {kept, BatchEnd::drain, next_fifo};
        }
        std::size_t length = read_available(fifo, buffer, kept);
        if (length > kept) {
            return gather(fifo, control, buffer, length);
        }
    }
}

void redirect_client_output() {
    // Opened without blocking so that a FIFO with no reader fails at once
    // (ENXIO) instead of hanging the child, and with it the vforked daemon;
    // then made blocking again, as the client expects of its output.
    int fd = open(kFifoPath, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, kFifoMode);
    if (fd < 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        syslog(LOG_ERR, "Preparing STDERR_FILENO failed");
        _exit(1);
    }
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    if (fd > STDERR_FILENO) {
        close(fd);
    }
}
