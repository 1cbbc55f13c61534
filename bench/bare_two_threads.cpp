// The floor the daemon's idle cost and memory are measured against: a process
// shaped like it, with nothing else. It opens the log as the daemon does and
// starts one more thread; then both threads block without a timeout, as a
// daemon that waits only on events does, and never wake. Built like the
// daemon, with -Wl,--as-needed and no use of the C++ runtime, so that
// libstdc++ is not loaded.

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

void* block(void*) {
    for (;;) {
        pause();
    }
}

}  // namespace

int main() {
    openlog("bare", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, block, nullptr) != 0) {
        return 1;
    }
    block(nullptr);
}
