#include "relay/relay.h"
#include "supervisor/supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* kPidFilePath = "/var/run/quorVixd.pid";
// Readable by root alone: anyone who can open the file can take the lock and
// keep the daemon from starting.
constexpr mode_t kPidFileMode = 0600;
constexpr const char* kLogIdent = "quorVix";

// Opens the log under "quorVix[<pid>]". The pid is written into the identity
// once, instead of asking for LOG_PID, which makes syslog() call getpid() for
// every message; the frames on the wire are the same. openlog keeps the
// pointer, so the identity lives in static storage.
void open_log() {
    static char identity[sizeof "quorVix[-2147483648]"];  // room for any pid_t
    (void)snprintf(identity, sizeof identity, "%s[%d]", kLogIdent, static_cast<int>(getpid()));
    openlog(identity, LOG_NDELAY, LOG_DAEMON);
}

}  // namespace

int main() {
    // 1. The instance lock. The descriptor is never closed and is inherited by
    //    every client, so the lock is held while any of them lives.
    int lock = open(kPidFilePath, O_RDWR | O_CREAT, kPidFileMode);
    if (lock < 0) {
        printf("%s - open error: %s. Aborting...\n", "main", strerror(errno));
        return 0;
    }
    // 2. Another instance (or a client left by one) holds it: leave quietly.
    //    Any other flock failure is no reason not to run.
    if (flock(lock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return 0;
    }
    // 3. A session of our own; fails harmlessly when we lead a group already.
    setsid();
    // 4. Record stop signals; every other disposition stays as inherited.
    watch_stop_signals();
    // 5. The service manager's socket, if it gave one; the variable goes
    //    before a second thread or a client could read it.
    const NotifyTarget manager = open_notify_target();
    // 6. The log.
    open_log();
    // 7. The output relay: a fresh FIFO and the thread that reads it.
    if (!prepare_output_fifo()) {
        return 1;
    }
    start_output_relay();
    // 8. Supervise until a stop has been handled.
    return supervise_client(manager);
}
