#include "supervisor/supervisor.h"

#include "relay/relay.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The client's whole command line. --no-detach keeps it in the foreground, so
// the process lives exactly as long as the VPN client runs.
constexpr const char* kClientArgv[] = {
    "/opt/quorVix/bin/vpnc",
    "--script",
    "/opt/quorVix/etc/quorvix-script",
    "--no-detach",
    "/var/run/vpnc/vpnc.conf",
    nullptr,
};

// Interval between two polls of a running client, and the pause between the
// end of one client and the launch of the next (or after a failed launch).
constexpr unsigned kPollSeconds = 1;

SupervisorState state{0, 0};

// Polls the client once a second until it has ended, sending it SIGTERM at
// every poll once a stop has been recorded. Returns false, with errno set,
// when waitpid failed: the client is then no longer ours to wait for, as when
// SIGCHLD is ignored and the kernel has reaped it.
bool await_client_end(int& status) {
    for (;;) {
        pid_t waited = waitpid(state.client_pid, &status, WNOHANG);
        if (waited > 0) {
            return true;
        }
        if (waited < 0 && errno != EINTR) {
            return false;
        }
        if (state.stop_signal != 0) {
            syslog(LOG_NOTICE, "sending SIGTERM to vpnc(%u) due to signal %d",
                   static_cast<unsigned>(state.client_pid), static_cast<int>(state.stop_signal));
            kill(state.client_pid, SIGTERM);
        }
        sleep(kPollSeconds);  // a stop signal on this thread cuts it short
    }
}

void report_client_end(bool waited, int status, int wait_errno) {
    if (!waited) {
        syslog(LOG_ERR, "waitpid error: %s", strerror(wait_errno));
        return;
    }
    ClientEnd end = describe_client_end(status);
    syslog(LOG_NOTICE, end.format, end.value);
}

}  // namespace

void record_stop_signal(int sig) {
    if (state.stop_signal == 0) {
        state.stop_signal = sig;
    }
}

ClientEnd describe_client_end(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return {"terminated by signal %d", WTERMSIG(wait_status)};
    }
    return {"terminated with exit code %d", WEXITSTATUS(wait_status)};
}

pid_t launch_client() {
    // vfork: the child borrows the daemon's memory until the exec, so it does
    // nothing but redirect its output and exec; the argument vector is a
    // compile-time constant and needs no preparation. exec takes char* const[]
    // for historical reasons and does not write to the strings.
    pid_t pid = vfork();
    if (pid != 0) {
        return pid;
    }
    redirect_client_output();
    execvp(kClientArgv[0], const_cast<char* const*>(kClientArgv));
    _exit(1);
}

int supervise_client() {
    for (;;) {
        if (state.stop_signal != 0) {
            return 0;
        }
        heal_output_fifo();
        syslog(LOG_NOTICE, "starting vpnc");
        state.client_pid = launch_client();
        if (state.client_pid <= 0) {
            // Under a process limit this would otherwise retry, and log, in a
            // tight loop.
            syslog(LOG_ERR, "launch failed: %s", strerror(errno));
            sleep(kPollSeconds);
            continue;
        }
        int status = 0;
        const bool waited = await_client_end(status);
        const int wait_errno = errno;
        // The client's last lines, its unterminated last line included, go to
        // the log before the news of its end.
        drain_output_relay(state.stop_signal != 0);
        report_client_end(waited, status, wait_errno);
        if (state.stop_signal != 0) {
            return 0;
        }
        sleep(kPollSeconds);
    }
}
