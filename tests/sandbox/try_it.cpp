// Starts the real daemon in a private sandbox with a demonstration client in
// place of vpnc, and shows its log live, the way it would appear in syslog.
// Ctrl-C stops the daemon with SIGTERM, so the stop sequence is seen too;
// so does a closed terminal (SIGHUP). A daemon that ends unasked is reported
// with what it printed, and the exit status is then 1.

#include "sandbox.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sys/wait.h>
#include <syslog.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) {
    interrupted = 1;
}

constexpr const char* kDemoClient = R"demo(
trap 'echo "demo client: SIGTERM received, disconnecting"; kill $sleeper 2>/dev/null; exit 0' TERM
nap() { sleep "$1" & sleeper=$!; wait $sleeper; }
echo "demo client $$: connecting (a stand-in for vpnc)"
nap 1
echo "   authenticated; leading spaces are stripped"
echo "[debug] a line with a bracket is left out"
echo
echo "warning: this line went to standard error" >&2
nap 2
echo "tunnel up"
nap 4
echo "peer stopped answering, giving up" >&2
printf 'an unterminated last line is logged too'
exit 1
)demo";

const char* level_name(int priority) {
    static const char* const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    return priority < 0 ? "?" : names[priority & 7];
}

void show(const sandbox::Frame& frame) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", std::localtime(&now));
    std::printf("%s %s[%d] %s: %s\n", stamp, frame.ident.c_str(), static_cast<int>(frame.pid),
                level_name(frame.priority), frame.text.c_str());
    std::fflush(stdout);
}

// What the daemon printed: the sandbox's own reason when the exec failed.
void show_output(const std::string& path) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::printf("quorVixd: %s\n", line.c_str());
    }
}

int run() {
    const std::string reason = sandbox::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "cannot make a sandbox here: %s\n", reason.c_str());
        return 1;
    }
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    std::signal(SIGHUP, on_interrupt);
    std::signal(SIGPIPE, on_interrupt);  // nobody reads the log any more

    sandbox::Sandbox box;
    box.set_client(kDemoClient);
    sandbox::Daemon daemon = box.start();
    std::printf("quorVixd started as pid %d in a private sandbox (%s).\n"
                "Its log follows; press Ctrl-C to stop it.\n\n",
                static_cast<int>(daemon.pid), box.root().c_str());
    std::fflush(stdout);

    std::size_t shown = 0;
    auto show_new = [&] {
        const auto& frames = box.frames();
        for (; shown < frames.size(); ++shown) {
            show(frames[shown]);
        }
    };
    bool stopping = false;
    for (;;) {
        if (interrupted && !stopping) {
            stopping = true;
            std::printf("\n-- sending SIGTERM to quorVixd(%d) --\n", static_cast<int>(daemon.pid));
            std::fflush(stdout);
            kill(daemon.pid, SIGTERM);
        }
        std::optional<int> status = box.wait_exit(daemon, std::chrono::milliseconds(100));
        show_new();
        if (status) {
            show_output(daemon.stdout_path);
            show_output(daemon.stderr_path);
            std::printf("-- quorVixd exited with status %d%s --\n",
                        WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status),
                        stopping ? "" : ", unasked");
            std::fflush(stdout);
            return stopping && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? 0 : 1;
        }
    }
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "try-it: %s\n", error.what());
        return 1;
    }
}
