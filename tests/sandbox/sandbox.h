#pragma once

// Runs the real daemon in a private mount namespace: a fresh directory over
// /run, a stand-in client tree over /opt and a small /dev whose `log` is a
// datagram socket that the sandbox owns and reads. The daemon and the
// stand-in client run from copies in the sandbox's temporary directory.
// Nothing outside that directory is touched.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace sandbox {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One syslog frame exactly as the daemon sent it.
struct Frame {
    int priority = -1;  // facility * 8 + severity
    std::string ident;
    pid_t pid = 0;
    std::string text;
    Clock::time_point received;  // when it reached the log socket
    std::string raw;  // the whole datagram
};

struct StartOptions {
    uid_t uid = 0;                  // drop to this user (and its group) before the exec
    bool ignore_sigchld = false;    // start with SIGCHLD ignored, as an inherited disposition
    int open_descriptors = 0;       // inherit this many extra descriptors on /dev/null
    long max_descriptors = 0;       // RLIMIT_NOFILE, 0 to leave as is
    long max_processes = 0;         // RLIMIT_NPROC (binds only a non-root uid), 0 to leave as is
    // Another program to run in the sandbox instead of the daemon: its path on
    // the host (copied into the sandbox, as the daemon is) and its arguments.
    std::vector<std::string> program = {};
    int stdin_fd = -1;   // standard input instead of /dev/null
    int stdout_fd = -1;  // standard output instead of the stdout file
    std::vector<std::string> environment = {};  // "NAME=value" entries besides PATH
};

struct Daemon {
    pid_t pid = -1;
    std::string stdout_path;
    std::string stderr_path;
};

// Why sandboxes cannot run here, or an empty string when they can.
std::string unavailable_reason();

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Host paths of the sandbox's /run and of the whole temporary tree.
    std::string run_dir() const { return root_ + "/run"; }
    const std::string& root() const { return root_; }
    // The log socket itself, for readers of their own (non-blocking).
    int log_socket() const { return log_socket_; }

    // Writes /opt/quorVix/bin/vpnc as a shell script with this body. Inside
    // the body, $CLIENT names the stand-in client program (see stand_in_client.cpp).
    void set_client(const std::string& body);
    void remove_client();
    // Makes the stand-in client program itself /opt/quorVix/bin/vpnc, so that
    // it sees the daemon's argv unchanged, running these operations.
    void set_client_ops(const std::vector<std::string>& ops);

    // Starts the daemon, or options.program, in the sandbox.
    Daemon start(const StartOptions& options = {});

    // Raw wait status once the daemon has ended, or nothing at the deadline.
    std::optional<int> wait_exit(const Daemon& daemon, milliseconds within);
    // Exit status of a daemon that must end normally within the time.
    int exit_status(const Daemon& daemon, milliseconds within = milliseconds(5000));

    // Every frame received so far (reads what is waiting first).
    const std::vector<Frame>& frames();
    // Texts of the frames received so far.
    std::vector<std::string> texts();
    // Waits until `done` holds for the frames received, or the deadline.
    bool wait_for(const std::function<bool(const std::vector<Frame>&)>& done, milliseconds within);
    // Waits until a frame with this exact text has arrived `count` times.
    bool wait_for_text(const std::string& text, milliseconds within, std::size_t count = 1);
    // A slow logger: from now on each frame takes this long to read.
    void set_pace(milliseconds per_frame) { pace_ = per_frame; }
    // Number of frames with this exact text.
    std::size_t count(const std::string& text);

    // Reads a file below the sandbox's /run; empty when missing.
    std::string read_run_file(const std::string& name) const;
    // Waits for a file below /run to exist and hold a complete last line.
    std::string wait_for_run_file(const std::string& name, milliseconds within) const;

private:
    void receive(int timeout_millis);

    std::string root_;
    std::string daemon_path_;
    std::string stand_in_path_;
    int log_socket_ = -1;
    std::vector<Frame> frames_;
    milliseconds pace_{0};
    std::vector<pid_t> daemons_;
};

// One frame as glibc's syslog() and logger(1) format it for /dev/log,
// "<PRI>Mmm dd hh:mm:ss ident[pid]: text", as views into the datagram.
struct FrameView {
    int priority = -1;
    std::string_view ident;
    pid_t pid = 0;
    std::string_view text;
};
std::optional<FrameView> parse_frame_view(std::string_view datagram);
// The same, copied into a Frame (without `received` and `raw`).
std::optional<Frame> parse_frame(const std::string& datagram);

// Waits for child `pid` to end, without reading the log. Its raw wait status
// (and, given `usage`, the resources it and the children it waited for
// used), or nothing at the deadline, or as soon as a signal handler has run,
// so that a caller that catches signals can act on them.
std::optional<int> await_exit(pid_t pid, milliseconds within, rusage* usage = nullptr);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// True when process `pid` is alive and not a zombie.
bool process_alive(pid_t pid);

}  // namespace sandbox
