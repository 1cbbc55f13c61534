#pragma once

#include <csignal>
#include <sys/types.h>

// The daemon's one shared record. `stop_signal` is stored by the signal
// handler, on whichever thread the signal lands, and read by the supervision
// loop; `client_pid` belongs to the main thread alone.
struct SupervisorState {
    volatile sig_atomic_t stop_signal;  // first stop signal received, 0 while none
    pid_t client_pid;                   // latest launch result, -1 after a failed one
};

// Handler for SIGINT, SIGTERM and SIGQUIT: records the first of them and
// does nothing else.
void record_stop_signal(int sig);

// The main loop: keeps one client running until a stop signal has been
// recorded, then ends the client with SIGTERM (once a second until it has
// gone) and returns 0, the daemon's exit status.
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
