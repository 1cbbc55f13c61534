#include "supervisor/supervisor.h"

#include "common/clock.h"
#include "relay/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
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

// vpnc ends with 2 when the gateway refused the login, and with 1 or 0 on
// every other failure. A third refusal in a row stops the quick retries.
constexpr int kRefusedExitCode = 2;
constexpr int kRefusalsBeforeLongPause = 3;
// After a stop, a client that is still there gets SIGTERM again this often.
constexpr int kSigtermIntervalMillis = 1000;
// How often the loop looks for itself when it lacks a wake-up: no pidfd for
// the client, or no wake-up pipe.
constexpr int kPollMillis = 1000;
// How soon the manager hears again what it must not miss (READY=1,
// STOPPING=1) when its queue was full.
constexpr int kNotifyRetryMillis = 100;
constexpr std::int64_t kNoDeadline = -1;
constexpr std::size_t kClockTextSize = sizeof "2024-12-31 23:59:59";
constexpr std::size_t kWakeBytesPerRead = 64;  // any number: the bytes only wake the loop

SupervisorState state{0, 0, {-1, -1}, -1, {-1, {}, 0}, 0, false, false, false, {}};

std::int64_t earliest(std::int64_t deadline, std::int64_t other) {
    return deadline == kNoDeadline ? other : std::min(deadline, other);
}

// Sets the loop's timer to `deadline` on the daemon's clock, or disarms it
// for kNoDeadline: a timer that fired and stayed armed would end every wait
// at once. False without a timer.
bool set_timer(std::int64_t deadline) {
    itimerspec when{};
    if (deadline != kNoDeadline) {
        // A zero time would disarm the timer; a time past fires at once.
        const std::int64_t at = std::max<std::int64_t>(deadline, 1);
        when.it_value.tv_sec = static_cast<time_t>(at / kMillisPerSecond);
        when.it_value.tv_nsec = static_cast<long>(at % kMillisPerSecond * kNanosPerMilli);
    }
    return state.timer >= 0 && timerfd_settime(state.timer, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
}

// Tells the manager the latest status line with what it is still owed.
void tell_manager() {
    if (notify_manager(state.manager, "%s%sSTATUS=%s", state.ready_owed ? "READY=1\n" : "",
                       state.stopping_owed ? "STOPPING=1\n" : "", state.status)) {
        state.ready_owed = state.stopping_owed = false;
    }
}

void tell_status(const char* format, ...) __attribute__((format(printf, 1, 2)));
void tell_status(const char* format, ...) {
    if (state.manager.socket < 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    (void)vsnprintf(state.status, sizeof state.status, format, arguments);
    va_end(arguments);
    tell_manager();
}

// Waits until the client has ended (`client`, a pidfd, is readable), a stop
// signal has woken the loop, or the deadline (kNoDeadline for none) has
// passed. Callers look at what happened themselves. The deadline is kept by a
// timer on the daemon's clock, which counts a suspend: poll's own timeout
// would not.
void wait_for_event(int client, std::int64_t deadline) {
    if (state.ready_owed || state.stopping_owed) {
        tell_manager();
    }
    if (state.ready_owed || state.stopping_owed) {
        deadline = earliest(deadline, clock_millis() + kNotifyRetryMillis);
    }
    if (state.wake[0] < 0) {
        deadline = earliest(deadline, clock_millis() + kPollMillis);  // a stop would go unseen
    }
    const bool timed = set_timer(deadline);
    int timeout = -1;
    if (!timed && deadline != kNoDeadline) {
        timeout = static_cast<int>(std::max<std::int64_t>(0, deadline - clock_millis()));
    }
    pollfd fds[3] = {{client, POLLIN, 0}, {state.wake[0], POLLIN, 0}, {timed ? state.timer : -1, POLLIN, 0}};
    if (poll(fds, 3, timeout) > 0 && (fds[1].revents & POLLIN)) {
        char bytes[kWakeBytesPerRead];
        while (read(state.wake[0], bytes, sizeof bytes) > 0) {
        }
    }
}

// The pause after a client's end or a failed launch, cut short by a stop.
void pause_before_launch(int millis) {
    const std::int64_t deadline = clock_millis() + millis;
    while (state.stop_signal == 0 && clock_millis() < deadline) {
        wait_for_event(-1, deadline);
    }
}

// A descriptor that becomes readable when the client ends (Linux 5.3 and
// later), or -1. Called directly: glibc's wrapper is only as old as 2.36.
int open_pidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

void send_sigterm() {
    kill(state.client_pid, SIGTERM);
}

// The wall-clock time `millis` from now, for people to read. Deadlines stay
// on the daemon's clock.
void clock_text(char (&text)[kClockTextSize], const char* format, std::int64_t millis) {
    const time_t at = time(nullptr) + static_cast<time_t>(millis / kMillisPerSecond);
    tm local{};
    if (localtime_r(&at, &local) == nullptr || strftime(text, sizeof text, format, &local) == 0) {
        text[0] = '\0';
    }
}

void announce_launch() {
    if (state.manager.socket >= 0) {
        char since[kClockTextSize];
        clock_text(since, "%Y-%m-%d %H:%M:%S", 0);
        tell_status("vpnc(%d) running since %s", static_cast<int>(state.client_pid), since);
    }
}

// The manager hears of the stop once; a daemon that stops before it was
// ever ready does not say it is.
void announce_stop() {
    if (!state.stop_announced) {
        state.stop_announced = true;
        state.ready_owed = false;
        state.stopping_owed = state.manager.socket >= 0;
        tell_status("stopping on signal %d", static_cast<int>(state.stop_signal));
    }
}

// After a client's end: the pause before the next launch, and the news of
// it. The long pause after refusals is an error worth a line of its own in
// the log; every other end was logged as it happened.
int plan_next_launch(int wait_status) {
    const int pause = pause_after_end(wait_status, state.refusals);
    if (state.refusals < kRefusalsBeforeLongPause && state.manager.socket < 0) {
        return pause;
    }
    char at[kClockTextSize];
    clock_text(at, "%H:%M:%S", pause);
    if (state.refusals >= kRefusalsBeforeLongPause) {
        char text[kStatusTextSize];
        (void)snprintf(text, sizeof text,
                       "vpnc was refused by the gateway %d times in a row: next start at %s or when quorVixd restarts",
                       state.refusals, at);
        log_event(LOG_ERR, "%s", text);
        tell_status("%s", text);
        return pause;
    }
    char how[kStatusTextSize] = "ended without a status";
    if (wait_status != -1) {
        const ClientEnd end = describe_client_end(wait_status);
        (void)snprintf(how, sizeof how, end.format, end.value);
    }
    tell_status("vpnc(%d) %s: next start at %s", static_cast<int>(state.client_pid), how, at);
    return pause;
}

// Waits for the client's end, sending it SIGTERM every
// kSigtermIntervalMillis after a stop has been recorded, then logs how it
// ended. A pidfd makes its end an event; where none can be had (an old
// kernel, a seccomp filter, no descriptor to spare) the loop looks once a
// second. Returns the client's wait status, or -1 when it could not be had.
int watch_client() {
    // A client that has already ended still gets a pidfd, readable at once;
    // one already reaped (SIGCHLD ignored) gets none, and waitpid says so.
    const int client = open_pidfd(state.client_pid);
    std::int64_t next_sigterm = 0;
    int status = 0;
    pid_t waited = 0;
    while ((waited = waitpid(state.client_pid, &status, WNOHANG)) == 0 || (waited < 0 && errno == EINTR)) {
        if (state.stop_signal != 0 && clock_millis() >= next_sigterm) {
            // Stamped before the SIGTERM, so that the client's answer is
            // logged after the message; handing it over never waits.
            log_event_then(send_sigterm, LOG_NOTICE, "sending SIGTERM to vpnc(%u) due to signal %d",
                            static_cast<unsigned>(state.client_pid), static_cast<int>(state.stop_signal));
            announce_stop();
            next_sigterm = clock_millis() + kSigtermIntervalMillis;
        }
        std::int64_t deadline = state.stop_signal != 0 ? next_sigterm : kNoDeadline;
        if (client < 0) {
            deadline = earliest(deadline, clock_millis() + kPollMillis);
        }
        wait_for_event(client, deadline);
    }
    const int wait_errno = errno;
    if (client >= 0) {
        close(client);
    }
    if (waited < 0) {
        // The client is no longer ours to wait for, as when SIGCHLD is
        // ignored and the kernel has reaped it.
        log_client_end(LOG_ERR, "waitpid error: %s", strerror(wait_errno));
        return -1;
    }
    const ClientEnd end = describe_client_end(status);
    log_client_end(LOG_NOTICE, end.format, end.value);
    return status;
}

}  // namespace

void record_stop_signal(int sig) {
    if (state.stop_signal == 0) {
        state.stop_signal = sig;
    }
    const int saved = errno;
    const char wake = 0;
    (void)!write(state.wake[1], &wake, 1);  // a full pipe wakes the loop just as well
    errno = saved;
}

void watch_stop_signals() {
    if (pipe2(state.wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        state.wake[0] = state.wake[1] = -1;
    }
    signal(SIGINT, record_stop_signal);
    signal(SIGTERM, record_stop_signal);
    signal(SIGQUIT, record_stop_signal);
}

ClientEnd describe_client_end(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return {"terminated by signal %d", WTERMSIG(wait_status)};
    }
    return {"terminated with exit code %d", WEXITSTATUS(wait_status)};
}

int pause_after_end(int wait_status, int& refusals) {
    const bool refused = wait_status != -1 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == kRefusedExitCode;
    refusals = refused ? refusals + 1 : 0;
    return refusals >= kRefusalsBeforeLongPause ? kRefusedPauseMillis : kRestartPauseMillis;
}

pid_t launch_client() {
    // vfork: the child borrows the daemon's memory until the exec, so it does
    // nothing but redirect its output and exec; what it needs is prepared
    // before. exec takes char* const[] for historical reasons and does not
    // write to the strings.
    prepare_client_output();
    pid_t pid = vfork();
    if (pid != 0) {
        return pid;
    }
    redirect_client_output();
    execvp(kClientArgv[0], const_cast<char* const*>(kClientArgv));
    _exit(1);
}

int supervise_client(const NotifyTarget& manager) {
    state.manager = manager;
    state.ready_owed = manager.socket >= 0;  // told with the first launch's news
    state.timer = timerfd_create(kDeadlineClock, TFD_NONBLOCK | TFD_CLOEXEC);
    while (state.stop_signal == 0) {
        heal_output_fifo();
        if (state.stop_signal != 0) {
            break;
        }
        log_event(LOG_NOTICE, "starting vpnc");
        state.client_pid = launch_client();
        if (state.client_pid <= 0) {
            // Under a process limit this would otherwise retry, and log, in a
            // tight loop.
            const int launch_errno = errno;
            log_event(LOG_ERR, "launch failed: %s", strerror(launch_errno));
            tell_status("launch failed: %s", strerror(launch_errno));
            pause_before_launch(kRestartPauseMillis);
            continue;
        }
        announce_launch();
        const int status = watch_client();
        if (state.stop_signal != 0) {
            break;
        }
        pause_before_launch(plan_next_launch(status));
    }
    announce_stop();
    finish_output_relay();
    if (state.stopping_owed) {
        tell_manager();  // one last try: the manager has had the drain's time to read
    }
    return 0;
}
