#include "sandbox.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace sandbox {
namespace {

constexpr const char* kDeviceNames[] = {"null", "zero", "full", "random", "urandom", "tty"};

void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            fail("write " + temporary);
        }
    }
    if (chmod(temporary.c_str(), mode) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        fail("install " + path);
    }
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("mkdir " + path);
    }
}

// Copies a program into the sandbox's directory (close-on-exec, so that no
// child forked meanwhile holds it open for writing and makes its exec fail).
void copy_program(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    struct stat source {};
    bool copied = in >= 0 && out >= 0 && fstat(in, &source) == 0 && fchmod(out, 0755) == 0;
    for (off_t done = 0; copied && done < source.st_size;) {
        const ssize_t count = sendfile(out, in, nullptr, static_cast<std::size_t>(source.st_size - done));
        copied = count > 0;
        done += count;
    }
    const int saved = errno;
    close(in);
    close(out);
    errno = saved;
    if (!copied) {
        fail("copy " + from + " to " + to);
    }
}

// Child side, before the exec: errors go to the child's standard error,
// which is the daemon's stderr file, and end the child with 127.
[[noreturn]] void child_fail(const char* what) {
    dprintf(STDERR_FILENO, "sandbox: %s: %s\n", what, std::strerror(errno));
    _exit(127);
}

void write_proc(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        child_fail(path);
    }
    close(fd);
}

// Enters a private mount namespace (and, when not root, a user namespace in
// which we are root). Returns false with errno set when it cannot be had.
bool unshare_mounts() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            return false;
        }
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return false;
        }
        write_proc("/proc/self/setgroups", "deny");
        write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Lays the sandbox's directories over /dev, /run and /opt in a namespace of
// our own.
bool enter_namespace(const std::string& root) {
    if (!unshare_mounts()) {
        return false;
    }
    for (const char* name : kDeviceNames) {
        const std::string device = std::string("/dev/") + name;
        const std::string target = root + "/dev/" + name;
        if (mount(device.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return false;
        }
    }
    if (mount((root + "/dev").c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        mount((root + "/run").c_str(), "/run", nullptr, MS_BIND, nullptr) != 0 ||
        mount((root + "/opt").c_str(), "/opt", nullptr, MS_BIND, nullptr) != 0) {
        return false;
    }
    // /var/run is normally a link to /run; cover it too where it is not.
    struct stat var_run {};
    if (lstat("/var/run", &var_run) == 0 && S_ISDIR(var_run.st_mode) &&
        mount((root + "/run").c_str(), "/var/run", nullptr, MS_BIND, nullptr) != 0) {
        return false;
    }
    return true;
}

void reset_signals(bool ignore_sigchld) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);
    }
    if (ignore_sigchld) {
        signal(SIGCHLD, SIG_IGN);
    }
}

[[noreturn]] void exec_daemon(const std::string& root, const std::string& program, const Daemon& daemon,
                              const StartOptions& options) {
    reset_signals(options.ignore_sigchld);
    int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
    int out = options.stdout_fd >= 0 ? options.stdout_fd
                                     : open(daemon.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(daemon.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        child_fail("standard descriptors");
    }
    if (!enter_namespace(root)) {
        child_fail("mount namespace");
    }
    close_range(3, ~0U, 0);
    for (int i = 0; i < options.open_descriptors; ++i) {
        if (open("/dev/null", O_RDONLY) < 0) {
            child_fail("extra descriptors");
        }
    }
    if (options.max_descriptors > 0) {
        rlimit limit{static_cast<rlim_t>(options.max_descriptors), static_cast<rlim_t>(options.max_descriptors)};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            child_fail("RLIMIT_NOFILE");
        }
    }
    if (options.max_processes > 0) {
        rlimit limit{static_cast<rlim_t>(options.max_processes), static_cast<rlim_t>(options.max_processes)};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) {
            child_fail("RLIMIT_NPROC");
        }
    }
    if (options.uid != 0) {
        const passwd* user = getpwuid(options.uid);
        const gid_t gid = user != nullptr ? user->pw_gid : options.uid;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(options.uid) != 0) {
            child_fail("drop privileges");
        }
    }
    std::vector<char*> argv = {const_cast<char*>("quorVixd")};
    if (!options.program.empty()) {
        argv.clear();
        for (const std::string& arg : options.program) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
    }
    argv.push_back(nullptr);
    // A plain environment, but for the sanitizers' settings of a sanitized build.
    std::vector<std::string> environment = options.environment;
    environment.push_back("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    dprintf(STDERR_FILENO, "sandbox: exec %s: %s\n", program.c_str(), std::strerror(errno));
    _exit(127);
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    remove(path);
    return 0;
}

}  // namespace

std::string unavailable_reason() {
    static const std::string reason = [] {
        pid_t child = fork();
        if (child == 0) {
            _exit(unshare_mounts() ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return std::string();
        }
        return std::string(geteuid() == 0
                               ? "cannot create a private mount namespace (unshare failed)"
                               : "not root, and unprivileged user namespaces are not available");
    }();
    return reason;
}

Sandbox::Sandbox() {
    // Orphaned clients of a killed daemon come back to us, to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char pattern[] = "/tmp/quorvix-sandbox-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        fail("mkdtemp");
    }
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    for (const char* dir : {"/bin", "/run", "/opt", "/opt/quorVix", "/opt/quorVix/bin", "/opt/quorVix/etc", "/dev"}) {
        make_dir(root_ + dir);
    }
    for (const char* name : kDeviceNames) {
        write_file(root_ + "/dev/" + name, "", 0644);
    }
    symlink("/proc/self/fd", (root_ + "/dev/fd").c_str());
    symlink("/proc/self/fd/0", (root_ + "/dev/stdin").c_str());
    symlink("/proc/self/fd/1", (root_ + "/dev/stdout").c_str());
    symlink("/proc/self/fd/2", (root_ + "/dev/stderr").c_str());
    write_file(root_ + "/opt/quorVix/etc/quorvix-script", "#!/bin/sh\n", 0755);
    // The daemon and the stand-in run from here, below none of the sandbox's
    // mounts and open to every user: the build tree may lie under /opt or in
    // a directory that the unprivileged users of some cases cannot enter.
    daemon_path_ = root_ + "/bin/quorVixd";
    stand_in_path_ = root_ + "/bin/stand_in_client";
    copy_program(QUORVIX_DAEMON_PATH, daemon_path_);
    copy_program(QUORVIX_STAND_IN_PATH, stand_in_path_);

    log_socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string log_path = root_ + "/dev/log";
    std::strncpy(address.sun_path, log_path.c_str(), sizeof address.sun_path - 1);
    if (log_socket_ < 0 || bind(log_socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("log socket");
    }
    chmod(log_path.c_str(), 0666);
    int size = 8 << 20;
    setsockopt(log_socket_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    const int on = 1;
    setsockopt(log_socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

Sandbox::~Sandbox() {
    for (pid_t pid : daemons_) {
        kill(-pid, SIGKILL);  // the daemon's session, clients included
        kill(pid, SIGKILL);
    }
    for (pid_t pid : daemons_) {
        waitpid(pid, nullptr, 0);
    }
    // Reap orphaned clients that came back to us.
    const auto deadline = Clock::now() + milliseconds(500);
    while (Clock::now() < deadline) {
        pid_t reaped = waitpid(-1, nullptr, WNOHANG);
        if (reaped < 0) {
            break;
        }
        if (reaped == 0) {
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    if (log_socket_ >= 0) {
        close(log_socket_);
    }
    nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void Sandbox::set_client(const std::string& body) {
    write_file(root_ + "/opt/quorVix/bin/vpnc",
               "#!/bin/sh\nCLIENT='" + stand_in_path_ + "'\n" + body + "\n", 0755);
}

void Sandbox::remove_client() {
    unlink((root_ + "/opt/quorVix/bin/vpnc").c_str());
}

void Sandbox::set_client_ops(const std::vector<std::string>& ops) {
    std::string text;
    for (const std::string& op : ops) {
        text += op + "\n";
    }
    write_file(root_ + "/opt/quorVix/etc/stand-in.ops", text, 0644);
    remove_client();
    if (symlink(stand_in_path_.c_str(), (root_ + "/opt/quorVix/bin/vpnc").c_str()) != 0) {
        fail("symlink client");
    }
}

Daemon Sandbox::start(const StartOptions& options) {
    Daemon daemon;
    const std::string stem = root_ + "/daemon-" + std::to_string(daemons_.size());
    daemon.stdout_path = stem + ".out";
    daemon.stderr_path = stem + ".err";
    std::string program = daemon_path_;
    if (!options.program.empty()) {
        program = root_ + "/bin/" + options.program[0].substr(options.program[0].rfind('/') + 1);
        if (access(program.c_str(), X_OK) != 0) {
            copy_program(options.program[0], program);
        }
    }
    daemon.pid = fork();
    if (daemon.pid < 0) {
        fail("fork");
    }
    if (daemon.pid == 0) {
        exec_daemon(root_, program, daemon, options);
    }
    daemons_.push_back(daemon.pid);
    return daemon;
}

std::optional<int> Sandbox::wait_exit(const Daemon& daemon, milliseconds within) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        if (const std::optional<int> status = await_exit(daemon.pid, milliseconds(0))) {
            receive(0);
            return status;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        receive(10);  // keeps the daemon's log calls from blocking meanwhile
    }
}

int Sandbox::exit_status(const Daemon& daemon, milliseconds within) {
    std::optional<int> status = wait_exit(daemon, within);
    if (!status) {
        return -1000;  // still running
    }
    if (!WIFEXITED(*status)) {
        return -WTERMSIG(*status);
    }
    return WEXITSTATUS(*status);
}

void Sandbox::receive(int timeout_millis) {
    pollfd readable{log_socket_, POLLIN, 0};
    if (poll(&readable, 1, timeout_millis) <= 0) {
        return;
    }
    char datagram[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        iovec data{datagram, sizeof datagram};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(log_socket_, &message, 0);
        if (length < 0) {
            return;
        }
        std::optional<Frame> frame = parse_frame(std::string(datagram, static_cast<std::size_t>(length)));
        if (!frame) {
            frame = Frame{};
            frame->text = std::string(datagram, static_cast<std::size_t>(length));
        }
        // When the datagram arrived, not when the test got round to reading
        // it: a busy machine may leave many waiting.
        frame->received = Clock::now();
        const cmsghdr* stamp = CMSG_FIRSTHDR(&message);
        if (stamp != nullptr && stamp->cmsg_level == SOL_SOCKET && stamp->cmsg_type == SO_TIMESTAMPNS) {
            timespec arrived{};
            timespec now{};
            std::memcpy(&arrived, CMSG_DATA(stamp), sizeof arrived);
            clock_gettime(CLOCK_REALTIME, &now);
            frame->received -= std::chrono::seconds(now.tv_sec - arrived.tv_sec) +
                               std::chrono::nanoseconds(now.tv_nsec - arrived.tv_nsec);
        }
        frame->raw.assign(datagram, static_cast<std::size_t>(length));
        frames_.push_back(*frame);
        if (pace_ > milliseconds(0)) {
            // One at a time, or a sender as fast as the pace would keep us here.
            std::this_thread::sleep_for(pace_);
            return;
        }
    }
}

const std::vector<Frame>& Sandbox::frames() {
    receive(0);
    return frames_;
}

std::vector<std::string> Sandbox::texts() {
    std::vector<std::string> texts;
    for (const Frame& frame : frames()) {
        texts.push_back(frame.text);
    }
    return texts;
}

bool Sandbox::wait_for(const std::function<bool(const std::vector<Frame>&)>& done, milliseconds within) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        receive(0);
        if (done(frames_)) {
            return true;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        receive(static_cast<int>(std::min<long>(left, 50)));
    }
}

bool Sandbox::wait_for_text(const std::string& text, milliseconds within, std::size_t count) {
    return wait_for(
        [&](const std::vector<Frame>& frames) {
            std::size_t seen = 0;
            for (const Frame& frame : frames) {
                seen += frame.text == text;
            }
            return seen >= count;
        },
        within);
}

std::size_t Sandbox::count(const std::string& text) {
    std::size_t seen = 0;
    for (const Frame& frame : frames()) {
        seen += frame.text == text;
    }
    return seen;
}

std::string Sandbox::read_run_file(const std::string& name) const {
    return read_file(run_dir() + "/" + name);
}

std::string Sandbox::wait_for_run_file(const std::string& name, milliseconds within) const {
    const auto deadline = Clock::now() + within;
    for (;;) {
        std::string content = read_run_file(name);
        if (!content.empty() && content.back() == '\n') {
            return content;
        }
        if (Clock::now() >= deadline) {
            return content;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::optional<FrameView> parse_frame_view(std::string_view datagram) {
    // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
    FrameView frame;
    const char* const end = datagram.data() + datagram.size();
    if (datagram.size() < 3 || datagram[0] != '<') {
        return std::nullopt;
    }
    const auto [close, error] = std::from_chars(datagram.data() + 1, end, frame.priority);
    if (error != std::errc() || close == end || *close != '>') {
        return std::nullopt;
    }
    const std::size_t ident = static_cast<std::size_t>(close - datagram.data()) + 1 + 16;  // past the timestamp
    const std::size_t open_bracket = datagram.find('[', ident);
    const std::size_t close_bracket = datagram.find("]: ", open_bracket);
    if (close_bracket == std::string_view::npos ||
        std::from_chars(datagram.data() + open_bracket + 1, datagram.data() + close_bracket, frame.pid).ptr !=
            datagram.data() + close_bracket) {
        return std::nullopt;
    }
    frame.ident = datagram.substr(ident, open_bracket - ident);
    frame.text = datagram.substr(close_bracket + 3);
    return frame;
}

std::optional<Frame> parse_frame(const std::string& datagram) {
    const std::optional<FrameView> view = parse_frame_view(datagram);
    if (!view) {
        return std::nullopt;
    }
    return Frame{view->priority, std::string(view->ident), view->pid, std::string(view->text), {}, {}};
}

std::optional<int> await_exit(pid_t pid, milliseconds within, rusage* usage) {
    const auto deadline = Clock::now() + within;
    // Readable once the child has ended; where there is no pidfd, poll()
    // skips the negative descriptor and merely sleeps.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::optional<int> result;
    for (;;) {
        int status = 0;
        if (wait4(pid, &status, WNOHANG, usage) == pid) {
            result = status;
            break;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd readable{ended, POLLIN, 0};
        if (left <= 0 || (poll(&readable, 1, static_cast<int>(ended >= 0 ? left : std::min<long>(left, 10))) < 0 &&
                          errno == EINTR)) {
            break;
        }
    }
    if (ended >= 0) {
        close(ended);
    }
    return result;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool process_alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z' &&
           line[paren + 2] != 'X';
}

}  // namespace sandbox
