#pragma once

#include <csignal>
#include <sys/types.h>

// The daemon's one shared record. `stop_signal` is stored by the signal
// handler, on whichever thread the signal lands, and read by the supervision
// loop; `client_pid` belongs to the main thread alone. The handler writes a
// byte to `wake[1]` after it has stored, so that the supervision loop, which
// waits on `wake[0]`, cannot miss a stop that lands just before its wait.
struct SupervisorState {
    volatile sig_atomic_t stop_signal;  // first stop signal received, 0 while none
    pid_t client_pid;                   // latest launch result, -1 after a failed one
    int wake[2];                        // non-blocking, close-on-exec pipe; -1 without one
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
// its own deadlines.
int supervise_client();

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
