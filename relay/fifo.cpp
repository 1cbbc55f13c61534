// The FIFO on disk: its creation, its repair while the daemon runs, the
// opens of its ends, and the client's side with its report of a failure.

#include "relay/fifo.h"

#include "relay/order.h"
#include "relay/relay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t kFifoMode = 0600;  // the client's output is nobody else's to read

// Written by the vfork child, which may take no lock: stamped before the vfork.
RelayRecord child_failure;

// Both of the daemon's ends, close-on-exec so that a client holds only its
// own descriptors 1 and 2 on the FIFO. The main thread's is read-write: the
// FIFO always has a reader, so a client's open never waits, and a writer, so
// the relay never sees end-of-file when a client exits. The relay's is
// read-only: once the main thread has closed its end of a replaced FIFO, the
// relay sees end-of-file there when the last writer has gone.
bool open_ends(int& keeper, int& reader, struct stat& made) {
    keeper = open(kFifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    reader = keeper < 0 ? -1 : open(kFifoPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader >= 0 && fstat(keeper, &made) == 0 && S_ISFIFO(made.st_mode)) {
        return true;
    }
    const int saved = errno;
    for (int end : {keeper, reader}) {
        if (end >= 0) {
            close(end);
        }
    }
    errno = saved;
    return false;
}

void remember(RelayLink& link, int keeper, int reader, const struct stat& made) {
    link.keeper = keeper;
    link.fifo = reader;
    link.fifo_device = made.st_dev;
    link.fifo_inode = made.st_ino;
}

void log_now(RelayLink& link, int priority, const char* format, const char* argument) {
    char text[kRecordTextSize];
    (void)snprintf(text, sizeof text, format, argument);
    post_message(link, RecordKind::message, nullptr, priority, text);
}

// Makes a fresh FIFO at kFifoPath and hands it to the relay, which forwards
// what the old one held, then reads the new one. Since the main thread's end
// reads as well, the next client's open finds a reader even before the relay
// has switched.
void recreate_fifo(RelayLink& link) {
    unlink(kFifoPath);
    int keeper = -1;
    int reader = -1;
    struct stat made {};
    if (mkfifo(kFifoPath, kFifoMode) != 0 || !open_ends(keeper, reader, made)) {
        log_now(link, LOG_ERR, "cannot re-create fifo: %s", strerror(errno));
        return;
    }
    RelayRecord change{};
    change.kind = RecordKind::switch_fifo;
    change.fifo = reader;
    if (!stamp_and_send(link, change)) {
        close(keeper);
        close(reader);
        log_now(link, LOG_ERR, "cannot re-create fifo: %s", strerror(EAGAIN));
        return;
    }
    // Without our end, the old FIFO's writers are only what clients left
    // behind; the relay reads it until they have gone.
    close(link.keeper);
    remember(link, keeper, reader, made);
    log_now(link, LOG_WARNING, "re-created fifo %s: it had been removed or replaced", kFifoPath);
}

}  // namespace

bool prepare_output_fifo() {
    unlink(kFifoPath);  // a leftover FIFO or file; a missing one is fine
    if (mkfifo(kFifoPath, kFifoMode) != 0) {
        syslog(LOG_ERR, "%s - cannot %s fifo: %s", "main", "create", strerror(errno));
        return false;
    }
    return true;
}

bool open_relay_fifo(RelayLink& link) {
    int keeper = -1;
    int reader = -1;
    struct stat made {};
    if (!open_ends(keeper, reader, made)) {
        syslog(LOG_ERR, "Openning fifo failed: %s", strerror(errno));
        return false;
    }
    remember(link, keeper, reader, made);
    return true;
}

void heal_fifo(RelayLink& link) {
    if (!link.running) {
        return;  // nobody to switch; clients fail to open the FIFO and say so
    }
    struct stat found {};
    if (lstat(kFifoPath, &found) == 0) {
        if (S_ISFIFO(found.st_mode) && found.st_dev == link.fifo_device && found.st_ino == link.fifo_inode) {
            return;
        }
        if (S_ISDIR(found.st_mode)) {
            return;  // not ours to remove
        }
    }
    recreate_fifo(link);
}

void prepare_child_report(RelayLink& link) {
    if (!link.running) {
        return;
    }
    take_child_report(link);
    child_failure = RelayRecord{};
    child_failure.kind = RecordKind::message;
    child_failure.priority = LOG_ERR;
    (void)snprintf(child_failure.text, sizeof child_failure.text, "%s", "Preparing STDERR_FILENO failed");
    pthread_mutex_lock(&link.reader.lock);
    stamp(link, child_failure);
    pthread_mutex_unlock(&link.reader.lock);
}

void report_child_failure(RelayLink& link) {
    if (!link.running) {
        syslog(LOG_ERR, "Preparing STDERR_FILENO failed");
        return;
    }
    const bool sent = send_record(link, child_failure);
    link.child_report = sent ? kChildReportSent : kChildReportDropped;
}

void redirect_child_output(RelayLink& link) {
    // Opened without blocking so that a FIFO with no reader fails at once
    // (ENXIO) instead of hanging the child, and with it the vforked daemon;
    // then made blocking again, as the client expects of its output. Neither
    // created nor truncated: if the FIFO has gone, the client fails here and
    // the next launch re-creates it, instead of the client writing into a
    // regular file that nobody reads.
    const int fd = open(kFifoPath, O_WRONLY | O_NONBLOCK);
    struct stat found {};
    if (fd < 0 || fstat(fd, &found) != 0 || !S_ISFIFO(found.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        report_child_failure(link);
        _exit(1);
    }
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    if (fd > STDERR_FILENO) {
        close(fd);
    }
}
