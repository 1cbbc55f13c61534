// A stand-in for the VPN client, scripted by its arguments. Each operation
// takes its operands from the arguments that follow it:
//
//   out TEXT        one write of TEXT (C escapes: \n \r \t \\ \0 \xHH) to stdout
//   err TEXT        the same to stderr
//   lines N WIDTH   N numbered lines of WIDTH bytes each (newline included),
//                   "L0000001 xxx...", in one write to stdout
//   bulk N WIDTH    the same N lines as `lines`, made and written in 64 KiB
//                   chunks as fast as they can be, for throughput runs
//   long N          one line of N bytes ('a' to 'z' over and over) and its
//                   newline, in one write
//   sleep MS        sleeps (a SIGTERM under "term bye" cuts it short)
//   term MODE       SIGTERM from now on: ignore, bye (print "bye" and exit 0)
//                   or default
//   hold            waits for signals for ever
//   close-stdout    closes descriptors 1 and 2
//   grandchild MS TEXT
//                   forks a process that writes TEXT every MS milliseconds,
//                   ten times, and exits; the client itself goes on
//   record PATH     writes this process's argv, pid and open descriptors to PATH
//   syslog TEXT     logs TEXT at LOG_NOTICE as the daemon would with LOG_PID,
//                   to compare frames with the daemon's
//   exit CODE       exits with CODE
//   soak-run PATH   one run of the soak client: takes the next line number and
//                   the run number from PATH, writes a burst of numbered lines
//                   (some on stderr, some longer than the relay's batch, the
//                   last one unterminated in odd runs), then records the new
//                   numbers in PATH. Once PATH.stop exists it writes nothing
//                   and creates PATH.held instead. See soak_line below.
//   soak-lines PATH N
//                   the same with N lines, none of them long
//   stamp PATH WORD appends "WORD <CLOCK_MONOTONIC in ns>" and a newline to PATH
//   stamp-term PATH from now on a SIGTERM appends "term <ns>" to PATH, taken
//                   in the handler, and ends the client with status 0 once
//                   the operation under way is done (a sleep is cut short)
//   nap MIN MAX     sleeps between MIN and MAX milliseconds, a different time
//                   in each run
//
// Run as the client itself (its first argument is "--script"), it takes its
// operations from /opt/quorVix/etc/stand-in.ops, one argument a line.

#include "relay/lines.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t term_received = 0;
bool say_bye = false;
int term_stamps = -1;  // where stamp-term writes

void on_term(int) {
    term_received = 1;
}

long long monotonic_nanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// "WORD <ns>\n" in one write, so that stamps of processes that share PATH
// never mix; formatted by hand, as the signal handler needs it too.
void append_stamp(int fd, const char* word) {
    char text[64];
    std::size_t length = std::strlen(word);
    std::memcpy(text, word, length);
    text[length++] = ' ';
    char digits[24];
    std::size_t count = 0;
    for (long long nanos = monotonic_nanos(); count == 0 || nanos > 0; nanos /= 10) {
        digits[count++] = static_cast<char>('0' + nanos % 10);
    }
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length++] = '\n';
    (void)!write(fd, text, length);
}

void on_term_stamp(int) {
    append_stamp(term_stamps, "term");
    term_received = 1;
}

int open_stamps(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void write_all(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t count = write(fd, data.data() + done, data.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        done += static_cast<std::size_t>(count);
    }
}

void check_term() {
    if (term_received && say_bye) {
        write_all(1, "bye\n");
        _exit(0);
    }
    if (term_received && term_stamps >= 0) {
        _exit(0);
    }
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        switch (next) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '0': out += '\0'; break;
            case 'x':
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
                break;
            default: out += next; break;
        }
    }
    return out;
}

void sleep_millis(long millis) {
    timespec left{millis / 1000, (millis % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        check_term();
    }
}

void record(const std::string& path, int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        text += std::string("argv ") + argv[i] + "\n";
    }
    text += "pid " + std::to_string(getpid()) + "\n";
    if (DIR* fds = opendir("/proc/self/fd")) {
        const int own = dirfd(fds);
        while (dirent* entry = readdir(fds)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) {
                continue;
            }
            char target[512] = {};
            std::string link = std::string("/proc/self/fd/") + entry->d_name;
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            text += std::string("fd ") + entry->d_name + " " + std::string(target, length > 0 ? length : 0) + "\n";
        }
        closedir(fds);
    }
    std::ofstream(path) << text;
}

std::string numbered_lines(long count, long width) {
    std::string out;
    for (long i = 1; i <= count; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "L%07ld ", i);
        std::string line(head);
        line.resize(static_cast<std::size_t>(width - 1), 'x');
        out += line + "\n";
    }
    return out;
}

// The line "L%07ld xxx...", its number rewritten in place for each line:
// cheaper than formatting a million lines one by one.
class NumberedLine {
public:
    explicit NumberedLine(long width) : width_(static_cast<std::size_t>(width)) { layout(7); }

    const std::string& at(long number) {
        if (number >= limit_) {
            layout(digits_ + 1);
        }
        for (std::size_t k = digits_; k > 0; --k, number /= 10) {
            text_[k] = static_cast<char>('0' + number % 10);
        }
        return text_;
    }

private:
    void layout(std::size_t digits) {
        digits_ = digits;
        limit_ = 1;
        for (std::size_t k = 0; k < digits; ++k) {
            limit_ *= 10;
        }
        text_ = "L" + std::string(digits, '0') + " ";
        text_.resize(width_ - 1, 'x');
        text_ += '\n';
    }

    std::size_t width_;
    std::size_t digits_ = 0;
    long limit_ = 0;
    std::string text_;
};

void bulk_lines(long count, long width) {
    constexpr std::size_t kChunk = 64 * 1024;
    NumberedLine line(width);
    std::string chunk;
    chunk.reserve(2 * kChunk);
    for (long i = 1; i <= count; ++i) {
        chunk += line.at(i);
        if (chunk.size() >= kChunk) {
            write_all(1, std::string_view(chunk).substr(0, kChunk));
            chunk.erase(0, kChunk);
        }
    }
    write_all(1, chunk);
}

// A soak line: "S<seq> R<run> N<length> " and then letters that go on from
// ('a' + seq) around the alphabet, so that the reader can check every byte;
// `length` counts the whole line without its newline. No spaces and no '[',
// which the relay would strip or drop.
std::string soak_line(long seq, long run, std::size_t length) {
    char head[64];
    std::snprintf(head, sizeof head, "S%09ld R%06ld N%06zu ", seq, run, length);
    std::string line(head);
    for (std::size_t k = line.size(); k < length; ++k) {
        line += static_cast<char>('a' + (seq + static_cast<long>(k)) % 26);
    }
    return line;
}

// Mixes the bits of a line number: which stream a line goes to and how long
// it is vary from line to line, the same in every soak.
unsigned long mix(unsigned long value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdUL;
    value ^= value >> 33;
    return value;
}

// `count` lines, none longer than the relay's batch; or, given 0, the
// soak's burst of 150 to 400 lines with long ones among them.
void soak_run(const std::string& path, long count) {
    if (access((path + ".stop").c_str(), F_OK) == 0) {
        std::ofstream(path + ".held") << getpid() << "\n";
        return;
    }
    long seq = 1;
    long run = 0;
    std::ifstream(path) >> seq >> run;
    ++run;
    // Around the lengths where the relay cuts a line into pieces.
    constexpr std::size_t kBatch = kBatchCapacity;
    constexpr std::size_t kLongLengths[] = {kBatch - 1,     kBatch,         kBatch + 1,     kBatch + 2, 12000,
                                            2 * kBatch - 1, 2 * kBatch,     2 * kBatch + 1, 24576,      30001};
    const bool burst = count == 0;
    if (burst) {
        count = 150 + static_cast<long>(mix(static_cast<unsigned long>(run)) % 250);
    }
    for (long i = 0; i < count; ++i, ++seq) {
        const unsigned long bits = mix(static_cast<unsigned long>(seq));
        const std::size_t length = burst && bits % 53 == 0 ? kLongLengths[(bits >> 8) % std::size(kLongLengths)]
                                                           : 30 + (bits >> 16) % 170;
        std::string line = soak_line(seq, run, length);
        if (i + 1 < count || run % 2 == 0) {
            line += '\n';
        }
        write_all((bits >> 24) % 7 == 0 ? 2 : 1, line);
    }
    {
        std::ofstream(path + ".new") << seq << " " << run << "\n";
    }
    std::rename((path + ".new").c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> ops(argv + 1, argv + argc);
    if (!ops.empty() && ops[0] == "--script") {
        ops.clear();
        std::ifstream in("/opt/quorVix/etc/stand-in.ops");
        for (std::string line; std::getline(in, line);) {
            ops.push_back(line);
        }
    }
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const std::string& op = ops[i];
        auto operand = [&]() -> std::string { return i + 1 < ops.size() ? ops[++i] : std::string(); };
        if (op == "out") {
            write_all(1, unescape(operand()));
        } else if (op == "err") {
            write_all(2, unescape(operand()));
        } else if (op == "lines") {
            long count = std::stol(operand());
            write_all(1, numbered_lines(count, std::stol(operand())));
        } else if (op == "bulk") {
            long count = std::stol(operand());
            bulk_lines(count, std::stol(operand()));
        } else if (op == "long") {
            std::string line(static_cast<std::size_t>(std::stol(operand())), ' ');
            for (std::size_t k = 0; k < line.size(); ++k) {
                line[k] = static_cast<char>('a' + k % 26);
            }
            write_all(1, line + "\n");
        } else if (op == "sleep") {
            sleep_millis(std::stol(operand()));
        } else if (op == "term") {
            std::string mode = operand();
            say_bye = mode == "bye";
            signal(SIGTERM, mode == "ignore" ? SIG_IGN : mode == "bye" ? on_term : SIG_DFL);
        } else if (op == "hold") {
            for (;;) {
                pause();
                check_term();
            }
        } else if (op == "close-stdout") {
            close(1);
            close(2);
        } else if (op == "grandchild") {
            long every = std::stol(operand());
            std::string text = unescape(operand());
            if (fork() == 0) {
                for (int k = 0; k < 10; ++k) {
                    sleep_millis(every);
                    write_all(1, text);
                }
                _exit(0);
            }
        } else if (op == "record") {
            record(operand(), argc, argv);
        } else if (op == "soak-run") {
            soak_run(operand(), 0);
        } else if (op == "soak-lines") {
            const std::string path = operand();
            soak_run(path, std::max(1L, std::stol(operand())));
        } else if (op == "stamp") {
            const int fd = open_stamps(operand());
            append_stamp(fd, operand().c_str());
            close(fd);
        } else if (op == "stamp-term") {
            term_stamps = open_stamps(operand());
            signal(SIGTERM, on_term_stamp);
        } else if (op == "nap") {
            const long least = std::stol(operand());
            sleep_millis(least + monotonic_nanos() / 1000 % std::max(1L, std::stol(operand()) - least));
        } else if (op == "syslog") {
            openlog("quorVix", LOG_PID | LOG_NDELAY, LOG_DAEMON);
            syslog(LOG_NOTICE, "%s", operand().c_str());
        } else if (op == "exit") {
            return std::atoi(operand().c_str());
        } else {
            std::fprintf(stderr, "stand-in: unknown operation %s\n", op.c_str());
            return 2;
        }
        check_term();
    }
    return 0;
}
