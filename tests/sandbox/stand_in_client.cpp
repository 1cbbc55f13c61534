// A stand-in for the VPN client, scripted by its arguments. Each operation
// takes its operands from the arguments that follow it:
//
//   out TEXT        one write of TEXT (C escapes: \n \r \t \\ \0 \xHH) to stdout
//   err TEXT        the same to stderr
//   lines N WIDTH   N numbered lines of WIDTH bytes each (newline included),
//                   "L0000001 xxx...", in one write to stdout
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
//   exit CODE       exits with CODE
//
// Run as the client itself (its first argument is "--script"), it takes its
// operations from /opt/quorVix/etc/stand-in.ops, one argument a line.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t term_received = 0;
bool say_bye = false;

void on_term(int) {
    term_received = 1;
}

void write_all(int fd, const std::string& data) {
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
