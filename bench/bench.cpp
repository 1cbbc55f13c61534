// Measures the daemon (docs/benchmark.md tells what each figure
// means) and prints the figures, then the targets, each "met" or "missed". A
// broken run judges no target and exits 1; SIGINT, SIGTERM and SIGHUP end the
// sandboxed programs, remove the sandboxes and exit 128 + the signal.

#include "measure.h"
#include "relay/lines.h"
#include "relay/stop.h"
#include "supervisor/supervisor.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <numeric>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace {

using namespace measure;

constexpr double kHeavyForeignCpus = 0.3;  // other processes' load that marks a run
constexpr double kPauseSeconds = kRestartPauseMillis / 1000.0;  // before the daemon starts a client again
constexpr auto kStopLeftOfStall = 10s;     // how long the stall goes on after the stop

// Targets.
constexpr double kCpuPerLineTarget = 0.9;  // at most this times logger's
constexpr double kRateTarget = 1.1;        // at least this times logger's
constexpr long kPrivateDirtyTargetKib = 128;
constexpr double kLatencyTarget = 0.020;   // s, beyond the logger's share and the pause
constexpr double kStopBoundSeconds = kStopDrainSeconds + 1;  // the daemon's wait for its last lines, and 1 s
constexpr double kRelaunchShare = 0.8;     // of the starts the pace before a stall promises

struct Options {
    double lines = 1000000, width = 80, idle_seconds = 60, rounds = 5, stops = 8, stall_seconds = 30;
};

// What the phases leave for the end of the run: the targets they judged, in
// order, why a phase's run is broken, and the memory they read.
struct Results {
    std::vector<std::pair<bool, std::string>> targets;
    bool floods_broken = false;
    std::vector<std::string> problems;  // "Phase: BROKEN: why"
    Memory idle_memory, bare_memory;
    std::vector<Memory> flood_memory;   // the daemon's, after each flood

    template <typename... Values>
    void judge(bool met, const char* format, Values... values) {
        char text[160];
        std::snprintf(text, sizeof text, format, values...);
        targets.emplace_back(met, text);
    }
    void broken(const char* phase, const std::string& problem) {
        if (!problem.empty()) {
            problems.push_back(phase + std::string(": BROKEN: ") + problem);
        }
    }
};

// 1234567.8 -> "1,234,568"
std::string grouped(double value) {
    const std::string digits = std::to_string(static_cast<long long>(value + 0.5));
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        text += (at > 0 && (digits.size() - at) % 3 == 0 ? "," : "") + digits.substr(at, 1);
    }
    return text;
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread spread_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        return {};
    }
    return {(values[(values.size() - 1) / 2] + values[values.size() / 2]) / 2, values.front(), values.back()};
}

// The longest of some latencies, in s; no sample at all misses its target.
double longest(const std::vector<double>& values) {
    return values.empty() ? 1e9 : spread_of(values).high;
}

double cpu_seconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string first_line(const std::string& path) {
    const std::string text = sandbox::read_file(path);
    return text.substr(0, text.find('\n'));
}

// "12.3 ms", or, for a negative time, what the stop met when no client ran.
std::string term_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
    return seconds >= 0 ? text : "no client was running";
}

Clock::duration span(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The load of other processes over a stretch of time, in CPUs: the busy time
// of the whole machine (/proc/stat, sampled by the tick) less this program's
// and that of the processes it measures.
class ForeignLoad {
public:
    double cpus(double measured_seconds) const {
        return std::max(0.0, (busy() - busy_ - (own() - own_) - measured_seconds) / to_seconds(Clock::now() - start_));
    }

private:
    static double busy() {
        unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
        std::sscanf(sandbox::read_file("/proc/stat").c_str(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user,
                    &nice, &system, &idle, &iowait, &irq, &softirq, &steal);
        return static_cast<double>(user + nice + system + irq + softirq + steal) /
               static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    static double own() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return cpu_seconds(usage);
    }
    double busy_ = busy(), own_ = own();
    Clock::time_point start_ = Clock::now();
};

// The lines every sender sends: "L<number> xxx...", WIDTH bytes with the
// newline, in a file the daemon's client can read.
class LinesFile {
public:
    explicit LinesFile(const Options& options) {
        char pattern[] = "/tmp/quorvix-bench-lines-XXXXXX";
        const int out = mkostemp(pattern, O_CLOEXEC);
        std::FILE* file = out >= 0 ? fdopen(out, "w") : nullptr;
        if (file == nullptr) {
            throw std::runtime_error(std::string("a file for the lines: ") + std::strerror(errno));
        }
        path = pattern;
        fchmod(out, 0644);
        const std::string filler(static_cast<std::size_t>(options.width) - 10, 'x');
        for (long number = 1; number <= options.lines; ++number) {
            std::fprintf(file, "L%07ld %s\n", number, filler.c_str());
        }
        if (std::fclose(file) != 0) {
            throw std::runtime_error("writing " + path + ": " + std::strerror(errno));
        }
    }
    ~LinesFile() { unlink(path.c_str()); }
    LinesFile(const LinesFile&) = delete;
    LinesFile& operator=(const LinesFile&) = delete;
    std::string path;
};

// ---------------------------------------------------------- throughput ---

enum Sender { kDaemon, kLogger, kLoop, kSenders };
constexpr const char* kSenderNames[kSenders] = {"quorVixd", "cat|logger", "syslog loop"};

// The relay sends its last, partial batch once it has waited a second for
// more: rates are taken over all lines but that batch's worth.
long timed_lines(const Options& options) {
    return std::max(1L, static_cast<long>(options.lines) - (static_cast<long>(kBatchCapacity) / static_cast<long>(options.width) + 1));
}

struct Run {
    double seconds = 0;     // from the start until the timed lines had come
    double last = 0;        // from the start to the last line
    long timed = 0, expected = 1, lost = 0, out_of_order = 0, damaged = 0;  // damaged: or repeated
    double sender_cpu = 0;  // the daemon (both threads), logger, or the loop
    double cat_cpu = 0;     // cat; for the daemon, its whole client (the shell and cat)
    double reader_cpu = 0, foreign = 0;
    std::string problem;    // why the run is broken; empty when it is not

    double rate() const { return seconds > 0 && lost == 0 ? static_cast<double>(timed) / seconds : 0; }
    double per_line(double cpu) const { return cpu * 1e6 / static_cast<double>(expected); }
    double cpu_per_line() const { return per_line(sender_cpu + cat_cpu); }
    bool heavy() const { return foreign >= kHeavyForeignCpus; }
};

// The lines of one flood as they arrive, counted into `run`: all of 1..N,
// once each, in order, intact. Fed by the reader thread; read once it has
// stopped.
struct SequenceCheck {
    SequenceCheck(const Options& options, Run& run)
        : run(run), width(static_cast<long>(options.width)), seen(static_cast<std::size_t>(options.lines) + 1) {
        run.expected = static_cast<long>(options.lines);
        run.timed = timed_lines(options);
    }

    void take(const std::optional<sandbox::FrameView>& frame, Clock::time_point at) {
        received = received + 1;
        last = at;
        const std::string_view text = frame ? frame->text : "?";
        long number = 0;
        const auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size(), number);
        const bool intact = frame && frame->priority == (LOG_DAEMON | LOG_NOTICE) && frame->ident == "quorVix" &&
                            static_cast<long>(text.size()) == width - 1 && error == std::errc() && *end == ' ' &&
                            number >= 1 && number <= run.expected &&
                            text.find_first_not_of('x', static_cast<std::size_t>(end - text.data()) + 1) ==
                                std::string_view::npos;
        if (!intact || seen[static_cast<std::size_t>(number)]++ != 0) {
            ++run.damaged;
        } else {
            run.out_of_order += number < highest;
            highest = std::max(highest, number);
            if (++distinct == run.timed) {
                timed_arrival = at;
            }
        }
    }

    Run& run;
    long width;
    std::vector<unsigned char> seen;
    std::atomic<long> received{0};
    long distinct = 0, highest = 0;
    Clock::time_point last{}, timed_arrival{};
};

// One flood into a fresh sandbox: the daemon relaying its client's `cat
// FILE` (the client then waits to be stopped, so that it is not started
// again; the clock starts at "starting vpnc"), or `cat FILE | SENDER`, both
// in the sandbox, whose /dev/log is its socket.
Run flood(Sender sender, const Options& options, const LinesFile& lines, Results& results) {
    sandbox::Sandbox box;
    Run run;
    SequenceCheck check(options, run);
    std::atomic<Clock::rep> started{Clock::now().time_since_epoch().count()};
    LogReader reader(box.log_socket(), [&](const std::optional<sandbox::FrameView>& frame, Clock::time_point at) {
        if (sender != kDaemon || (frame && frame->text.starts_with('L'))) {
            check.take(frame, at);
        } else if (frame && frame->text == "starting vpnc" && check.received == 0) {
            started = at.time_since_epoch().count();
        }
    });
    const ForeignLoad load;
    sandbox::Daemon sending;
    pid_t cat = -1;
    int ends[2] = {-1, -1};
    if (sender == kDaemon) {
        box.set_client("cat '" + lines.path + "'\nexec sleep infinity");
        sending = box.start();
    } else if (pipe2(ends, O_CLOEXEC) == 0) {
        const std::vector<std::string> logger = {"/usr/bin/logger", "-d", "-u",      "/dev/log",     "-t",
                                                 "quorVix",         "-i", "-p",      "daemon.notice"};
        cat = box.start({.program = {"/bin/cat", lines.path}, .stdout_fd = ends[1]}).pid;
        sending = box.start({.program = sender == kLoop ? std::vector<std::string>{QUORVIX_SYSLOG_LOOP_PATH} : logger,
                             .stdin_fd = ends[0]});
        close(ends[0]);
        close(ends[1]);
    } else {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    // Every line, or none for 15 s, or none for 1 s once the sender has ended.
    long before = -1;
    Clock::time_point progress{};
    const auto all_came = [&] {
        if (check.received != before) {
            before = check.received;
            progress = Clock::now();
        }
        const auto quiet = Clock::now() - progress;
        return before >= run.expected || quiet > 15s || (quiet > 1s && has_ended(sending.pid));
    };
    wait_until(all_came, std::chrono::hours(1));
    double daemon_cpu = 0;  // both threads
    for (const auto& [tid, counters] : thread_counters(sending.pid)) {
        daemon_cpu += static_cast<double>(counters.cpu_ns) / 1e9;
    }
    if (sender == kDaemon) {
        results.flood_memory.push_back(memory_of(sending.pid));
    }
    const bool ended_early = sender == kDaemon && has_ended(sending.pid);
    rusage usage{}, cat_usage{};  // for the daemon, its clients' too
    const std::optional<int> status =
        sender == kDaemon ? terminate(sending.pid, 10s, &usage) : await_exit(sending.pid, 10s, &usage);
    const std::optional<int> cat_status = cat < 0 ? 0 : await_exit(cat, 10s, &cat_usage);
    run.sender_cpu = sender == kDaemon ? daemon_cpu : cpu_seconds(usage);
    run.cat_cpu = sender == kDaemon ? std::max(0.0, cpu_seconds(usage) - daemon_cpu) : cpu_seconds(cat_usage);
    run.foreign = load.cpus(run.sender_cpu + run.cat_cpu);
    reader.stop();
    const Clock::time_point start{Clock::duration(started.load())};
    run.seconds = check.timed_arrival == Clock::time_point{} ? 0 : to_seconds(check.timed_arrival - start);
    run.last = check.received > 0 ? to_seconds(check.last - start) : 0;
    run.lost = run.expected - check.distinct;
    run.reader_cpu = reader.cpu_seconds();
    if (run.lost + run.out_of_order + run.damaged > 0) {
        run.problem = "lines lost, repeated, reordered or damaged; ";
    }
    if (ended_early || !exited_zero(status) || !exited_zero(cat_status)) {
        run.problem += std::string(kSenderNames[sender]) + (ended_early ? " ended early: " : ": ") + describe(status) +
                       " " + first_line(sending.stderr_path) + (cat < 0 ? "" : "; cat: " + describe(cat_status));
    }
    return run;
}

// The medians of each sender's rounds, the ratios, and the targets on them.
void summarize(const std::vector<Run> (&runs)[kSenders], const std::vector<bool>& quiet, Results& results) {
    std::printf("\n  Medians of %zu round(s) [min-max]; %ld round(s) with heavy foreign load\n"
                "  %-11s %28s %26s %22s\n",
                quiet.size(), std::count(quiet.begin(), quiet.end(), false), "sender", "lines/s", "CPU us per line",
                "of it the sender");
    Spread rate[kSenders], cpu[kSenders];
    for (int sender = 0; sender < kSenders; ++sender) {
        std::vector<double> rates, cpus, own;
        for (const Run& run : runs[sender]) {
            rates.push_back(run.rate());
            cpus.push_back(run.cpu_per_line());
            own.push_back(run.per_line(run.sender_cpu));
        }
        const Spread r = rate[sender] = spread_of(rates), c = cpu[sender] = spread_of(cpus), o = spread_of(own);
        std::printf("  %-11s %9s [%7s-%7s] %9.3f [%6.3f-%6.3f] %7.3f [%5.3f-%5.3f]\n", kSenderNames[sender],
                    grouped(r.median).c_str(), grouped(r.low).c_str(), grouped(r.high).c_str(), c.median, c.low,
                    c.high, o.median, o.low, o.high);
    }
    std::printf("\n  Ratios: of the medians [min-max of the rounds' own ratios]\n");
    for (const Sender other : {kLogger, kLoop}) {
        std::vector<double> rates, cpus, quiet_rates, quiet_cpus;
        for (std::size_t round = 0; round < quiet.size(); ++round) {
            const Run& ours = runs[kDaemon][round];
            const Run& theirs = runs[other][round];
            rates.push_back(theirs.rate() > 0 ? ours.rate() / theirs.rate() : 0);
            cpus.push_back(ours.cpu_per_line() / theirs.cpu_per_line());
            if (quiet[round]) {
                quiet_rates.push_back(rates.back());
                quiet_cpus.push_back(cpus.back());
            }
        }
        const Spread r = spread_of(rates), c = spread_of(cpus);
        std::printf("  quorVixd / %-11s  lines/s %.2f [%.2f-%.2f]   CPU per line %.2f [%.2f-%.2f]\n",
                    kSenderNames[other], rate[kDaemon].median / std::max(1.0, rate[other].median), r.low, r.high,
                    cpu[kDaemon].median / cpu[other].median, c.low, c.high);
        if (!quiet_rates.empty() && quiet_rates.size() < rates.size()) {
            std::printf("  quorVixd / %-11s  in the %zu round(s) without heavy load, medians of the rounds' ratios: "
                        "lines/s %.2f, CPU per line %.2f\n",
                        kSenderNames[other], quiet_rates.size(), spread_of(quiet_rates).median,
                        spread_of(quiet_cpus).median);
        }
    }
    const double cpu_ratio = cpu[kDaemon].median / cpu[kLogger].median;
    const double rate_ratio = rate[kDaemon].median / rate[kLogger].median;
    results.judge(cpu_ratio <= kCpuPerLineTarget,
                  "CPU per line at most %.1f x logger's: %.2f x (%.3f us against %.3f us)", kCpuPerLineTarget,
                  cpu_ratio, cpu[kDaemon].median, cpu[kLogger].median);
    results.judge(rate_ratio >= kRateTarget, "lines/s at least %.1f x logger's: %.2f x (%s against %s)", kRateTarget,
                  rate_ratio, grouped(rate[kDaemon].median).c_str(), grouped(rate[kLogger].median).c_str());
}

void throughput(const Options& options, const LinesFile& lines, Results& results) {
    const long untimed = static_cast<long>(options.lines) - timed_lines(options);
    std::printf("\nRelay throughput: the same %s lines of %.0f bytes for every sender, %.0f round(s), senders in turn\n"
                "  seconds: from the start (\"starting vpnc\" for the daemon) until all lines but the last %ld had "
                "come (a last,\n  partial batch waits a second for more); lines/s over those seconds; CPU us/l: of "
                "every sending process\n  (sender + cat; for the daemon: both threads + the shell and cat of its "
                "client); reader: its CPU share;\n  foreign: CPUs kept busy by other processes, HEAVY LOAD from "
                "%.2f\n  %5s %-11s %7s %7s %9s %8s %8s %8s %6s %6s %5s %7s %8s\n",
                grouped(options.lines).c_str(), options.width, options.rounds, untimed, kHeavyForeignCpus, "round",
                "sender", "seconds", "last at", "lines/s", "CPU us/l", "sender", "cat", "lost", "reord", "dups",
                "reader", "foreign");
    std::vector<Run> runs[kSenders];
    std::vector<bool> quiet(static_cast<std::size_t>(options.rounds), true);
    long lost = 0;
    for (std::size_t round = 0; round < quiet.size(); ++round) {
        for (std::size_t turn = 0; turn < kSenders; ++turn) {
            const auto sender = static_cast<Sender>((round + turn) % kSenders);
            const Run run = flood(sender, options, lines, results);
            std::printf("  %5zu %-11s %7.3f %7.3f %9s %8.3f %8.3f %8.3f %6ld %6ld %5ld %6.0f%% %8.2f%s%s%s\n",
                        round + 1, kSenderNames[sender], run.seconds, run.last, grouped(run.rate()).c_str(),
                        run.cpu_per_line(), run.per_line(run.sender_cpu), run.per_line(run.cat_cpu), run.lost,
                        run.out_of_order, run.damaged, run.seconds > 0 ? 100 * run.reader_cpu / run.seconds : 0.0,
                        run.foreign, run.heavy() ? "  HEAVY LOAD" : "", run.problem.empty() ? "" : "  BROKEN: ",
                        run.problem.c_str());
            results.floods_broken = results.floods_broken || !run.problem.empty();
            lost += sender == kDaemon ? run.lost : 0;
            quiet[round] = quiet[round] && !run.heavy();
            runs[sender].push_back(run);
        }
    }
    summarize(runs, quiet, results);
    results.judge(lost == 0, "lines lost by the daemon in the floods: 0: %ld", lost);
}

// ------------------------------------------------------ idle and memory ---

// Prints a row for each thread of `pid` over the window; returns their counts.
std::vector<ThreadCounters> print_threads(const char* program, const char* second, pid_t pid,
                                          const std::map<pid_t, ThreadCounters>& before, double window) {
    std::vector<ThreadCounters> counts;
    for (const auto& [tid, end] : thread_counters(pid)) {
        const auto start = before.find(tid);
        if (start == before.end()) {
            continue;
        }
        const ThreadCounters& was = start->second;
        const ThreadCounters used{end.cpu_ns - was.cpu_ns, end.wait_ns - was.wait_ns, end.voluntary - was.voluntary,
                                  end.involuntary - was.involuntary};
        const double cpu_ms = static_cast<double>(used.cpu_ns) / 1e6;
        std::printf("  %-8s %-6s %7d %9.3f %9.3f %9lu %10.1f %9.0f %10lu %10.3f\n", program,
                    tid == pid ? "main" : second, tid, cpu_ms, cpu_ms * 60 / window, used.voluntary,
                    static_cast<double>(used.voluntary) * 60 / window,
                    used.voluntary > 0 ? cpu_ms * 1000 / static_cast<double>(used.voluntary) : 0.0, used.involuntary,
                    static_cast<double>(used.wait_ns) / 1e6);
        counts.push_back(used);
    }
    return counts;
}

// The daemon with a client that prints nothing, and the bare program beside
// it, over the idle window: their threads' counts, and their memory.
std::string idle_and_memory(const Options& options, Results& results) {
    sandbox::Sandbox box;
    box.set_client_ops({"stamp", "/run/events", "start", "hold"});
    std::atomic<long> frames{0};
    LogReader reader(box.log_socket(), [&](const std::optional<sandbox::FrameView>&, Clock::time_point) { ++frames; });
    const sandbox::Daemon daemon = box.start();
    if (!wait_until([&] { return !box.read_run_file("events").empty(); }, 10s)) {
        return "the daemon's client did not start within 10 s " + first_line(daemon.stderr_path);
    }
    const sandbox::Daemon bare = box.start({.program = {QUORVIX_BARE_PATH}});
    pause_until(Clock::now() + 1500ms);  // both settle into their waits
    const long frames_before = frames;
    const auto daemon_before = thread_counters(daemon.pid), bare_before = thread_counters(bare.pid);
    const ForeignLoad load;
    const Clock::time_point start = Clock::now();
    pause_until(start + span(options.idle_seconds));
    const double window = to_seconds(Clock::now() - start);
    std::printf("\nIdle cost over %.1f s with a quiet client (wake-ups: voluntary context switches, the times a "
                "thread went to sleep\n  and was woken; bare: a program like the daemon whose two threads block "
                "without a timeout)\n  %-8s %-14s %9s %9s %9s %10s %9s %10s %10s\n",
                window, "program", "thread", "CPU ms", "ms/min", "wake-ups", "a minute", "us/wake", "preempted",
                "waited ms");
    const auto ours = print_threads("quorVixd", "relay", daemon.pid, daemon_before, window);
    const auto bares = print_threads("bare", "second", bare.pid, bare_before, window);
    results.idle_memory = memory_of(daemon.pid);
    results.bare_memory = memory_of(bare.pid);
    const auto cpu_ms_a_minute = [&](const std::vector<ThreadCounters>& threads) {
        const auto add = [](double sum, const ThreadCounters& used) { return sum + static_cast<double>(used.cpu_ns); };
        return std::accumulate(threads.begin(), threads.end(), 0.0, add) / 1e6 * 60 / window;
    };
    const double daemon_ms = cpu_ms_a_minute(ours), bare_ms = cpu_ms_a_minute(bares);
    std::printf("  CPU a minute: quorVixd %.3f ms, bare %.3f ms;  frames logged meanwhile: %ld;  foreign load %.2f "
                "CPUs\n",
                daemon_ms, bare_ms, frames - frames_before, load.cpus((daemon_ms + bare_ms) * window / 60e3));
    kill(bare.pid, SIGKILL);
    const std::optional<int> bare_status = await_exit(bare.pid, 5s);
    const std::optional<int> status = terminate(daemon.pid, 10s);
    if (!exited_zero(status)) {
        return "the daemon, stopped with SIGTERM: " + describe(status);
    }
    if (ours.size() != 2 || bares.size() != 2 || !bare_status || !WIFSIGNALED(*bare_status)) {
        return "the daemon and the bare program did not run with two threads each";
    }
    if (results.idle_memory.private_dirty < 0 || results.bare_memory.private_dirty < 0) {
        return "could not read smaps_rollup";
    }
    const long private_dirty = results.idle_memory.private_dirty;
    results.judge(private_dirty <= kPrivateDirtyTargetKib, "Private_Dirty, idle, at most %ld KiB: %ld KiB",
                  kPrivateDirtyTargetKib, private_dirty);
    const double main_wakes = static_cast<double>(ours[0].voluntary) * 60 / window;
    const double relay_wakes = static_cast<double>(ours[1].voluntary) * 60 / window;
    results.judge(main_wakes == 0 && relay_wakes == 0,
                  "idle wake-ups a minute, 0 on each thread: main %.1f, relay %.1f", main_wakes, relay_wakes);
    return "";
}

void print_memory(const Results& results) {
    std::printf("\nMemory (KiB, /proc/PID/smaps_rollup)\n  %-30s %14s %8s %8s\n", "process", "Private_Dirty", "Pss",
                "Rss");
    const auto row = [](const char* what, const Memory& memory) {
        std::printf("  %-30s %14ld %8ld %8ld\n", what, memory.private_dirty, memory.pss, memory.rss);
    };
    row("quorVixd, idle", results.idle_memory);
    for (const Memory& memory : results.flood_memory) {
        row("quorVixd, after a flood", memory);
    }
    row("bare two-thread program, idle", results.bare_memory);
    const auto ratio = [](long ours, long theirs) { return static_cast<double>(ours) / static_cast<double>(theirs); };
    std::printf("  quorVixd idle / bare: Private_Dirty %.2f, Pss %.2f\n",
                ratio(results.idle_memory.private_dirty, results.bare_memory.private_dirty),
                ratio(results.idle_memory.pss, results.bare_memory.pss));
}

// --------------------------------------------------------- supervision ---

// The times the stand-in clients stamped one word in the sandbox's
// /run/events: "start", "end" (just before one exits of itself) or "term"
// (in its SIGTERM handler).
std::vector<Clock::time_point> stamps(const sandbox::Sandbox& box, const std::string& word) {
    std::vector<Clock::time_point> times;
    std::istringstream events(box.read_run_file("events"));
    std::string seen;
    for (long long nanos = 0; events >> seen >> nanos;) {
        if (seen == word) {
            times.emplace_back(std::chrono::nanoseconds(nanos));
        }
    }
    return times;
}

// Daemon after daemon, two clients end of themselves after 0.2 to 0.7 s; then
// the stop comes at a random moment of the pause after the second, or of the
// third client's run.
std::string supervision(const Options& options, Results& results) {
    sandbox::Sandbox box;
    box.set_client_ops({"stamp-term", "/run/events", "stamp", "/run/events", "start", "nap", "200", "700", "stamp",
                        "/run/events", "end", "exit", "3"});
    std::mutex mutex;
    std::vector<Clock::time_point> starts, messages;  // the frames' arrivals, for the current daemon
    LogReader reader(box.log_socket(), [&](const std::optional<sandbox::FrameView>& frame, Clock::time_point at) {
        const std::lock_guard lock(mutex);
        if (frame && (frame->text == "starting vpnc" || frame->text == "terminated with exit code 3")) {
            (frame->text == "starting vpnc" ? starts : messages).push_back(at);
        }
    });
    std::vector<double> to_message, to_start, stop_running, stop_pause;  // seconds
    std::string problem;
    std::minstd_rand random(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    for (int sample = 0; sample < options.stops && problem.empty(); ++sample) {
        unlink((box.run_dir() + "/events").c_str());
        const sandbox::Daemon daemon = box.start();
        const bool in_pause = sample % 2 == 0;
        const char* const moment = in_pause ? "end" : "start";
        if (!wait_until([&] { return stamps(box, moment).size() >= (in_pause ? 2u : 3u); }, 20s)) {
            problem = "the clients did not start and end as expected " + first_line(daemon.stderr_path);
            break;
        }
        pause_until(stamps(box, moment).back() + milliseconds(random() % (in_pause ? 900 : 150)));
        const Clock::time_point sent = Clock::now();
        const std::optional<int> status = terminate(daemon.pid, 25s);
        const Clock::time_point exited = Clock::now();
        if (!exited_zero(status)) {
            problem = "the daemon, stopped with SIGTERM: " + describe(status);
        }
        reader.sync();
        const std::lock_guard lock(mutex);
        const std::vector<Clock::time_point> ends = stamps(box, "end"), terms = stamps(box, "term");
        for (std::size_t end = 0; end < ends.size(); ++end) {
            if (end < messages.size()) {
                to_message.push_back(to_seconds(messages[end] - ends[end]));
            }
            if (end + 1 < starts.size()) {
                to_start.push_back(to_seconds(starts[end + 1] - ends[end]));
            }
        }
        const Clock::time_point acted = terms.empty() ? exited : terms.front();  // the daemon's exit, or SIGTERM's
        (terms.empty() ? stop_pause : stop_running).push_back(to_seconds(acted - sent));
        starts.clear();
        messages.clear();
    }
    std::printf("\nSupervision: %.0f daemons in turn, each with clients that end after 0.2-0.7 s, then a stop at a "
                "random moment\n  (from the clients' own CLOCK_MONOTONIC stamps to the frames' arrival at the reader, "
                "in ms)\n  %-58s %3s %10s %10s %10s\n",
                options.stops, "from", "n", "min", "median", "max");
    const std::pair<const char*, const std::vector<double>*> rows[] = {
        {"a client's end to its end message", &to_message}, {"a client's end to the next \"starting vpnc\"", &to_start},
        {"a stop while a client runs to the client's SIGTERM", &stop_running},
        {"a stop in the pause between clients to the daemon's exit", &stop_pause}};
    for (const auto& [what, values] : rows) {
        const Spread spread = spread_of(*values);
        std::printf("  %-58s %3zu %10.1f %10.1f %10.1f\n", what, values->size(), spread.low * 1e3, spread.median * 1e3,
                    spread.high * 1e3);
    }
    const double bound_ms = kLatencyTarget * 1e3, restart_ms = (kPauseSeconds + kLatencyTarget) * 1e3;
    results.judge(longest(to_message) < kLatencyTarget, "a client's end to its end message under %.0f ms: %.1f ms",
                  bound_ms, longest(to_message) * 1e3);
    results.judge(longest(to_start) <= kPauseSeconds + kLatencyTarget,
                  "a client's end to the next start at most %.0f ms: %.1f ms", restart_ms, longest(to_start) * 1e3);
    results.judge(longest(stop_running) < kLatencyTarget, "a stop to the client's SIGTERM under %.0f ms: %.1f ms",
                  bound_ms, longest(stop_running) * 1e3);
    results.judge(longest(stop_pause) < kLatencyTarget,
                  "a stop in the pause to the daemon's exit under %.0f ms: %.1f ms", bound_ms,
                  longest(stop_pause) * 1e3);
    return problem;
}

// ------------------------------------------------------ stalled logger ---

// Clients write a few numbered lines and end after 0.4 to 0.6 s; the log's
// reader stops reading; the stop comes while the stall has kStopLeftOfStall
// to go, so that the daemon's 20 s wait for its last lines outlasts it.
std::string stalled_logger(const Options& options, Results& results) {
    sandbox::Sandbox box;
    box.set_client_ops({"stamp-term", "/run/events", "stamp", "/run/events", "start", "soak-lines", "/run/lines", "4",
                        "nap", "400", "600", "stamp", "/run/events", "end"});
    RunCheck check;
    LogReader reader(box.log_socket(),
                     [&](const std::optional<sandbox::FrameView>& frame, Clock::time_point) { check.take(frame); });
    const sandbox::Daemon daemon = box.start();
    check.set_daemon(daemon.pid);
    std::printf("\nStalled logger: the log's reader stops for %.0f s (net.unix.max_dgram_qlen %s); a stop %.0f s "
                "before the stall ends\n",
                options.stall_seconds, first_line("/proc/sys/net/unix/max_dgram_qlen").c_str(),
                to_seconds(kStopLeftOfStall));
    if (!wait_until([&] { return stamps(box, "start").size() >= 4; }, 20s)) {
        return "the clients did not start 4 times within 20 s " + first_line(daemon.stderr_path);
    }
    const std::vector<Clock::time_point> before = stamps(box, "start");
    const double pace = to_seconds(before.back() - before.front()) / static_cast<double>(before.size() - 1);
    reader.hold(true);
    const Clock::time_point held = Clock::now(), resumed = held + span(options.stall_seconds);
    pause_until(resumed - kStopLeftOfStall);
    const auto in_a_run = [&] {
        const std::vector<Clock::time_point> starts = stamps(box, "start");
        return starts.size() > stamps(box, "end").size() && Clock::now() - starts.back() > 50ms;
    };
    wait_until(in_a_run, 3s);  // into a client's run, if one runs
    check.set_stopping();
    const Clock::time_point sent = Clock::now();
    std::optional<int> status = terminate(daemon.pid, resumed - Clock::now());
    reader.hold(false);
    if (!status) {
        status = await_exit(daemon.pid, sent + 40s - Clock::now());
    }
    const double to_exit = to_seconds(Clock::now() - sent);
    if (!status) {
        kill(daemon.pid, SIGKILL);
        await_exit(daemon.pid, 5s);
    }
    reader.sync();
    const std::vector<Clock::time_point> starts = stamps(box, "start"), terms = stamps(box, "term");
    const long stalled_starts = std::count_if(starts.begin(), starts.end(), [&](Clock::time_point start) {
        return start >= held && start < sent;
    });
    const double to_term = terms.empty() ? -1 : to_seconds(terms[0] - sent);
    const double expected = to_seconds(sent - held) / pace;
    std::printf("  client starts in the %.1f s from the stall to the stop: %ld (at the pace before, one each %.2f s: "
                "%.1f)\n  the stop to the client's SIGTERM: %s\n  the stop to the daemon's exit: %.2f s, %s\n",
                to_seconds(sent - held), stalled_starts, pace, expected, term_text(to_term).c_str(), to_exit,
                describe(status).c_str());
    long next = 0;
    std::istringstream(box.read_run_file("lines")) >> next;  // the next line's number
    const bool lines_ok = check.report(next - 1);
    results.judge(static_cast<double>(stalled_starts) >= kRelaunchShare * expected,
                  "stalled logger: client starts at least %.0f%% of the pace before: %ld of %.1f",
                  kRelaunchShare * 100, stalled_starts, expected);
    results.judge(to_term >= 0 && to_term < kLatencyTarget,
                  "stalled logger: the stop to the client's SIGTERM under %.0f ms: %s", kLatencyTarget * 1e3,
                  term_text(to_term).c_str());
    results.judge(exited_zero(status) && to_exit <= kStopBoundSeconds,
                  "stalled logger: the stop to exit status 0 within %.0f s: %.2f s, %s", kStopBoundSeconds, to_exit,
                  describe(status).c_str());
    results.judge(lines_ok, "%s", "stalled logger: every line logged once, in order, within its client's run");
    return "";
}

// ------------------------------------------------------------------ run ---

int bench(const Options& options) {
    utsname system{};
    uname(&system);
    std::printf("quorVixd bench: %s lines of %.0f bytes, %.0f round(s), idle window %g s, %.0f stops, a %g s stall; "
                "%u CPUs, Linux %s, glibc %s; %s\n",
                grouped(options.lines).c_str(), options.width, options.rounds, options.idle_seconds, options.stops,
                options.stall_seconds, std::thread::hardware_concurrency(), system.release, gnu_get_libc_version(),
                geteuid() == 0 ? "as root" : "not root: in a user namespace");
    Results results;
    const LinesFile lines(options);
    throughput(options, lines, results);
    const std::string idle_problem = idle_and_memory(options, results);
    results.broken("Idle cost and memory", idle_problem);
    results.broken("Supervision", supervision(options, results));
    results.broken("Stalled logger", stalled_logger(options, results));
    if (idle_problem.empty()) {
        print_memory(results);
    }
    for (const std::string& problem : results.problems) {
        std::printf("\n%s\n", problem.c_str());
    }
    if (results.floods_broken || !results.problems.empty()) {
        std::printf("\nbench: BROKEN RUN (see above); no target judged\n");
        return 1;
    }
    std::printf("\nTargets (medians of %.0f rounds; latencies: the longest)\n", options.rounds);
    for (const auto& [met, text] : results.targets) {
        std::printf("  %s   %s\n", text.c_str(), met ? "met" : "missed");
    }
    std::printf("\nbench: complete\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::pair<const char*, double*> names[] = {
        {"--lines", &options.lines},   {"--width", &options.width}, {"--idle-seconds", &options.idle_seconds},
        {"--rounds", &options.rounds}, {"--stops", &options.stops}, {"--stall-seconds", &options.stall_seconds}};
    bool known = argc % 2 == 1;
    for (int i = 1; known && i < argc; i += 2) {
        const auto* name = std::find_if(std::begin(names), std::end(names),
                                        [&](const auto& option) { return std::strcmp(option.first, argv[i]) == 0; });
        known = name != std::end(names) && std::from_chars(argv[i + 1], argv[i + 1] + std::strlen(argv[i + 1]),
                                                           *name->second).ec == std::errc();
    }
    if (!known || options.lines < 1 || options.lines > 9999999 || options.width < 12 || options.width > 4096 ||
        options.idle_seconds <= 0 || options.rounds < 1 || options.stops < 2 || options.stall_seconds < 15) {
        std::fprintf(stderr, "usage: bench [--lines N] [--width BYTES] [--idle-seconds S] [--rounds R] [--stops N] "
                             "[--stall-seconds S]\n  1 <= lines <= 9999999, 12 <= width <= 4096, idle seconds > 0, "
                             "rounds >= 1, stops >= 2, stall seconds >= 15\n");
        return 2;
    }
    return run_guarded("bench", [&] { return bench(options); });
}
