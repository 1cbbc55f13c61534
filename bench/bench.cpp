// Measures the daemon and prints the figures, then the targets:
//
//   relay throughput  In every round, one file of numbered lines is sent by
//                     three senders, one after the other, each into the log
//                     socket of a fresh sandbox (a datagram socket read by one
//                     reader thread that checks every line):
//                       quorVixd     the real daemon, its client `cat FILE`;
//                       cat|logger   `cat FILE | logger -d -u SOCKET ...`;
//                       syslog loop  `cat FILE | syslog_loop`, a bare loop
//                                    calling syslog(3), in a mount namespace
//                                    whose /dev/log is the sandbox's socket.
//                     For each: lines/s, CPU per line of every process on the
//                     sending side (cat included for all three), and the
//                     load of other processes on the machine meanwhile.
//   idle cost         CPU time and wake-ups of each of the daemon's threads
//                     with a silent client, next to a bare two-thread program;
//   memory            Private_Dirty and Pss of both.
//
// Usage: bench [--lines N] [--width BYTES] [--idle-seconds S] [--rounds R]
// A broken run (a line lost, repeated, reordered or damaged; a sender or the
// daemon that did not start, failed or did not stop as it should) is reported
// as such, judges no target and exits 1. Otherwise the targets are printed,
// each "met" or "missed", and the exit status is 0.

#include "log_reader.h"
#include "proc_stats.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <functional>
#include <gnu/libc-version.h>
#include <map>
#include <optional>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tools::Clock;
using std::chrono::milliseconds;

constexpr int kNotice = (3 << 3) | 5;  // LOG_DAEMON | LOG_NOTICE
constexpr const char* kIdent = "quorVix";
constexpr auto kStallLimit = std::chrono::seconds(15);  // no new line for this long: the rest is lost
constexpr auto kEndedQuiet = std::chrono::seconds(1);   // nor for this long once the sender has ended
constexpr double kMainPeriodSeconds = 1;   // the supervisor's poll of its client
constexpr double kRelayPeriodSeconds = 5;  // the relay's idle wait
// Other processes busy for this many CPUs on average during a run: the run
// is marked, as its figures may be off.
constexpr double kHeavyForeignCpus = 0.3;

// Targets.
constexpr double kCpuPerLineTarget = 0.9;  // at most this times logger's
constexpr double kRateTarget = 1.1;        // at least this times logger's
constexpr long kPrivateDirtyTargetKib = 128;

struct Options {
    long lines = 1000000;
    long width = 80;
    double idle_seconds = 60;
    int rounds = 5;
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double seconds_of(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double cpu_seconds(const rusage& usage) {
    return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

// 1234567.8 -> "1,234,568"
std::string grouped(double value) {
    const std::string digits = std::to_string(static_cast<long long>(value + 0.5));
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        if (at > 0 && (digits.size() - at) % 3 == 0) {
            text += ',';
        }
        text += digits[at];
    }
    return text;
}

// ---------------------------------------------------------------- load ---

// Time all CPUs spent busy (all but idle and iowait), from /proc/stat.
double machine_busy_seconds() {
    std::ifstream in("/proc/stat");
    std::string name;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> name >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return static_cast<double>(user + nice + system + irq + softirq + steal) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpu_seconds(usage);
}

// Estimates the load of other processes over a stretch of time: the busy
// time of the whole machine, less this program's own (its reader thread
// among it) and that of the processes it measures, per second of the stretch.
class ForeignLoad {
public:
    ForeignLoad() : busy_(machine_busy_seconds()), own_(own_cpu_seconds()), start_(Clock::now()) {}

    // In CPUs (1.0: one CPU busy all the time), given the CPU time of the
    // measured processes within the stretch. Tick-sampled: an estimate.
    double cpus(double measured_seconds) const {
        const double window = seconds_between(start_, Clock::now());
        const double foreign =
            (machine_busy_seconds() - busy_) - (own_cpu_seconds() - own_) - measured_seconds;
        return window > 0 ? std::max(0.0, foreign / window) : 0;
    }

private:
    double busy_;
    double own_;
    Clock::time_point start_;
};

// ----------------------------------------------------------- processes ---

// Waits for `pid` (a child of ours) to end; its wait status, or nothing.
std::optional<int> await_exit(pid_t pid, milliseconds within, rusage* usage = nullptr) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        int status = 0;
        if (wait4(pid, &status, WNOHANG, usage) == pid) {
            return status;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

// True once child `pid` has ended; it is left to be waited for.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

std::string describe_status(const std::optional<int>& status) {
    if (!status) {
        return "did not end";
    }
    if (WIFEXITED(*status)) {
        return "exit status " + std::to_string(WEXITSTATUS(*status));
    }
    return "killed by signal " + std::to_string(WTERMSIG(*status));
}

bool exited_zero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// A mount namespace whose /dev is a sandbox's, so that syslog(3) sends to
// the sandbox's log socket; without root, inside a user namespace of our
// own, as the sandbox does. Everything is prepared before the fork: the
// child only makes system calls.
class LogNamespace {
public:
    explicit LogNamespace(const sandbox::Sandbox& box)
        : dev_(box.root() + "/dev"), as_root_(geteuid() == 0),
          uid_map_("0 " + std::to_string(geteuid()) + " 1"), gid_map_("0 " + std::to_string(getegid()) + " 1") {}

    // Child side, after the fork. False with errno set on failure.
    bool enter() const {
        if (as_root_) {
            if (unshare(CLONE_NEWNS) != 0) {
                return false;
            }
        } else if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !write_proc("/proc/self/setgroups", "deny") ||
                   !write_proc("/proc/self/uid_map", uid_map_) || !write_proc("/proc/self/gid_map", gid_map_)) {
            return false;
        }
        return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount(dev_.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }

private:
    static bool write_proc(const char* path, const std::string& text) {
        const int fd = open(path, O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0) {
            close(fd);
        }
        return written;
    }

    std::string dev_;
    bool as_root_;
    std::string uid_map_;
    std::string gid_map_;
};

// Forks a child with these standard input and output (-1: ours) that runs
// argv (looked up in PATH unless it holds a slash), within `space` if given.
pid_t spawn(int in, int out, const std::vector<std::string>& argv, const LogNamespace* space = nullptr) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) {
        if (pid < 0) {
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        }
        return pid;
    }
    // Should the bench die, its own children go with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    if ((in >= 0 && dup2(in, STDIN_FILENO) < 0) || (out >= 0 && dup2(out, STDOUT_FILENO) < 0)) {
        _exit(127);
    }
    if (space != nullptr && !space->enter()) {
        dprintf(STDERR_FILENO, "bench: %s: namespace for /dev/log: %s\n", args[0], std::strerror(errno));
        _exit(126);
    }
    close_range(3, ~0U, 0);
    execvp(args[0], args.data());
    dprintf(STDERR_FILENO, "bench: exec %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    remove(path);
    return 0;
}

// The lines every sender sends, made once by the stand-in client's "bulk"
// operation: "L<number> xxx...", WIDTH bytes with the newline. The directory
// is readable by all, for the daemon's client.
class LinesFile {
public:
    explicit LinesFile(const Options& options) {
        char pattern[] = "/tmp/quorvix-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        }
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
        path_ = dir_ + "/lines";
        const int out = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) {
            throw std::runtime_error("create " + path_ + ": " + std::strerror(errno));
        }
        const pid_t writer = spawn(-1, out, {QUORVIX_STAND_IN_PATH, "bulk", std::to_string(options.lines),
                                             std::to_string(options.width)});
        close(out);
        const std::optional<int> status = await_exit(writer, milliseconds(120000));
        struct stat file {};
        if (!exited_zero(status) || stat(path_.c_str(), &file) != 0 ||
            file.st_size != static_cast<off_t>(options.lines * options.width)) {
            throw std::runtime_error("could not write the lines to " + path_ + " (" + describe_status(status) + ")");
        }
    }
    ~LinesFile() { nftw(dir_.c_str(), remove_entry, 4, FTW_DEPTH | FTW_PHYS); }
    LinesFile(const LinesFile&) = delete;
    LinesFile& operator=(const LinesFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

// ---------------------------------------------------------- throughput ---

// Checks the numbered lines "L<number> xxx..." of one run as they arrive: all
// of 1..expected, once each, in order, intact.
class SequenceCheck {
public:
    // `timed`: how many lines the rate is taken over (see kHeldBack).
    SequenceCheck(long expected, long width, long timed)
        : expected_(expected), timed_(timed), text_length_(static_cast<std::size_t>(width - 1)),
          seen_(static_cast<std::size_t>(expected) + 1, 0) {}

    void take(const tools::FrameView& frame) {
        const std::string_view text = frame.text;
        if (received_.load(std::memory_order_relaxed) == 0) {
            first_ = frame.received;
        }
        received_.store(received_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        last_ = frame.received;
        long number = 0;
        std::size_t at = 1;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            number = number * 10 + (text[at++] - '0');
        }
        if (!frame.parsed || frame.truncated || frame.priority != kNotice || frame.ident != kIdent ||
            text.size() != text_length_ || at == 1 || text[at] != ' ' || number < 1 || number > expected_ ||
            text.find_first_not_of('x', at + 1) != std::string_view::npos) {
            ++malformed_;
            return;
        }
        if (seen_[static_cast<std::size_t>(number)] != 0) {
            ++duplicates_;
            return;
        }
        seen_[static_cast<std::size_t>(number)] = 1;
        if (++distinct_ == timed_) {
            timed_arrival_ = frame.received;
        }
        if (number < highest_) {
            ++out_of_order_;
        }
        highest_ = std::max(highest_, number);
    }

    // Frames taken so far; safe from any thread.
    long received() const { return received_.load(std::memory_order_relaxed); }

    // The rest only once the reader has stopped.
    long expected() const { return expected_; }
    long timed() const { return timed_; }
    long lost() const { return expected_ - distinct_; }
    long out_of_order() const { return out_of_order_; }
    long duplicates() const { return duplicates_; }
    long malformed() const { return malformed_; }
    Clock::time_point first() const { return first_; }
    Clock::time_point last() const { return last_; }
    // When the timed lines had all come; the start of the clock's epoch if they have not.
    Clock::time_point timed_arrival() const { return timed_arrival_; }
    bool clean() const { return lost() == 0 && out_of_order_ == 0 && duplicates_ == 0 && malformed_ == 0; }

private:
    long expected_;
    long timed_;
    std::size_t text_length_;
    std::vector<unsigned char> seen_;
    std::atomic<long> received_{0};
    long distinct_ = 0;
    long out_of_order_ = 0;
    long duplicates_ = 0;
    long malformed_ = 0;
    long highest_ = 0;
    Clock::time_point first_{};
    Clock::time_point last_{};
    Clock::time_point timed_arrival_{};
};

// The relay sends a batch (at most 8191 bytes) once it is full, or once it has
// waited a second in all for more: the last, partial batch of a flood comes a
// second late by design. So the rate of every sender is taken over all lines
// but one batch's worth at the end; the full count is checked all the same.
long timed_lines(const Options& options) {
    return std::max(1L, options.lines - (8191 / options.width + 1));
}

// Waits until every expected line has come; or none has come for
// kStallLimit, or for kEndedQuiet once `ended` says the sender is gone.
void await_lines(const SequenceCheck& check, const std::function<bool()>& ended) {
    long before = -1;
    Clock::time_point progress = Clock::now();
    while (check.received() < check.expected()) {
        const long now = check.received();
        if (now != before) {
            before = now;
            progress = Clock::now();
        } else {
            const auto quiet = Clock::now() - progress;
            if (quiet > kStallLimit || (quiet > kEndedQuiet && ended())) {
                return;
            }
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

enum Sender { kDaemon, kLogger, kLoop, kSenders };
constexpr const char* kSenderNames[kSenders] = {"quorVixd", "cat|logger", "syslog loop"};

struct Run {
    Sender sender = kDaemon;
    double seconds = 0;       // from the start until the timed lines had come
    double first = 0;         // from the start to the first line
    double last = 0;          // from the start to the last line
    long timed = 0;
    long expected = 0;
    long lost = 0;
    long out_of_order = 0;
    long duplicates = 0;
    long malformed = 0;
    double sender_cpu = 0;    // the daemon (both threads), logger, or the loop
    double cat_cpu = 0;       // cat; for the daemon, its whole client (the shell and cat)
    double reader_cpu = 0;
    double foreign_cpus = 0;
    tools::Memory memory;     // the daemon's, after the flood
    std::string problem;      // why the run is broken; empty when it is not

    bool ok() const { return problem.empty(); }
    double rate() const { return seconds > 0 && lost == 0 ? static_cast<double>(timed) / seconds : 0; }
    double cpu_per_line_us() const { return (sender_cpu + cat_cpu) * 1e6 / static_cast<double>(expected); }
    double sender_per_line_us() const { return sender_cpu * 1e6 / static_cast<double>(expected); }
    double cat_per_line_us() const { return cat_cpu * 1e6 / static_cast<double>(expected); }
    bool heavy() const { return foreign_cpus >= kHeavyForeignCpus; }
};

void add_problem(Run& run, const std::string& what) {
    run.problem += (run.problem.empty() ? "" : "; ") + what;
}

void take_lines(Run& run, Clock::time_point start, const SequenceCheck& check, const tools::LogReader& reader) {
    if (check.received() > 0) {
        run.first = seconds_between(start, check.first());
        run.last = seconds_between(start, check.last());
    }
    if (check.timed_arrival() != Clock::time_point{}) {
        run.seconds = seconds_between(start, check.timed_arrival());
    }
    run.timed = check.timed();
    run.expected = check.expected();
    run.lost = check.lost();
    run.out_of_order = check.out_of_order();
    run.duplicates = check.duplicates();
    run.malformed = check.malformed();
    run.reader_cpu = static_cast<double>(reader.cpu_ns()) / 1e9;
    if (!check.clean()) {
        add_problem(run, "lines lost, repeated, reordered or damaged");
    }
}

std::string first_line_of_file(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The daemon relays its client's `cat FILE`; the client then waits to be
// stopped, so that it is not started again.
Run run_daemon(const Options& options, const LinesFile& lines) {
    Run run;
    run.sender = kDaemon;
    sandbox::Sandbox box;
    box.set_client("cat '" + lines.path() + "'\nexec sleep infinity");
    SequenceCheck check(options.lines, options.width, timed_lines(options));
    std::atomic<bool> started{false};
    Clock::time_point start{};
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView& frame) {
        if (!frame.text.empty() && frame.text[0] == 'L') {
            check.take(frame);
        } else if (frame.text == "starting vpnc" && !started.load(std::memory_order_relaxed)) {
            start = frame.received;
            started.store(true, std::memory_order_release);
        }
    });
    const ForeignLoad load;
    const sandbox::Daemon daemon = box.start();
    await_lines(check, [&] { return has_ended(daemon.pid); });
    double daemon_cpu = 0;  // both threads, since the start
    for (const auto& [tid, counters] : tools::thread_counters(daemon.pid)) {
        daemon_cpu += static_cast<double>(counters.cpu_ns) / 1e9;
    }
    run.memory = tools::memory_of(daemon.pid);
    const bool ended_early = has_ended(daemon.pid);
    kill(daemon.pid, SIGTERM);
    // The daemon waits for its client, so this holds the client's time too.
    rusage usage{};
    const std::optional<int> status = await_exit(daemon.pid, milliseconds(10000), &usage);
    run.foreign_cpus = load.cpus(cpu_seconds(usage));
    reader.stop();
    if (started) {
        take_lines(run, start, check, reader);
    } else {
        take_lines(run, Clock::now(), check, reader);
        run.seconds = run.first = run.last = 0;
    }
    run.sender_cpu = daemon_cpu;
    run.cat_cpu = std::max(0.0, cpu_seconds(usage) - daemon_cpu);
    if (!started) {
        add_problem(run, "the daemon never logged \"starting vpnc\"");
    }
    if (ended_early) {
        add_problem(run, "the daemon ended before it was stopped (" + describe_status(status) + ")");
    } else if (!exited_zero(status)) {
        add_problem(run, "the daemon, stopped with SIGTERM: " + describe_status(status));
    }
    if (!status) {
        kill(daemon.pid, SIGKILL);
        await_exit(daemon.pid, milliseconds(5000));
    }
    if (!run.ok()) {
        const std::string said = first_line_of_file(daemon.stderr_path);
        if (!said.empty()) {
            add_problem(run, "its standard error: " + said);
        }
    }
    return run;
}

// `cat FILE | SENDER`: logger(1) sending each line as one datagram to the
// sandbox's socket by its path, or the syslog loop in a namespace where
// that socket is /dev/log.
Run run_pipeline(Sender sender, const Options& options, const LinesFile& lines) {
    Run run;
    run.sender = sender;
    sandbox::Sandbox box;
    const LogNamespace space(box);
    SequenceCheck check(options.lines, options.width, timed_lines(options));
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView& frame) { check.take(frame); });
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const std::vector<std::string> argv =
        sender == kLogger
            ? std::vector<std::string>{"logger", "-d", "-u", box.root() + "/dev/log", "-t", kIdent, "-i", "-p",
                                       "daemon.notice"}
            : std::vector<std::string>{QUORVIX_SYSLOG_LOOP_PATH};
    const ForeignLoad load;
    const Clock::time_point start = Clock::now();
    const pid_t cat = spawn(-1, ends[1], {"cat", lines.path()});
    const pid_t sending = spawn(ends[0], -1, argv, sender == kLoop ? &space : nullptr);
    close(ends[0]);
    close(ends[1]);
    await_lines(check, [&] { return has_ended(sending); });
    rusage sender_usage{};
    rusage cat_usage{};
    std::optional<int> sender_status = await_exit(sending, milliseconds(10000), &sender_usage);
    std::optional<int> cat_status = await_exit(cat, milliseconds(10000), &cat_usage);
    run.foreign_cpus = load.cpus(cpu_seconds(sender_usage) + cpu_seconds(cat_usage));
    for (const pid_t pid : {sending, cat}) {
        if (!has_ended(pid)) {
            kill(pid, SIGKILL);
            await_exit(pid, milliseconds(5000));
        }
    }
    reader.stop();
    take_lines(run, start, check, reader);
    run.sender_cpu = cpu_seconds(sender_usage);
    run.cat_cpu = cpu_seconds(cat_usage);
    if (!exited_zero(sender_status)) {
        add_problem(run, std::string(sender == kLogger ? "logger" : "the syslog loop") + ": " +
                             describe_status(sender_status));
    }
    if (!exited_zero(cat_status)) {
        add_problem(run, "cat: " + describe_status(cat_status));
    }
    return run;
}

void print_run_header() {
    std::printf("  %5s %-11s %7s %7s %9s %8s %8s %8s %6s %6s %5s %7s %8s\n", "round", "sender", "seconds",
                "last at", "lines/s", "CPU us/l", "sender", "cat", "lost", "reord", "dups", "reader", "foreign");
}

void print_run(int round, const Run& run) {
    std::printf("  %5d %-11s %7.3f %7.3f %9s %8.3f %8.3f %8.3f %6ld %6ld %5ld %6.0f%% %8.2f%s%s\n", round,
                kSenderNames[run.sender], run.seconds, run.last, grouped(run.rate()).c_str(), run.cpu_per_line_us(),
                run.sender_per_line_us(), run.cat_per_line_us(), run.lost, run.out_of_order,
                run.duplicates + run.malformed, run.seconds > 0 ? 100 * run.reader_cpu / run.seconds : 0.0,
                run.foreign_cpus, run.heavy() ? "  HEAVY LOAD" : "", run.ok() ? "" : "  BROKEN");
    if (!run.ok()) {
        std::printf("        %s\n", run.problem.c_str());
    }
}

struct Spread {
    double median = 0;
    double low = 0;
    double high = 0;
};

Spread spread_of(std::vector<double> values) {
    Spread spread;
    if (values.empty()) {
        return spread;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    spread.median = values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    spread.low = values.front();
    spread.high = values.back();
    return spread;
}

struct Throughput {
    bool ok = true;
    Spread rate[kSenders];
    Spread cpu[kSenders];
    long lost = 0;
    std::vector<tools::Memory> daemon_memory;
};

Throughput throughput(const Options& options, const LinesFile& lines) {
    std::printf("\nRelay throughput: the same %s lines of %ld bytes (a file sent by cat) for every sender, each "
                "into a fresh sandbox's log socket, %d round(s), senders in turn\n",
                grouped(static_cast<double>(options.lines)).c_str(), options.width, options.rounds);
    std::printf("  seconds: from the start (\"starting vpnc\" for the daemon) until all lines but the last %ld had come\n"
                "  (the daemon sends its last, partial batch after a second's wait for more); last at: the last line;\n"
                "  lines/s: %s lines over those seconds; CPU us/l: user+system time per line of every sending\n"
                "  process = sender + cat (for the daemon: both its threads + its client, the shell and its cat);\n"
                "  reader: the reader thread's CPU share; foreign: CPUs kept busy by other processes meanwhile\n"
                "  (/proc/stat busy time less ours), marked HEAVY LOAD from %.2f\n",
                options.lines - timed_lines(options), grouped(static_cast<double>(timed_lines(options))).c_str(),
                kHeavyForeignCpus);
    print_run_header();
    Throughput result;
    std::vector<Run> runs[kSenders];
    for (int round = 1; round <= options.rounds; ++round) {
        for (int turn = 0; turn < kSenders; ++turn) {
            const auto sender = static_cast<Sender>((round - 1 + turn) % kSenders);
            Run run = sender == kDaemon ? run_daemon(options, lines) : run_pipeline(sender, options, lines);
            print_run(round, run);
            result.ok = result.ok && run.ok();
            if (sender == kDaemon) {
                result.lost += run.lost;
                result.daemon_memory.push_back(run.memory);
            }
            runs[sender].push_back(run);
        }
    }

    int heavy_rounds = 0;
    std::vector<bool> quiet;
    for (int round = 0; round < options.rounds; ++round) {
        bool heavy = false;
        for (const std::vector<Run>& of_sender : runs) {
            heavy = heavy || of_sender[static_cast<std::size_t>(round)].heavy();
        }
        heavy_rounds += heavy;
        quiet.push_back(!heavy);
    }
    std::printf("\n  Medians of %d round(s) [min-max]; %d round(s) with heavy foreign load\n", options.rounds,
                heavy_rounds);
    std::printf("  %-11s %28s %26s %22s\n", "sender", "lines/s", "CPU us per line", "of it the sender");
    for (int sender = 0; sender < kSenders; ++sender) {
        std::vector<double> rate;
        std::vector<double> cpu;
        std::vector<double> own;
        for (const Run& run : runs[sender]) {
            rate.push_back(run.rate());
            cpu.push_back(run.cpu_per_line_us());
            own.push_back(run.sender_per_line_us());
        }
        result.rate[sender] = spread_of(rate);
        result.cpu[sender] = spread_of(cpu);
        const Spread mine = spread_of(own);
        std::printf("  %-11s %9s [%7s-%7s] %9.3f [%6.3f-%6.3f] %7.3f [%5.3f-%5.3f]\n", kSenderNames[sender],
                    grouped(result.rate[sender].median).c_str(), grouped(result.rate[sender].low).c_str(),
                    grouped(result.rate[sender].high).c_str(), result.cpu[sender].median, result.cpu[sender].low,
                    result.cpu[sender].high, mine.median, mine.low, mine.high);
    }
    std::printf("\n  Ratios: of the medians [min-max of the rounds' own ratios]\n");
    for (const Sender other : {kLogger, kLoop}) {
        std::vector<double> rate;
        std::vector<double> cpu;
        std::vector<double> quiet_rate;
        std::vector<double> quiet_cpu;
        for (std::size_t round = 0; round < runs[kDaemon].size(); ++round) {
            const Run& daemon = runs[kDaemon][round];
            const Run& them = runs[other][round];
            rate.push_back(them.rate() > 0 ? daemon.rate() / them.rate() : 0);
            cpu.push_back(them.cpu_per_line_us() > 0 ? daemon.cpu_per_line_us() / them.cpu_per_line_us() : 0);
            if (quiet[round]) {
                quiet_rate.push_back(rate.back());
                quiet_cpu.push_back(cpu.back());
            }
        }
        const Spread rates = spread_of(rate);
        const Spread cpus = spread_of(cpu);
        std::printf("  quorVixd / %-11s  lines/s %.2f [%.2f-%.2f]   CPU per line %.2f [%.2f-%.2f]\n",
                    kSenderNames[other],
                    result.rate[other].median > 0 ? result.rate[kDaemon].median / result.rate[other].median : 0,
                    rates.low, rates.high,
                    result.cpu[other].median > 0 ? result.cpu[kDaemon].median / result.cpu[other].median : 0,
                    cpus.low, cpus.high);
        if (heavy_rounds > 0 && !quiet_rate.empty()) {
            std::printf("  quorVixd / %-11s  in the %zu round(s) without heavy load, medians of the rounds' ratios: "
                        "lines/s %.2f, CPU per line %.2f\n",
                        kSenderNames[other], quiet_rate.size(), spread_of(quiet_rate).median,
                        spread_of(quiet_cpu).median);
        }
    }
    return result;
}

// ------------------------------------------------------ idle and memory ---

// The bare program in a mount namespace of its own whose /dev is the
// sandbox's, so that it opens the same log socket the daemon does.
pid_t start_bare(const sandbox::Sandbox& box) {
    const LogNamespace space(box);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = spawn(null, null, {QUORVIX_BARE_PATH}, &space);
    close(null);
    return pid;
}

// Waits until `pid` has a child running the client (its exec done).
bool await_client(pid_t pid, milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (Clock::now() < deadline) {
        for (const tools::Child& child : tools::children_of(pid)) {
            char comm[64] = {};
            std::FILE* file = std::fopen(("/proc/" + std::to_string(child.pid) + "/comm").c_str(), "r");
            if (file != nullptr) {
                std::fgets(comm, sizeof comm, file);
                std::fclose(file);
            }
            if (std::strncmp(comm, "vpnc", 4) == 0 && child.state != 'Z') {
                return true;
            }
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

struct ThreadIdle {
    double cpu_ms = 0;
    std::uint64_t wakeups = 0;
    std::uint64_t allowed = 0;  // the most its timer can fire within the window
};

struct Idle {
    bool ok = false;
    std::string problem;
    double window = 0;
    ThreadIdle daemon_main;
    ThreadIdle daemon_relay;
    double daemon_cpu_per_minute = 0;
    double bare_cpu_per_minute = 0;
    tools::Memory daemon_memory;
    tools::Memory bare_memory;
};

// Prints one row per thread; fills `main` and `other` for the caller.
double print_threads(const char* program, pid_t pid, const std::map<pid_t, tools::ThreadCounters>& before,
                     const std::map<pid_t, tools::ThreadCounters>& after, double window, const char* second_name,
                     ThreadIdle& main, ThreadIdle& other) {
    double cpu_ms_total = 0;
    for (const auto& [tid, end] : after) {
        auto found = before.find(tid);
        if (found == before.end()) {
            std::printf("  %-8s thread %d started during the window\n", program, tid);
            continue;
        }
        const tools::ThreadCounters& start = found->second;
        const bool main_thread = tid == pid;
        ThreadIdle& idle = main_thread ? main : other;
        const double period = main_thread ? kMainPeriodSeconds : kRelayPeriodSeconds;
        idle.allowed = static_cast<std::uint64_t>(window / period) + 1;
        idle.cpu_ms = static_cast<double>(end.cpu_ns - start.cpu_ns) / 1e6;
        idle.wakeups = end.voluntary - start.voluntary;
        char name[64];
        std::snprintf(name, sizeof name, "%s (%d)", main_thread ? "main" : second_name, tid);
        std::printf("  %-8s %-16s %9.3f %9.3f %9llu %9llu %9.0f %10llu %10.3f\n", program, name, idle.cpu_ms,
                    idle.cpu_ms * 60 / window, static_cast<unsigned long long>(idle.wakeups),
                    static_cast<unsigned long long>(idle.allowed),
                    idle.wakeups > 0 ? idle.cpu_ms * 1000 / static_cast<double>(idle.wakeups) : 0.0,
                    static_cast<unsigned long long>(end.involuntary - start.involuntary),
                    static_cast<double>(end.wait_ns - start.wait_ns) / 1e6);
        cpu_ms_total += idle.cpu_ms;
    }
    return cpu_ms_total;
}

void print_memory_row(const char* what, const tools::Memory& memory) {
    std::printf("  %-28s %14ld %8ld %8ld\n", what, memory.private_dirty, memory.pss, memory.rss);
}

Idle idle_and_memory(const Options& options) {
    Idle result;
    sandbox::Sandbox box;
    box.set_client_ops({"hold"});
    std::atomic<long> frames{0};
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView&) {
        frames.store(frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    });
    const sandbox::Daemon daemon = box.start();
    if (!await_client(daemon.pid, milliseconds(10000))) {
        result.problem = "the daemon's client did not start within 10 s";
        const std::string said = first_line_of_file(daemon.stderr_path);
        if (!said.empty()) {
            result.problem += "; the daemon's standard error: " + said;
        }
        kill(daemon.pid, SIGKILL);
        await_exit(daemon.pid, milliseconds(5000));
        return result;
    }
    const pid_t bare = start_bare(box);
    // Let both settle: the daemon into its poll loop, the bare program into
    // its sleeps.
    std::this_thread::sleep_for(milliseconds(1500));
    const long frames_before = frames.load();
    const auto daemon_before = tools::thread_counters(daemon.pid);
    const auto bare_before = tools::thread_counters(bare);
    const ForeignLoad load;
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.idle_seconds));
    const auto daemon_after = tools::thread_counters(daemon.pid);
    const auto bare_after = tools::thread_counters(bare);
    result.window = seconds_between(start, Clock::now());
    result.daemon_memory = tools::memory_of(daemon.pid);
    result.bare_memory = tools::memory_of(bare);
    const long frames_during = frames.load() - frames_before;

    std::printf("\nIdle cost over %.1f s with a silent client (wake-ups: voluntary context switches; allowed: the "
                "most its timer can fire, main 1/%gs, relay 1/%gs)\n",
                result.window, kMainPeriodSeconds, kRelayPeriodSeconds);
    std::printf("  %-8s %-16s %9s %9s %9s %9s %9s %10s %10s\n", "program", "thread", "CPU ms", "ms/min",
                "wake-ups", "allowed", "us/wake", "preempted", "waited ms");
    const double daemon_ms = print_threads("quorVixd", daemon.pid, daemon_before, daemon_after, result.window,
                                           "relay", result.daemon_main, result.daemon_relay);
    ThreadIdle bare_main;
    ThreadIdle bare_thread;
    const double bare_ms =
        print_threads("bare", bare, bare_before, bare_after, result.window, "thread", bare_main, bare_thread);
    result.daemon_cpu_per_minute = daemon_ms * 60 / result.window;
    result.bare_cpu_per_minute = bare_ms * 60 / result.window;
    std::printf("  CPU a minute: quorVixd %.3f ms, bare %.3f ms;  frames logged meanwhile: %ld;  foreign load "
                "%.2f CPUs\n",
                result.daemon_cpu_per_minute, result.bare_cpu_per_minute, frames_during,
                load.cpus((daemon_ms + bare_ms) / 1000));

    kill(bare, SIGKILL);
    const std::optional<int> bare_status = await_exit(bare, milliseconds(5000));
    kill(daemon.pid, SIGTERM);
    const std::optional<int> status = await_exit(daemon.pid, milliseconds(10000));
    reader.stop();
    if (!exited_zero(status)) {
        result.problem = "the daemon, stopped with SIGTERM: " + describe_status(status);
    } else if (daemon_after.size() != 2 || daemon_before.size() != 2) {
        result.problem = "the daemon did not have two threads";
    } else if (bare_after.size() != 2 || !bare_status || !WIFSIGNALED(*bare_status)) {
        result.problem = "the bare program did not run with two threads (" + describe_status(bare_status) + ")";
    } else if (result.daemon_memory.private_dirty < 0 || result.bare_memory.private_dirty < 0) {
        result.problem = "could not read smaps_rollup";
    }
    result.ok = result.problem.empty();
    if (!status) {
        kill(daemon.pid, SIGKILL);
        await_exit(daemon.pid, milliseconds(5000));
    }
    return result;
}

void print_memory(const Idle& idle, const Throughput& flood) {
    std::printf("\nMemory (KiB, /proc/PID/smaps_rollup)\n");
    std::printf("  %-28s %14s %8s %8s\n", "process", "Private_Dirty", "Pss", "Rss");
    print_memory_row("quorVixd, idle", idle.daemon_memory);
    for (const tools::Memory& memory : flood.daemon_memory) {
        print_memory_row("quorVixd, after a flood", memory);
    }
    print_memory_row("bare two-thread program, idle", idle.bare_memory);
}

// ------------------------------------------------------------- targets ---

// Only for a sound run.
void print_targets(const Options& options, const Throughput& flood, const Idle& idle) {
    auto verdict = [](bool met) { return met ? "met" : "missed"; };
    const double cpu = flood.cpu[kDaemon].median / flood.cpu[kLogger].median;
    const double rate = flood.rate[kDaemon].median / flood.rate[kLogger].median;
    const bool wakeups = idle.daemon_main.wakeups <= idle.daemon_main.allowed &&
                         idle.daemon_relay.wakeups <= idle.daemon_relay.allowed;
    std::printf("\nTargets (medians of %d rounds)\n", options.rounds);
    std::printf("  CPU per line at most %.1f x logger's:   %.2f x (%.3f us against %.3f us)   %s\n",
                kCpuPerLineTarget, cpu, flood.cpu[kDaemon].median, flood.cpu[kLogger].median,
                verdict(cpu <= kCpuPerLineTarget));
    std::printf("  lines/s at least %.1f x logger's:       %.2f x (%s against %s)   %s\n", kRateTarget, rate,
                grouped(flood.rate[kDaemon].median).c_str(), grouped(flood.rate[kLogger].median).c_str(),
                verdict(rate >= kRateTarget));
    std::printf("  lines lost by the daemon: 0            %ld in %d rounds   %s\n", flood.lost, options.rounds,
                verdict(flood.lost == 0));
    std::printf("  idle wake-ups no more than the timers (main 60, relay 12 a minute):   main %llu (at most %llu), "
                "relay %llu (at most %llu) in %.1f s   %s\n",
                static_cast<unsigned long long>(idle.daemon_main.wakeups),
                static_cast<unsigned long long>(idle.daemon_main.allowed),
                static_cast<unsigned long long>(idle.daemon_relay.wakeups),
                static_cast<unsigned long long>(idle.daemon_relay.allowed), idle.window, verdict(wakeups));
    std::printf("  Private_Dirty, idle, at most %ld KiB:   %ld KiB   %s\n", kPrivateDirtyTargetKib,
                idle.daemon_memory.private_dirty, verdict(idle.daemon_memory.private_dirty <= kPrivateDirtyTargetKib));
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) {
            std::fprintf(stderr, "bench: %s needs a value\n", arg.c_str());
            std::exit(2);
        }
        if (arg == "--lines") {
            options.lines = std::atol(value);
        } else if (arg == "--width") {
            options.width = std::atol(value);
        } else if (arg == "--idle-seconds") {
            options.idle_seconds = std::atof(value);
        } else if (arg == "--rounds") {
            options.rounds = std::atoi(value);
        } else {
            std::fprintf(stderr, "usage: bench [--lines N] [--width BYTES] [--idle-seconds S] [--rounds R]\n");
            std::exit(2);
        }
        ++i;
    }
    if (options.lines < 1 || options.width < 12 || options.width > 4096 || options.idle_seconds <= 0 ||
        options.rounds < 1) {
        std::fprintf(stderr, "bench: lines >= 1, 12 <= width <= 4096, idle seconds > 0, rounds >= 1\n");
        std::exit(2);
    }
    return options;
}

int bench(const Options& options) {
    utsname system{};
    uname(&system);
    std::printf("quorVixd bench: %s lines of %ld bytes, %d round(s), idle window %g s; %u CPUs, Linux %s, glibc "
                "%s; %s\n",
                grouped(static_cast<double>(options.lines)).c_str(), options.width, options.rounds,
                options.idle_seconds, std::thread::hardware_concurrency(), system.release, gnu_get_libc_version(),
                geteuid() == 0 ? "as root" : "not root: in a user namespace");
    const LinesFile lines(options);
    const Throughput flood = throughput(options, lines);
    const Idle idle = idle_and_memory(options);
    if (idle.ok || idle.window > 0) {
        print_memory(idle, flood);
    }
    if (!idle.ok) {
        std::printf("\nIdle cost and memory: BROKEN: %s\n", idle.problem.c_str());
    }
    if (!flood.ok || !idle.ok) {
        std::printf("\nbench: BROKEN RUN (see above); no target judged\n");
        return 1;
    }
    print_targets(options, flood, idle);
    std::printf("\nbench: complete\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const std::string reason = sandbox::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "bench: needs root here (%s); run it as root, e.g. sudo scripts/bench.sh\n",
                     reason.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader of our output that goes away (`| head`) must not end the run
    // half way, leaving a sandboxed daemon behind.
    signal(SIGPIPE, SIG_IGN);
    try {
        return bench(options);
    } catch (const std::exception& error) {
        std::printf("\nbench: BROKEN RUN: %s\n", error.what());
        return 1;
    }
}
