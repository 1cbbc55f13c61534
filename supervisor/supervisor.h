#pragma once

#include <csignal>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

// Where the service manager takes the daemon's notifications ("READY=1",
// "STATUS=...", "STOPPING=1"): a datagram socket, named by a path or, after
// '@', in the abstract namespace. `socket` is -1 when nobody listens.
struct NotifyTarget {
    int socket;
    sockaddr_un address;
    socklen_t length;
};

inline constexpr std::size_t kStatusTextSize = 128;  // any status line the daemon tells

// The daemon's one shared record. `stop_signal` is stored by the signal
// handler, on whichever thread the signal lands, and read by the supervision
// loop; everything else belongs to the main thread alone. The handler writes
// a byte to `wake[1]` after it has stored, so that the supervision loop, which
// waits on `wake[0]`, cannot miss a stop that lands just before its wait.
struct SupervisorState {
    volatile sig_atomic_t stop_signal;  // first stop signal received, 0 while none
    pid_t client_pid;                   // latest launch result, -1 after a failed one
    int wake[2];                        // non-blocking, close-on-exec pipe; -1 without one
    int timer;                          // the loop's deadline, a timerfd on the daemon's clock; -1 without
    NotifyTarget manager;               // the service manager, if it asked to be told
    int refusals;                       // clients in a row that the gateway refused
    bool stop_announced;                // the manager has been told of the stop
    // What the manager must still hear: READY=1 and STOPPING=1 are sent again
    // until the manager takes them; a status line may be dropped.
    bool ready_owed;
    bool stopping_owed;
    char status[kStatusTextSize];  // the latest status line
};

// Handler for SIGINT, SIGTERM and SIGQUIT: records the first of them and
// wakes the supervision loop. Nothing else.
void record_stop_signal(int sig);

// Start-up: creates the wake-up pipe and installs record_stop_signal for
// SIGINT, SIGTERM and SIGQUIT. Every other disposition stays as inherited.
// Without the pipe (no descriptor to be had) the loop looks at the clock once
// a second instead.
void watch_stop_signals();

// The main loop: keeps one client running until a stop signal has been
// recorded, then ends the client with SIGTERM (once a second until it has
// gone), waits until the relay has logged everything, and returns 0, the
// daemon's exit status. It waits only on the client, the stop signals and
// its own deadlines. Tells `manager` of its progress.
int supervise_client(const NotifyTarget& manager);

// Creates the client process. Returns its id, or -1 with errno set when no
// process could be created. Never returns in the child.
pid_t launch_client();

// How a client's end is logged, given the status word that waitpid filled:
// "terminated with exit code %d" with the exit code for a client that
// exited, "terminated by signal %d" with the signal for one that was killed.
struct ClientEnd {
    const char* format;
    int value;
};
ClientEnd describe_client_end(int wait_status);

// The pause, in milliseconds, before the next launch once a client has ended
// with `wait_status` (-1 when it could not be had): kRestartPauseMillis.
// Counts in `refusals` the ends in a row with exit code 2, the client's word
// that the gateway refused the login; any other end sets it back to 0. From
// the third refusal in a row the pause is kRefusedPauseMillis: gateways lock
// an account after a few failed logins. Six starts then span two short pauses
// and three long ones, more than an hour, so no hour holds more than five;
// 15 min would allow six.
inline constexpr int kRestartPauseMillis = 1000;
inline constexpr int kRefusedPauseMillis = 20 * 60 * 1000;
int pause_after_end(int wait_status, int& refusals);

// Start-up, before any other thread runs: takes the service manager's socket
// from NOTIFY_SOCKET and removes the variable, so that no client inherits it
// and speaks for the daemon. The socket is close-on-exec. Returns the target,
// with socket -1 when the variable is unset or names no usable socket.
NotifyTarget open_notify_target();

// Sends one datagram of "NAME=value" lines to the service manager, formatted
// now and cut short at 255 bytes. Never waits. False only when the manager's
// queue was full, so that a later try may get through; any other failure is
// ignored, since supervision goes on whether or not anyone listens. Does
// nothing (and returns true) without a socket.
bool notify_manager(const NotifyTarget& target, const char* format, ...) __attribute__((format(printf, 2, 3)));
