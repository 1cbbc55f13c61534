#pragma once

// What the benchmark and the soak share beyond the sandbox library: waits that
// a stop signal cuts short, a reader of the log socket as fast as any sender,
// what /proc tells of the daemon, and the check of the stand-in's soak lines.

#include "relay/lines.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <span>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace measure {

using sandbox::Clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Thrown by the waits below once SIGINT, SIGTERM or SIGHUP has come:
// unwinding ends the sandboxed programs and removes the sandboxes.
struct Interrupted {
    int signal;
};

inline volatile sig_atomic_t interrupted = 0;

inline void check_interrupt() {
    if (interrupted != 0) {
        throw Interrupted{interrupted};
    }
}

// Waits until `done` holds (true) or `within` has passed (false).
inline bool wait_until(const std::function<bool()>& done, Clock::duration within) {
    for (const auto deadline = Clock::now() + within;; std::this_thread::sleep_for(2ms)) {
        check_interrupt();
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

inline void pause_until(Clock::time_point until) {
    wait_until([&] { return Clock::now() >= until; }, until - Clock::now());
}

// sandbox::await_exit, which returns early only when a signal's handler has
// run: here, only a stop signal has one.
inline std::optional<int> await_exit(pid_t pid, Clock::duration within, rusage* usage = nullptr) {
    const std::optional<int> status =
        sandbox::await_exit(pid, std::max(std::chrono::ceil<milliseconds>(within), 0ms), usage);
    check_interrupt();
    return status;
}

// Sends SIGTERM to child `pid` and waits for it to end.
inline std::optional<int> terminate(pid_t pid, Clock::duration within, rusage* usage = nullptr) {
    kill(pid, SIGTERM);
    return await_exit(pid, within, usage);
}

inline std::string describe(const std::optional<int>& status) {
    if (!status) {
        return "did not end";
    }
    return WIFEXITED(*status) ? "exit status " + std::to_string(WEXITSTATUS(*status))
                              : "killed by signal " + std::to_string(WTERMSIG(*status));
}

inline bool exited_zero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// True once child `pid` has ended; it is left to be waited for.
inline bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

inline double to_seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Reads the sandbox's log socket on a thread of its own and hands each
// datagram, parsed (nothing when it is no frame), to `handler` with the time
// it was taken. Only net.unix.max_dgram_qlen datagrams wait before a sender
// blocks: the reader takes them in batches, without allocating.
class LogReader {
public:
    using Handler = std::function<void(const std::optional<sandbox::FrameView>&, Clock::time_point)>;

    LogReader(int socket, Handler handler) : socket_(socket), handler_(std::move(handler)) {
        thread_ = std::thread([this] { run(); });
    }
    ~LogReader() { stop(); }
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    void stop() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
    }
    // Stops reading, as a stalled logger does, or reads again.
    void hold(bool held) { held_ = held; }
    // Returns once every datagram that reached the socket before the call has
    // been handled: a mark sent behind them comes through the reader.
    void sync() {
        sockaddr_un address{};
        socklen_t length = sizeof address;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const std::uint64_t mark = ++marks_sent_;
        sendto(sender, &mark, sizeof mark, 0, reinterpret_cast<sockaddr*>(&address), length);
        close(sender);
        wait_until([&] { return marks_seen_ >= mark; }, 10s);
    }
    // The reader thread's CPU time, once stopped.
    double cpu_seconds() const { return cpu_seconds_; }

private:
    static constexpr unsigned kBatch = 64;
    static constexpr std::size_t kDatagramBytes = 16384;  // beyond a batch-long piece and its header

    void run() {
        std::vector<char> storage(kBatch * kDatagramBytes);
        std::vector<iovec> vectors(kBatch);
        std::vector<mmsghdr> messages(kBatch);
        for (unsigned i = 0; i < kBatch; ++i) {
            vectors[i] = {storage.data() + i * kDatagramBytes, kDatagramBytes};
            messages[i].msg_hdr = {nullptr, 0, &vectors[i], 1, nullptr, 0, 0};
        }
        while (!stopping_) {
            pollfd readable{socket_, POLLIN, 0};
            if (held_ || poll(&readable, 1, 50) <= 0) {
                std::this_thread::sleep_for(held_ ? 10ms : 0ms);
                continue;
            }
            const int count = recvmmsg(socket_, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
            const Clock::time_point now = Clock::now();
            for (const mmsghdr& message : std::span(messages).first(static_cast<std::size_t>(std::max(count, 0)))) {
                const std::string_view datagram(static_cast<char*>(message.msg_hdr.msg_iov->iov_base), message.msg_len);
                if (datagram.size() == sizeof(std::uint64_t)) {  // a mark: every frame is longer
                    std::uint64_t mark = 0;
                    std::memcpy(&mark, datagram.data(), sizeof mark);
                    marks_seen_ = mark;
                } else if ((message.msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                    handler_(std::nullopt, now);
                } else {
                    handler_(sandbox::parse_frame_view(datagram), now);
                }
            }
        }
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        cpu_seconds_ = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
    }

    int socket_;
    Handler handler_;
    std::atomic<bool> stopping_{false}, held_{false};
    std::atomic<double> cpu_seconds_{0};
    std::uint64_t marks_sent_ = 0;
    std::atomic<std::uint64_t> marks_seen_{0};
    std::thread thread_;
};

inline std::string proc(pid_t pid, const std::string& rest) {
    return sandbox::read_file("/proc/" + std::to_string(pid) + "/" + rest);
}

// The number after "Name:" in a /proc file's text, or -1.
inline long field(const std::string& text, const std::string& name) {
    const std::size_t at = ("\n" + text).find("\n" + name + ":");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + name.size() + 1);
}

struct ThreadCounters {
    std::uint64_t cpu_ns = 0;       // time on a CPU
    std::uint64_t wait_ns = 0;      // time runnable, waiting for a CPU
    std::uint64_t voluntary = 0;    // the thread went to sleep and was woken: a wake-up
    std::uint64_t involuntary = 0;  // it was preempted
};

// Every thread of `pid` by thread id, so the main thread (tid == pid) first.
inline std::map<pid_t, ThreadCounters> thread_counters(pid_t pid) {
    std::map<pid_t, ThreadCounters> threads;
    std::error_code gone;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
        const std::string task = "task/" + entry.path().filename().string() + "/";
        const std::string status = proc(pid, task + "status");
        ThreadCounters counters;
        if (std::sscanf(proc(pid, task + "schedstat").c_str(), "%lu %lu", &counters.cpu_ns, &counters.wait_ns) == 2) {
            counters.voluntary = static_cast<std::uint64_t>(field(status, "voluntary_ctxt_switches"));
            counters.involuntary = static_cast<std::uint64_t>(field(status, "nonvoluntary_ctxt_switches"));
            threads[std::atoi(entry.path().filename().c_str())] = counters;
        }
    }
    return threads;
}

struct Memory {  // of smaps_rollup, in KiB
    long rss = -1, pss = -1, private_dirty = -1;
};

// Private_Dirty leaves out the mappings of the program's own file: the
// sandbox runs a copy made just before the start, dirty until written back,
// and for good on a tmpfs. Installed, the program's file is clean.
inline Memory memory_of(pid_t pid) {
    const std::string rollup = proc(pid, "smaps_rollup");
    Memory memory{field(rollup, "Rss"), field(rollup, "Pss"), field(rollup, "Private_Dirty")};
    std::error_code gone;
    const std::string program = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", gone);
    std::istringstream maps(proc(pid, "smaps"));
    bool own = false;
    for (std::string line; std::getline(maps, line);) {
        if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find(' ') < line.find(':')) {
            own = !program.empty() && line.ends_with(program);
        } else if (own && line.starts_with("Private_Dirty:")) {
            memory.private_dirty -= field(line, "Private_Dirty");
        }
    }
    return memory;
}
// The children of `pid`'s main thread, where the daemon forks, with their
// states ('Z': a zombie).
inline std::vector<std::pair<pid_t, char>> children_of(pid_t pid) {
    std::vector<std::pair<pid_t, char>> children;
    std::istringstream list(proc(pid, "task/" + std::to_string(pid) + "/children"));
    for (pid_t child = 0; list >> child;) {
        const std::string stat = proc(child, "stat");
        const std::size_t state = stat.rfind(')') + 2;  // "pid (comm) S ...", comm holding anything
        children.emplace_back(child, state < stat.size() ? stat[state] : '?');
    }
    return children;
}

// Checks, as the log arrives, the lines of the stand-in's soak-run and
// soak-lines, "S<seq> R<run> N<length> <letters>", numbered across runs,
// long ones in pieces: each whole, once, in order, between its own run's
// "starting vpnc" and the news of that client's end.
class RunCheck {
public:
    static constexpr std::size_t kPieceLimit = kBatchCapacity;

    void take(const std::optional<sandbox::FrameView>& frame) {
        std::lock_guard lock(mutex_);
        const std::string_view text = frame ? frame->text : "";
        const bool start = text == "starting vpnc";
        if (!frame || frame->priority != (LOG_DAEMON | LOG_NOTICE) || frame->ident != "quorVix" ||
            (daemon_ != 0 && frame->pid != daemon_)) {
            problem("unexpected frame", text);
        } else if (start || text.starts_with("terminated ")) {
            if (!line_.empty()) {
                problem("line cut short by its client's end or the next start", line_);
            }
            if (in_run_ == start) {
                problem(start ? "start within a run" : "end without a start", text);
            }
            in_run_ = start;
            ++(start ? starts_ : ends_);
            if (!start && text != "terminated with exit code 0" && !(stopping_ && text == "terminated by signal 15")) {
                problem("client ended unexpectedly", text);
            }
        } else if (text.starts_with("sending SIGTERM to vpnc(")) {
            if (!stopping_) {
                problem("unexpected frame", text);
            }
        } else if (text.size() > 1 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9') {
            if (!line_.empty()) {
                problem("line cut short by the next line", line_);
            }
            line_ = text;
            pieces_ = 1;
            piece(text.size(), std::sscanf(line_.c_str(), "S%9ld R%6ld N%6zu ", &seq_, &run_, &length_) != 3);
        } else if (!line_.empty()) {
            line_ += text;
            ++pieces_;
            piece(text.size(), false);
        } else {
            problem("unexpected frame", text);
        }
    }

    void set_daemon(pid_t pid) { daemon_ = pid; }
    void set_stopping() { stopping_ = true; }
    struct Progress {
        long starts, ends, highest;
    };
    Progress progress() {
        std::lock_guard lock(mutex_);
        return {starts_, ends_, highest_};
    }

    // Prints what became of the `written` lines; true when all were logged
    // as they should be and nothing else went wrong.
    bool report(long written) {
        std::lock_guard lock(mutex_);
        const long missing = written - std::distance(seen_.lower_bound(1), seen_.upper_bound(written));
        const long beyond = static_cast<long>(seen_.size()) - (written - missing);
        std::printf("  lines written %ld, logged %ld: missing %ld, duplicated %ld, out of order %ld, damaged %ld, "
                    "outside their client's run %ld, beyond those written %ld\n"
                    "  client runs logged: %ld starts, %ld ends; long lines %ld in %ld pieces, longest piece %zu "
                    "bytes (at most %zu)\n  problems seen in the log: %ld\n",
                    written, logged_, missing, duplicated_, out_of_order_, damaged_, misplaced_, beyond, starts_,
                    ends_, long_lines_, long_pieces_, longest_piece_, kPieceLimit, problems_);
        for (const std::string& shown : shown_) {
            std::printf("    %s\n", shown.c_str());
        }
        return written > 0 && logged_ == written && missing == 0 && beyond == 0 && problems_ == 0;
    }

private:
    // Counts a problem, on `count` too when given, and keeps the first few.
    void problem(const char* what, std::string_view text, long* count = nullptr) {
        if (count != nullptr) {
            ++*count;
        }
        if (++problems_ <= 8) {
            shown_.push_back(std::string(what) + ": \"" + std::string(text.substr(0, 80)) +
                             (text.size() > 80 ? "...\"" : "\""));
        }
    }

    // Takes a piece of the line being put together, and the line once whole.
    void piece(std::size_t length, bool damaged) {
        longest_piece_ = std::max(longest_piece_, length);
        for (std::size_t k = std::max<std::size_t>(27, line_.size() - length); !damaged && k < line_.size(); ++k) {
            damaged = line_[k] != static_cast<char>('a' + (seq_ + static_cast<long>(k)) % 26);  // past the header
        }
        if (damaged || length > kPieceLimit || line_.size() > length_) {
            problem("damaged line", line_, &damaged_);
            line_.clear();
        }
        if (line_.empty() || line_.size() < length_) {
            return;
        }
        ++logged_;
        long_lines_ += pieces_ > 1;
        long_pieces_ += pieces_ > 1 ? pieces_ : 0;
        // The client numbers its runs as the daemon starts them.
        if (!in_run_ || run_ != starts_) {
            problem("line outside its client's run", line_, &misplaced_);
        }
        if (!seen_.insert(seq_).second) {
            problem("duplicated line", line_, &duplicated_);
        } else if (seq_ < highest_) {
            problem("line out of order", line_, &out_of_order_);
        }
        highest_ = std::max(highest_, seq_);
        line_.clear();
    }

    std::mutex mutex_;
    std::atomic<pid_t> daemon_{0};
    std::atomic<bool> stopping_{false};
    bool in_run_ = false;
    std::string line_;  // the line being put together from its pieces
    long seq_ = 0, run_ = 0, pieces_ = 0;
    std::size_t length_ = 0, longest_piece_ = 0;
    std::set<long> seen_;
    long starts_ = 0, ends_ = 0, highest_ = 0, logged_ = 0, duplicated_ = 0, out_of_order_ = 0, damaged_ = 0;
    long misplaced_ = 0, long_lines_ = 0, long_pieces_ = 0, problems_ = 0;
    std::vector<std::string> shown_;
};

// Runs `body` and turns what it throws into an exit status: 128 + the signal
// for an interruption, once the sandboxes are cleaned up; 1, a broken run,
// for anything else.
inline int run_guarded(const char* program, const std::function<int()>& body) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string reason = sandbox::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "%s: needs root here (%s); run it as root: sudo scripts/%s.sh\n", program,
                     reason.c_str(), program);
        return 2;
    }
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        signal(sig, [](int caught) { interrupted = caught; });
    }
    signal(SIGPIPE, SIG_IGN);  // a reader of our output that goes away must not end the run half way
    try {
        return body();
    } catch (const Interrupted& stop) {
        std::printf("\n%s: interrupted by signal %d; the sandboxed daemon and its clients are ended, the sandbox "
                    "removed\n",
                    program, stop.signal);
        return 128 + stop.signal;
    } catch (const std::exception& error) {
        std::printf("\n%s: BROKEN RUN: %s\n", program, error.what());
        return 1;
    }
}

}  // namespace measure
