// The FIFO on disk: its creation, its repair while the daemon runs, and the
// opens of its two ends.

#include "relay/channel.h"
#include "relay/relay.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t kFifoMode = 0600;  // the client's output is nobody else's to read

// The relay's end: read-write, so that the FIFO always has a reader and the
// relay never sees end-of-file when a client exits; close-on-exec, so that a
// client holds only its own descriptors 1 and 2 on it.
int open_for_relay() {
    return open(kFifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void remember(int fifo, const struct stat& made) {
    relay_link.fifo = fifo;
    relay_link.fifo_device = made.st_dev;
    relay_link.fifo_inode = made.st_ino;
}

// Makes a fresh FIFO at kFifoPath and hands it to the relay, which logs what
// is left in the old one before it switches. Since the relay's descriptor
// reads as well, the next client's open finds a reader even before the relay
// has switched.
void recreate_fifo() {
    unlink(kFifoPath);
    int fifo = -1;
    struct stat made {};
    if (mkfifo(kFifoPath, kFifoMode) != 0 || (fifo = open_for_relay()) < 0 || fstat(fifo, &made) != 0) {
        const int saved = errno;
        if (fifo >= 0) {
            close(fifo);
        }
        log_event(LOG_ERR, "cannot re-create fifo: %s", strerror(saved));
        return;
    }
    RelayRecord change{};
    change.kind = RecordKind::switch_fifo;
    change.fifo = fifo;
    if (!stamp_and_send(relay_link, change)) {
        close(fifo);
        log_event(LOG_ERR, "cannot re-create fifo: %s", strerror(EAGAIN));
        return;
    }
    remember(fifo, made);
    log_event(LOG_WARNING, "re-created fifo %s: it had been removed or replaced", kFifoPath);
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

int open_relay_fifo() {
    const int fifo = open_for_relay();
    struct stat made {};
    if (fifo < 0 || fstat(fifo, &made) != 0) {
        syslog(LOG_ERR, "Openning fifo failed: %s", strerror(errno));
        if (fifo >= 0) {
            close(fifo);
        }
        return -1;
    }
    remember(fifo, made);
    return fifo;
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

void redirect_client_output() {
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
        report_client_output_failure();
        _exit(1);
    }
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    if (fd > STDERR_FILENO) {
        close(fd);
    }
}
