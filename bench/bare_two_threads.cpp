// The floor the daemon's idle cost and memory are measured against: a process
// shaped like it, with nothing else. It opens the log as the daemon does,
// starts one detached thread, and both threads sleep, waking on the daemon's
// own timers (the main thread once a second, the other every five seconds)
// unless told otherwise: bare_two_threads [MAIN_SECONDS [THREAD_SECONDS]],
// 0 meaning never. Built like the daemon, with -Wl,--as-needed and no use of
// the C++ runtime, so that libstdc++ is not loaded.

#include <cstdlib>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

void sleep_in_periods(unsigned seconds) {
    for (;;) {
        if (seconds == 0) {
            pause();
        } else {
            sleep(seconds);
        }
    }
}

void* second_thread(void* period) {
    sleep_in_periods(static_cast<unsigned>(reinterpret_cast<unsigned long>(period)));
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned main_period = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1;
    const unsigned thread_period = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 5;
    openlog("bare", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, second_thread,
                       reinterpret_cast<void*>(static_cast<unsigned long>(thread_period))) != 0) {
        return 1;
    }
    pthread_attr_destroy(&attributes);
    sleep_in_periods(main_period);
}
