// Runs the real daemon in the sandbox for a while with a client that ends as
// soon as it has written a burst, so that it is restarted as fast as the
// daemon allows, and checks what the daemon promises over many restarts:
// every line each client wrote is in the log exactly once, whole, in order,
// between that client's "starting vpnc" and the news of its end; and the
// daemon itself stays put: descriptors, children, memory, and a clean stop.
//
// Usage: soak [SECONDS]   (default 600). Exits non-zero on any failure.
//
// The client is the stand-in's `soak-run` (see stand_in_client.cpp): lines
// "S<seq> R<run> N<length> <letters>", numbered across runs through a state
// file under the sandbox's /run, some on stderr, some longer than the relay's
// 8191-byte batch (they arrive in pieces), the last one of every odd run
// without its newline.

#include "log_reader.h"
#include "proc_stats.h"
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tools::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kNotice = (3 << 3) | 5;         // LOG_DAEMON | LOG_NOTICE
constexpr std::size_t kHeaderBytes = 27;      // "S%09ld R%06ld N%06zu "
constexpr std::size_t kPieceLimit = 8191;     // the relay's batch: the longest piece
constexpr long kRssDriftLimitKib = 64;
constexpr int kWarmUpRuns = 3;                // client runs before the first samples
constexpr auto kZombieGrace = seconds(3);     // the daemon polls its client once a second
constexpr std::size_t kShownProblems = 8;     // problems printed in full

// Follows the log as it arrives: rebuilds the client's lines from their
// pieces and checks each against the run it belongs to.
class LogCheck {
public:
    void take(const tools::FrameView& frame) {
        std::lock_guard lock(mutex_);
        const std::string_view text = frame.text;
        if (!frame.parsed || frame.truncated || frame.priority != kNotice || frame.ident != "quorVix" ||
            (daemon_pid_ != 0 && frame.pid != daemon_pid_)) {
            problem("unexpected frame", text);
            return;
        }
        if (text == "starting vpnc") {
            close_open_line("line cut short by the next client's start");
            ++starts_;
            in_client_ = true;
        } else if (text.starts_with("terminated with exit code ") || text.starts_with("terminated by signal ")) {
            close_open_line("line cut short by its client's end");
            if (!in_client_) {
                problem("end without a start", text);
            }
            in_client_ = false;
            ++ends_;
            if (text != "terminated with exit code 0" && !(stopping_ && text == "terminated by signal 15")) {
                problem("client ended unexpectedly", text);
            }
        } else if (text.starts_with("sending SIGTERM to vpnc(")) {
            if (!stopping_) {
                problem("unexpected frame", text);
            }
        } else if (text.size() > 1 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9') {
            close_open_line("line cut short by the next line");
            start_line(text);
        } else if (open_) {
            continue_line(text);
        } else {
            problem("unexpected frame", text);
        }
    }

    void set_daemon(pid_t pid) {
        std::lock_guard lock(mutex_);
        daemon_pid_ = pid;
    }
    void set_stopping() {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }

    struct Progress {
        long starts = 0;
        long ends = 0;
        long highest = 0;
        long lines = 0;
    };
    Progress progress() {
        std::lock_guard lock(mutex_);
        return {starts_, ends_, highest_, lines_};
    }

    struct Result {
        long written = 0;
        long logged = 0;
        long missing = 0;
        long duplicated = 0;
        long out_of_order = 0;
        long damaged = 0;
        long misplaced = 0;
        long long_lines = 0;
        long pieces = 0;
        std::size_t longest_piece = 0;
        long starts = 0;
        long ends = 0;
        long problems = 0;
        std::vector<std::string> shown;
    };
    Result result(long written) {
        std::lock_guard lock(mutex_);
        Result result;
        result.written = written;
        result.logged = lines_;
        for (long seq = 1; seq <= written; ++seq) {
            result.missing += !seen(seq);
        }
        for (std::size_t seq = static_cast<std::size_t>(written) + 1; seq < seen_.size(); ++seq) {
            if (seen_[seq]) {
                problem_locked("line beyond those written", std::to_string(seq));
            }
        }
        result.duplicated = duplicated_;
        result.out_of_order = out_of_order_;
        result.damaged = damaged_;
        result.misplaced = misplaced_;
        result.long_lines = long_lines_;
        result.pieces = pieces_;
        result.longest_piece = longest_piece_;
        result.starts = starts_;
        result.ends = ends_;
        result.problems = problems_;
        result.shown = shown_;
        return result;
    }

private:
    bool seen(long seq) const {
        return static_cast<std::size_t>(seq) < seen_.size() && seen_[static_cast<std::size_t>(seq)];
    }

    void problem(const char* what, std::string_view text) { problem_locked(what, text); }
    void problem_locked(const char* what, std::string_view text) {
        ++problems_;
        if (shown_.size() < kShownProblems) {
            shown_.push_back(std::string(what) + ": \"" + std::string(text.substr(0, 80)) +
                             (text.size() > 80 ? "...\"" : "\""));
        }
    }

    void note_piece(std::size_t length) {
        longest_piece_ = std::max(longest_piece_, length);
        if (length > kPieceLimit) {
            ++damaged_;
            problem("piece longer than the relay's batch", line_);
        }
    }

    void start_line(std::string_view text) {
        long seq = 0;
        long run = 0;
        std::size_t length = 0;
        if (text.size() < kHeaderBytes ||
            std::sscanf(std::string(text.substr(0, kHeaderBytes)).c_str(), "S%9ld R%6ld N%6zu ", &seq, &run,
                        &length) != 3 ||
            length < kHeaderBytes || text.size() > length) {
            ++damaged_;
            problem("damaged line", text);
            return;
        }
        open_ = true;
        seq_ = seq;
        run_ = run;
        length_ = length;
        pieces_in_line_ = 1;
        line_.assign(text);
        note_piece(text.size());
        if (line_.size() == length_) {
            finish_line();
        }
    }

    void continue_line(std::string_view text) {
        line_.append(text);
        ++pieces_in_line_;
        note_piece(text.size());
        if (line_.size() > length_) {
            open_ = false;
            ++damaged_;
            problem("line longer than it says", line_);
        } else if (line_.size() == length_) {
            finish_line();
        }
    }

    void close_open_line(const char* why) {
        if (open_) {
            open_ = false;
            ++damaged_;
            problem(why, line_);
        }
    }

    void finish_line() {
        open_ = false;
        for (std::size_t k = kHeaderBytes; k < line_.size(); ++k) {
            if (line_[k] != static_cast<char>('a' + (seq_ + static_cast<long>(k)) % 26)) {
                ++damaged_;
                problem("damaged line", line_);
                return;
            }
        }
        if (pieces_in_line_ > 1) {
            ++long_lines_;
            pieces_ += pieces_in_line_;
        }
        // Each client's lines belong between its start and the news of its
        // end; the client numbers its runs as the daemon starts them.
        if (!in_client_ || run_ != starts_) {
            ++misplaced_;
            problem("line outside its client's run", line_);
        }
        ++lines_;
        const auto index = static_cast<std::size_t>(seq_);
        if (index >= seen_.size()) {
            seen_.resize(std::max(index + 1, seen_.size() * 2), false);
        }
        if (seen_[index]) {
            ++duplicated_;
            problem("duplicated line", line_);
            return;
        }
        seen_[index] = true;
        if (seq_ < highest_) {
            ++out_of_order_;
            problem("line out of order", line_);
        }
        highest_ = std::max(highest_, seq_);
    }

    std::mutex mutex_;
    pid_t daemon_pid_ = 0;
    bool stopping_ = false;
    long starts_ = 0;
    long ends_ = 0;
    bool in_client_ = false;
    // The line being put together from its pieces.
    bool open_ = false;
    long seq_ = 0;
    long run_ = 0;
    std::size_t length_ = 0;
    long pieces_in_line_ = 0;
    std::string line_;
    // What has been seen.
    std::vector<bool> seen_;
    long highest_ = 0;
    long lines_ = 0;
    long duplicated_ = 0;
    long out_of_order_ = 0;
    long damaged_ = 0;
    long misplaced_ = 0;
    long long_lines_ = 0;
    long pieces_ = 0;
    std::size_t longest_piece_ = 0;
    long problems_ = 0;
    std::vector<std::string> shown_;
};

// Zombie children of the daemon, remembered from the moment they were first
// seen: one that stays longer than the daemon's poll is one it forgot.
class ZombieWatch {
public:
    void sample(pid_t daemon) {
        const Clock::time_point now = Clock::now();
        std::map<pid_t, Clock::time_point> still;
        for (const tools::Child& child : tools::children_of(daemon)) {
            if (child.state == 'Z') {
                auto found = first_seen_.find(child.pid);
                still[child.pid] = found != first_seen_.end() ? found->second : now;
            }
        }
        first_seen_ = std::move(still);
        most_ = std::max(most_, first_seen_.size());
        for (const auto& [pid, since] : first_seen_) {
            if (now - since > kZombieGrace) {
                forgotten_.insert(pid);
            }
        }
    }
    std::size_t most() const { return most_; }
    const std::set<pid_t>& forgotten() const { return forgotten_; }

private:
    std::map<pid_t, Clock::time_point> first_seen_;
    std::set<pid_t> forgotten_;
    std::size_t most_ = 0;
};

struct Sample {
    long rss_kib = -1;
    int descriptors = -1;
};

Sample sample(pid_t pid) {
    return {tools::status_kib(pid, "VmRSS"), tools::descriptor_count(pid)};
}

std::optional<int> await_exit(pid_t pid, milliseconds within) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return content;
}

// Waits for `done`, sampling the zombie watch meanwhile; false at the deadline.
template <typename Done>
bool wait_until(Done done, milliseconds within, ZombieWatch& zombies, pid_t daemon) {
    const auto deadline = Clock::now() + within;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        zombies.sample(daemon);
        std::this_thread::sleep_for(milliseconds(100));
    }
    return true;
}

int soak(double duration) {
    sandbox::Sandbox box;
    const std::string state = box.run_dir() + "/soak";
    box.set_client_ops({"soak-run", "/run/soak", "exit", "0"});
    LogCheck check;
    tools::LogReader reader(box.log_socket(), [&](const tools::FrameView& frame) { check.take(frame); });
    const Clock::time_point begin = Clock::now();
    const sandbox::Daemon daemon = box.start();
    check.set_daemon(daemon.pid);
    ZombieWatch zombies;
    bool ok = true;
    auto fail = [&](const std::string& what) {
        std::printf("  FAILED: %s\n", what.c_str());
        ok = false;
    };

    // Warm up before the first samples: the relay's buffers, the log's.
    std::optional<Sample> first;
    if (wait_until([&] { return check.progress().ends >= kWarmUpRuns; }, milliseconds(30000), zombies,
                   daemon.pid)) {
        first = sample(daemon.pid);
    } else {
        fail("the client did not run " + std::to_string(kWarmUpRuns) + " times within 30 s");
    }
    Clock::time_point next_report = begin + seconds(60);
    while (first && Clock::now() - begin < std::chrono::duration<double>(duration)) {
        zombies.sample(daemon.pid);
        if (waitpid(daemon.pid, nullptr, WNOHANG) == daemon.pid) {
            fail("the daemon ended on its own");
            break;
        }
        if (Clock::now() >= next_report) {
            const LogCheck::Progress now = check.progress();
            std::printf("  %4.0f s: %ld client runs, %ld lines logged\n",
                        std::chrono::duration<double>(Clock::now() - begin).count(), now.starts, now.lines);
            next_report += seconds(60);
        }
        std::this_thread::sleep_for(milliseconds(200));
    }
    const double soaked = std::chrono::duration<double>(Clock::now() - begin).count();

    // Wind down between two runs: from the stop file on, clients write
    // nothing, so once one of them has seen it every line is accounted for.
    std::ofstream(state + ".stop") << "stop\n";
    if (!wait_until([&] { return file_exists(state + ".held"); }, milliseconds(20000), zombies, daemon.pid)) {
        fail("no client saw the stop file within 20 s");
    }
    long written = 0;
    long runs = 0;
    std::ifstream(state) >> written >> runs;
    written -= 1;  // the file holds the next line's number
    if (!wait_until([&] {
            const LogCheck::Progress now = check.progress();
            return now.highest >= written && now.ends >= runs;
        },
                    milliseconds(20000), zombies, daemon.pid)) {
        fail("the last lines did not arrive within 20 s");
    }
    // Past the warm-up runs, a few seconds still pass for zombies to show.
    wait_until([] { return false; }, milliseconds(3500), zombies, daemon.pid);
    const Sample last = sample(daemon.pid);
    const std::size_t children = tools::children_of(daemon.pid).size();

    check.set_stopping();
    const Clock::time_point stop_sent = Clock::now();
    kill(daemon.pid, SIGTERM);
    const std::optional<int> status = await_exit(daemon.pid, milliseconds(10000));
    const double stop_seconds = std::chrono::duration<double>(Clock::now() - stop_sent).count();
    std::this_thread::sleep_for(milliseconds(200));  // its last frames
    reader.stop();
    const LogCheck::Result result = check.result(written);

    std::printf("soak: %.1f s, %ld client runs (%ld restarts), %ld with output\n", soaked, result.starts,
                std::max(0L, result.starts - 1), runs);
    std::printf("  lines written %ld, logged %ld\n", written, result.logged);
    std::printf("  missing %ld, duplicated %ld, out of order %ld, damaged %ld, outside their client's run %ld\n",
                result.missing, result.duplicated, result.out_of_order, result.damaged, result.misplaced);
    std::printf("  long lines %ld, arrived in %ld pieces, longest piece %zu bytes (at most %zu)\n",
                result.long_lines, result.pieces, result.longest_piece, kPieceLimit);
    if (first) {
        std::printf("  descriptors of the daemon: %d after warm-up, %d at the end\n", first->descriptors,
                    last.descriptors);
        std::printf("  VmRSS: %ld KiB after warm-up, %ld KiB at the end (%+ld KiB, at most %ld)\n", first->rss_kib,
                    last.rss_kib, last.rss_kib - first->rss_kib, kRssDriftLimitKib);
    }
    std::printf("  zombie children: %zu left, at most %zu at once (children at the end: %zu)\n",
                zombies.forgotten().size(), zombies.most(), children);
    if (status) {
        std::printf("  SIGTERM: ended in %.2f s, %s %d\n", stop_seconds,
                    WIFEXITED(*status) ? "exit status" : "killed by signal",
                    WIFEXITED(*status) ? WEXITSTATUS(*status) : WTERMSIG(*status));
    } else {
        std::printf("  SIGTERM: still running after 10 s\n");
    }
    std::printf("  problems seen in the log: %ld\n", result.problems);
    for (const std::string& shown : result.shown) {
        std::printf("    %s\n", shown.c_str());
    }
    for (const std::string& path : {daemon.stdout_path, daemon.stderr_path}) {
        const std::string text = read_file(path);
        if (!text.empty()) {
            std::printf("  the daemon wrote to %s: %s\n", path.c_str(), text.substr(0, 200).c_str());
        }
    }

    if (written < 1 || runs < kWarmUpRuns) {
        fail("too few client runs with output");
    }
    if (result.logged != written || result.missing != 0 || result.duplicated != 0 || result.out_of_order != 0 ||
        result.damaged != 0 || result.misplaced != 0) {
        fail("lines lost, repeated, reordered, damaged or misplaced");
    }
    if (result.problems != 0) {
        fail("problems in the log");
    }
    if (result.long_lines == 0 || result.longest_piece > kPieceLimit) {
        fail("long lines not seen in pieces of at most 8191 bytes");
    }
    if (!first || last.descriptors != first->descriptors) {
        fail("descriptor count changed");
    }
    if (!first || std::labs(last.rss_kib - first->rss_kib) > kRssDriftLimitKib) {
        fail("VmRSS not flat");
    }
    if (!zombies.forgotten().empty()) {
        fail("zombie children left");
    }
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        fail("the daemon did not exit with status 0 on SIGTERM");
    }
    std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double duration = 600;
    if (argc > 2 || (argc == 2 && (duration = std::atof(argv[1])) <= 0)) {
        std::fprintf(stderr, "usage: soak [SECONDS]\n");
        return 2;
    }
    const std::string reason = sandbox::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "soak: needs root here (%s); run it as root, e.g. sudo scripts/soak.sh\n",
                     reason.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("soak: the daemon for %g s with a client that restarts as fast as it may\n", duration);
    try {
        return soak(duration);
    } catch (const std::exception& error) {
        std::printf("soak: FAILED: %s\n", error.what());
        return 1;
    }
}
