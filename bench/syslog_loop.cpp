// The floor the relay's throughput is measured against: a bare loop that
// sends every line of its standard input with syslog(3), and does nothing
// else. It opens the log as a program of the daemon's kind would (identity
// "quorVix" so that its frames are as long as the daemon's, LOG_PID,
// LOG_NDELAY, facility daemon) and logs each line at notice, the newline cut
// off. The benchmark runs it in a mount namespace whose /dev/log is the
// receiving socket. Built like the daemon, with -Wl,--as-needed and no use of
// the C++ runtime. Exits 1 when standard input could not be read.

#include <cstdio>
#include <sys/types.h>
#include <syslog.h>

int main() {
    openlog("quorVix", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    static char buffer[64 * 1024];
    std::setvbuf(stdin, buffer, _IOFBF, sizeof buffer);
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    while ((length = getline(&line, &capacity, stdin)) > 0) {
        if (line[length - 1] == '\n') {
            line[length - 1] = '\0';
        }
        syslog(LOG_NOTICE, "%s", line);
    }
    return std::ferror(stdin) ? 1 : 0;
}
