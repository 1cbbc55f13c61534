// Measures the daemon against its targets and prints the figures:
//
//   relay throughput  the real daemon in the sandbox relaying a client's flood
//                     of numbered lines, and, side by side, logger(1) sending
//                     the same lines from its standard input to a socket of the
//                     same kind, both read by the same reader;
//   idle cost         CPU time and wake-ups of each of the daemon's threads
//                     with a silent client, next to a bare two-thread program;
//   memory            Private_Dirty and Pss of both.
//
// Usage: bench [--lines N] [--width BYTES] [--idle-seconds S] [--rounds R]
// Exits non-zero only when a run is broken (lines lost, a process that does
// not start or stop as it should); missed targets are printed, not fatal.

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
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <optional>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
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
constexpr double kMainPeriodSeconds = 1;   // the supervisor's poll of its client
constexpr double kRelayPeriodSeconds = 5;  // the relay's idle wait
constexpr double kIdleCpuTargetMillisPerMinute = 5;
constexpr long kPrivateDirtyTargetKib = 160;
constexpr long kPssTargetKib = 600;

struct Options {
    long lines = 1000000;
    long width = 80;
    double idle_seconds = 60;
    int rounds = 1;
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

const char* verdict(bool met) {
    return met ? "met" : "target missed";
}

// Checks the numbered lines "L<number> xxx..." of one run as they arrive: all
// of 1..expected, once each, in order, intact.
class SequenceCheck {
public:
    SequenceCheck(long expected, long width)
        : expected_(expected), text_length_(static_cast<std::size_t>(width - 1)),
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
        ++distinct_;
        if (number < highest_) {
            ++out_of_order_;
        }
        highest_ = std::max(highest_, number);
    }

    // Lines received so far; safe from any thread.
    long received() const { return received_.load(std::memory_order_relaxed); }

    // The rest only once the reader has stopped.
    long expected() const { return expected_; }
    long distinct() const { return distinct_; }
    long lost() const { return expected_ - distinct_; }
    long out_of_order() const { return out_of_order_; }
    long duplicates() const { return duplicates_; }
    long malformed() const { return malformed_; }
    Clock::time_point first() const { return first_; }
    Clock::time_point last() const { return last_; }
    bool clean() const { return lost() == 0 && out_of_order_ == 0 && duplicates_ == 0 && malformed_ == 0; }

private:
    long expected_;
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
};

// Waits until every expected line has come, or none has for kStallLimit.
void await_lines(const SequenceCheck& check) {
    long before = -1;
    Clock::time_point progress = Clock::now();
    while (check.received() < check.expected()) {
        const long now = check.received();
        if (now != before) {
            before = now;
            progress = Clock::now();
        } else if (Clock::now() - progress > kStallLimit) {
            return;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

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

// Stops a daemon with SIGTERM, as its init system would; true when it ended
// with status 0.
bool stop_daemon(pid_t pid) {
    kill(pid, SIGTERM);
    std::optional<int> status = await_exit(pid, milliseconds(10000));
    if (!status) {
        std::printf("  daemon %d did not end within 10 s of SIGTERM\n", pid);
        return false;
    }
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        std::printf("  daemon %d ended with wait status %#x after SIGTERM\n", pid, *status);
        return false;
    }
    return true;
}

struct RunResult {
    const char* sender = "";
    double seconds = 0;
    double first_line_seconds = 0;  // from the start to the first line
    long expected = 0;
    long received = 0;
    long lost = 0;
    long out_of_order = 0;
    long duplicates = 0;
    long malformed = 0;
    std::uint64_t reader_batches = 0;
    std::uint64_t reader_frames = 0;
    std::uint64_t reader_full_batches = 0;
    double reader_cpu_seconds = 0;
    std::string sender_cpu;  // where the sender's time went
    bool ok = false;

    double rate() const { return seconds > 0 ? static_cast<double>(expected - lost) / seconds : 0; }
};

void fill(RunResult& result, const SequenceCheck& check, const tools::LogReader& reader) {
    result.expected = check.expected();
    result.received = check.distinct();
    result.lost = check.lost();
    result.out_of_order = check.out_of_order();
    result.duplicates = check.duplicates();
    result.malformed = check.malformed();
    result.reader_batches = reader.batches();
    result.reader_frames = reader.frames();
    result.reader_full_batches = reader.full_batches();
    result.reader_cpu_seconds = static_cast<double>(reader.cpu_ns()) / 1e9;
}

struct DaemonRun {
    RunResult result;
    tools::Memory memory;  // after the flood, before the stop
};

// The daemon relays a client's flood of lines into the sandbox's log socket.
DaemonRun run_daemon(const Options& options) {
    DaemonRun run;
    run.result.sender = "quorVixd";
    sandbox::Sandbox box;
    box.set_client_ops({"bulk", std::to_string(options.lines), std::to_string(options.width), "hold"});
    SequenceCheck check(options.lines, options.width);
    std::atomic<bool> started{false};
    Clock::time_point start{};
    long daemon_frames = 0;
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView& frame) {
        if (frame.text == "starting vpnc" && !started.load(std::memory_order_relaxed)) {
            start = frame.received;
            started.store(true, std::memory_order_release);
        } else if (!frame.text.empty() && frame.text[0] == 'L') {
            check.take(frame);
        } else {
            ++daemon_frames;
        }
    });
    const sandbox::Daemon daemon = box.start();
    await_lines(check);
    std::map<pid_t, tools::ThreadCounters> threads = tools::thread_counters(daemon.pid);
    run.memory = tools::memory_of(daemon.pid);
    const bool stopped = stop_daemon(daemon.pid);
    reader.stop();
    fill(run.result, check, reader);
    run.result.seconds = started ? seconds_between(start, check.last()) : 0;
    run.result.first_line_seconds = started ? seconds_between(start, check.first()) : 0;
    // Since the daemon's start, which is all but the same as the run.
    tools::ThreadCounters relay;
    tools::ThreadCounters main;
    for (const auto& [tid, counters] : threads) {
        (tid == daemon.pid ? main : relay) = counters;
    }
    char where[256];
    std::snprintf(where, sizeof where,
                  "daemon CPU: relay thread %.2f s (user %.2f s, system %.2f s), main thread %.3f s; relay thread "
                  "slept %llu times, was preempted %llu times, waited %.2f s for a CPU",
                  static_cast<double>(relay.cpu_ns) / 1e9, relay.user_seconds, relay.system_seconds,
                  static_cast<double>(main.cpu_ns) / 1e9,
                  static_cast<unsigned long long>(relay.voluntary), static_cast<unsigned long long>(relay.involuntary),
                  static_cast<double>(relay.wait_ns) / 1e9);
    run.result.sender_cpu = where;
    run.result.ok = started && check.clean() && stopped;
    if (!started) {
        std::printf("  the daemon never logged \"starting vpnc\"\n");
    }
    return run;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    remove(path);
    return 0;
}

// A datagram socket like the sandbox's /dev/log, in a directory of its own.
struct LoggerSocket {
    std::string dir;
    std::string path;
    int fd = -1;

    LoggerSocket() {
        char pattern[] = "/tmp/quorvix-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir = pattern;
        path = dir + "/log";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("logger socket: " + std::string(std::strerror(errno)));
        }
        // As the sandbox does (and, lacking CAP_NET_ADMIN, as uselessly).
        int size = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    ~LoggerSocket() {
        close(fd);
        nftw(dir.c_str(), remove_entry, 4, FTW_DEPTH | FTW_PHYS);
    }
};

// Child side, after fork: plain exec, or exit 127.
[[noreturn]] void exec_with(int in, int out, const std::vector<std::string>& argv) {
    if ((in >= 0 && dup2(in, STDIN_FILENO) < 0) || (out >= 0 && dup2(out, STDOUT_FILENO) < 0)) {
        _exit(127);
    }
    close_range(3, ~0U, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "bench: exec %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

// logger(1) sends the same flood, read from its standard input, to a socket
// of the same kind, each line as one datagram (-d: datagrams only).
RunResult run_logger(const Options& options) {
    RunResult result;
    result.sender = "logger";
    LoggerSocket socket;
    SequenceCheck check(options.lines, options.width);
    tools::LogReader reader(socket.fd, [&](const tools::FrameView& frame) { check.take(frame); });
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const Clock::time_point start = Clock::now();
    const pid_t writer = fork();
    if (writer == 0) {
        exec_with(-1, pipe_ends[1], {QUORVIX_STAND_IN_PATH, "bulk", std::to_string(options.lines),
                                     std::to_string(options.width)});
    }
    const pid_t logger = fork();
    if (logger == 0) {
        exec_with(pipe_ends[0], -1,
                  {"logger", "-d", "-u", socket.path, "-t", kIdent, "-i", "-p", "daemon.notice"});
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    await_lines(check);
    rusage usage{};
    std::optional<int> logger_status = await_exit(logger, milliseconds(10000), &usage);
    std::optional<int> writer_status = await_exit(writer, milliseconds(10000));
    if (!logger_status) {
        kill(logger, SIGKILL);
        await_exit(logger, milliseconds(5000));
    }
    if (!writer_status) {
        kill(writer, SIGKILL);
        await_exit(writer, milliseconds(5000));
    }
    reader.stop();
    fill(result, check, reader);
    result.seconds = seconds_between(start, check.last());
    result.first_line_seconds = seconds_between(start, check.first());
    char where[256];
    std::snprintf(where, sizeof where, "logger CPU: %.2f s (user %.2f s, system %.2f s); slept %ld times, was "
                  "preempted %ld times",
                  usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                      usage.ru_stime.tv_usec / 1e6,
                  usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
                  usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6, usage.ru_nvcsw, usage.ru_nivcsw);
    result.sender_cpu = where;
    const bool exited = logger_status && WIFEXITED(*logger_status) && WEXITSTATUS(*logger_status) == 0;
    if (!exited) {
        std::printf("  logger did not end with status 0\n");
    }
    result.ok = check.clean() && exited;
    return result;
}

void print_run(const RunResult& run) {
    std::printf("  %-9s %8.3f %11.0f %9ld %9ld %6ld %9ld %6ld %6ld  %s\n", run.sender, run.seconds, run.rate(),
                run.expected, run.received, run.lost, run.out_of_order, run.duplicates, run.malformed,
                run.ok ? "ok" : "BROKEN");
}

void print_reader(const RunResult& run) {
    std::printf("  %-9s first line after %.3f s, then %.0f lines/s;  reader: %.1f frames per wake-up over %llu wake-ups, %llu of them with %u or more frames "
                "queued; reader CPU %.2f s (%.0f%% of the run)\n  %-9s %s\n",
                run.sender, run.first_line_seconds,
                run.seconds > run.first_line_seconds
                    ? static_cast<double>(run.expected - run.lost - 1) / (run.seconds - run.first_line_seconds)
                    : 0.0,
                run.reader_batches ? static_cast<double>(run.reader_frames) / static_cast<double>(run.reader_batches)
                                   : 0.0,
                static_cast<unsigned long long>(run.reader_batches),
                static_cast<unsigned long long>(run.reader_full_batches), tools::LogReader::kQueueLimitHint,
                run.reader_cpu_seconds, run.seconds > 0 ? 100 * run.reader_cpu_seconds / run.seconds : 0.0, "",
                run.sender_cpu.c_str());
}

// Part (a). Returns false when a run was broken.
bool throughput(const Options& options, std::vector<tools::Memory>& flood_memory) {
    std::printf("\nRelay throughput: %ld numbered lines of %ld bytes, from the client's start (or logger's) to the "
                "last line on the log socket\n",
                options.lines, options.width);
    std::printf("  %-9s %8s %11s %9s %9s %6s %9s %6s %6s\n", "sender", "seconds", "lines/s", "expected", "received",
                "lost", "reordered", "dups", "bad");
    bool ok = true;
    RunResult best_daemon;
    RunResult best_logger;
    std::vector<RunResult> runs;
    for (int round = 0; round < options.rounds; ++round) {
        DaemonRun daemon = run_daemon(options);
        print_run(daemon.result);
        RunResult logger = run_logger(options);
        print_run(logger);
        ok = ok && daemon.result.ok && logger.ok;
        flood_memory.push_back(daemon.memory);
        if (daemon.result.rate() > best_daemon.rate()) {
            best_daemon = daemon.result;
        }
        if (logger.rate() > best_logger.rate()) {
            best_logger = logger;
        }
        runs.push_back(daemon.result);
        runs.push_back(logger);
    }
    for (const RunResult& run : runs) {
        print_reader(run);
    }
    const double ratio = best_logger.rate() > 0 ? best_daemon.rate() / best_logger.rate() : 0;
    std::printf("  %s: quorVixd %.0f lines/s, logger %.0f lines/s, daemon/logger %.2f   target >= 1.00: %s\n",
                options.rounds > 1 ? "best of the rounds" : "result", best_daemon.rate(), best_logger.rate(), ratio,
                verdict(ratio >= 1.0));
    std::printf("  lines lost by the daemon: %ld   target 0: %s\n", best_daemon.lost, verdict(best_daemon.lost == 0));
    return ok;
}

// The bare program in a mount namespace of its own whose /dev is the
// sandbox's, so that it opens the same log socket the daemon does.
pid_t start_bare(const sandbox::Sandbox& box) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) {
        _exit(127);
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount((box.root() + "/dev").c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        std::fprintf(stderr, "bench: bare namespace: %s\n", std::strerror(errno));
        _exit(127);
    }
    close_range(3, ~0U, 0);
    char* const argv[] = {const_cast<char*>("bare_two_threads"), nullptr};
    char* const envp[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
    execve(QUORVIX_BARE_PATH, argv, envp);
    std::fprintf(stderr, "bench: exec %s: %s\n", QUORVIX_BARE_PATH, std::strerror(errno));
    _exit(127);
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

struct IdleTotals {
    double cpu_ms = 0;
    std::uint64_t wakeups = 0;
    std::uint64_t expected = 0;
};

IdleTotals print_threads(const char* program, pid_t pid, const std::map<pid_t, tools::ThreadCounters>& before,
                         const std::map<pid_t, tools::ThreadCounters>& after, double window,
                         const char* second_name) {
    IdleTotals totals;
    for (const auto& [tid, end] : after) {
        auto found = before.find(tid);
        if (found == before.end()) {
            std::printf("  %-8s thread %d started during the window\n", program, tid);
            continue;
        }
        const tools::ThreadCounters& start = found->second;
        const bool main_thread = tid == pid;
        const double period = main_thread ? kMainPeriodSeconds : kRelayPeriodSeconds;
        // A timer of this period fires at most this often within the window.
        const auto expected = static_cast<std::uint64_t>(window / period) + 1;
        const double cpu_ms = static_cast<double>(end.cpu_ns - start.cpu_ns) / 1e6;
        const std::uint64_t wakeups = end.voluntary - start.voluntary;
        char name[64];
        std::snprintf(name, sizeof name, "%s (%d)", main_thread ? "main" : second_name, tid);
        std::printf("  %-8s %-16s %9.3f %9.3f %9llu %9llu %9.0f %10llu %9llu %10.3f  %s\n", program, name, cpu_ms,
                    cpu_ms * 60 / window, static_cast<unsigned long long>(wakeups),
                    static_cast<unsigned long long>(expected),
                    wakeups > 0 ? cpu_ms * 1000 / static_cast<double>(wakeups) : 0.0,
                    static_cast<unsigned long long>(end.involuntary - start.involuntary),
                    static_cast<unsigned long long>(end.timeslices - start.timeslices),
                    static_cast<double>(end.wait_ns - start.wait_ns) / 1e6,
                    wakeups <= expected ? "" : "more wake-ups than its timer");
        totals.cpu_ms += cpu_ms;
        totals.wakeups += wakeups;
        totals.expected += expected;
    }
    return totals;
}

void print_memory_row(const char* what, const tools::Memory& memory, bool with_targets) {
    std::printf("  %-28s %14ld %8ld %8ld", what, memory.private_dirty, memory.pss, memory.rss);
    if (with_targets) {
        std::printf("   Private_Dirty < %ld: %s, Pss < %ld: %s", kPrivateDirtyTargetKib,
                    verdict(memory.private_dirty >= 0 && memory.private_dirty < kPrivateDirtyTargetKib),
                    kPssTargetKib, verdict(memory.pss >= 0 && memory.pss < kPssTargetKib));
    }
    std::printf("\n");
}

// Parts (b) and (c). Returns false when a run was broken.
bool idle_and_memory(const Options& options, const std::vector<tools::Memory>& flood_memory) {
    sandbox::Sandbox box;
    box.set_client_ops({"hold"});
    std::atomic<long> frames{0};
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView&) {
        frames.store(frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    });
    const sandbox::Daemon daemon = box.start();
    if (!await_client(daemon.pid, milliseconds(10000))) {
        std::printf("\nIdle cost: the daemon's client did not start\n");
        stop_daemon(daemon.pid);
        return false;
    }
    const pid_t bare = start_bare(box);
    // Let both settle: the daemon into its poll loop, the bare program into
    // its sleeps.
    std::this_thread::sleep_for(milliseconds(1500));
    const long frames_before = frames.load();
    const auto daemon_before = tools::thread_counters(daemon.pid);
    const auto bare_before = tools::thread_counters(bare);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.idle_seconds));
    const auto daemon_after = tools::thread_counters(daemon.pid);
    const auto bare_after = tools::thread_counters(bare);
    const double window = seconds_between(start, Clock::now());
    const tools::Memory daemon_memory = tools::memory_of(daemon.pid);
    const tools::Memory bare_memory = tools::memory_of(bare);
    const long frames_during = frames.load() - frames_before;

    std::printf("\nIdle cost over %.1f s with a silent client (wake-ups: voluntary context switches; expected: the "
                "most its timer can fire, main 1/%gs, relay 1/%gs)\n",
                window, kMainPeriodSeconds, kRelayPeriodSeconds);
    std::printf("  %-8s %-16s %9s %9s %9s %9s %9s %10s %9s %10s\n", "program", "thread", "CPU ms", "ms/min",
                "wake-ups", "expected", "us/wake", "preempted", "slices", "waited ms");
    const IdleTotals daemon_totals =
        print_threads("quorVixd", daemon.pid, daemon_before, daemon_after, window, "relay");
    const IdleTotals bare_totals = print_threads("bare", bare, bare_before, bare_after, window, "thread");
    const double per_minute = daemon_totals.cpu_ms * 60 / window;
    std::printf("  quorVixd total: %.3f ms CPU (%.3f ms a minute), %llu wake-ups (expected at most %llu); "
                "bare total: %.3f ms CPU, %llu wake-ups\n",
                daemon_totals.cpu_ms, per_minute, static_cast<unsigned long long>(daemon_totals.wakeups),
                static_cast<unsigned long long>(daemon_totals.expected), bare_totals.cpu_ms,
                static_cast<unsigned long long>(bare_totals.wakeups));
    std::printf("  idle CPU < %g ms a minute: %s;  wake-ups no more than the timers: %s;  frames logged meanwhile: %ld\n",
                kIdleCpuTargetMillisPerMinute, verdict(per_minute < kIdleCpuTargetMillisPerMinute),
                verdict(daemon_totals.wakeups <= daemon_totals.expected), frames_during);

    std::printf("\nMemory (KiB, /proc/PID/smaps_rollup)\n");
    std::printf("  %-28s %14s %8s %8s\n", "process", "Private_Dirty", "Pss", "Rss");
    print_memory_row("quorVixd, idle", daemon_memory, true);
    for (const tools::Memory& memory : flood_memory) {
        print_memory_row("quorVixd, after the flood", memory, true);
    }
    print_memory_row("bare reference, idle", bare_memory, false);

    kill(bare, SIGKILL);
    await_exit(bare, milliseconds(5000));
    const bool stopped = stop_daemon(daemon.pid);
    reader.stop();
    return stopped && daemon_after.size() == 2 && bare_after.size() == 2;
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
            std::fprintf(stderr,
                         "usage: bench [--lines N] [--width BYTES] [--idle-seconds S] [--rounds R]\n");
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

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const std::string reason = sandbox::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "bench: cannot run the daemon in a sandbox: %s\n", reason.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("quorVixd bench: %ld lines of %ld bytes, %d round(s), idle window %g s, %u CPUs\n", options.lines,
                options.width, options.rounds, options.idle_seconds, std::thread::hardware_concurrency());
    std::vector<tools::Memory> flood_memory;
    bool ok = throughput(options, flood_memory);
    ok = idle_and_memory(options, flood_memory) && ok;
    std::printf("\n%s\n", ok ? "bench: complete (targets above)" : "bench: BROKEN RUN (see above)");
    return ok ? 0 : 1;
}
