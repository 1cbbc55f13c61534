#pragma once

#include "sandbox.h"

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

inline constexpr int kNotice = LOG_DAEMON | LOG_NOTICE;
inline constexpr int kError = LOG_DAEMON | LOG_ERR;

using namespace std::chrono_literals;

// A user of its own for each test process, so that per-user process counts
// of tests running side by side do not mix.
inline uid_t unprivileged_uid() {
    return static_cast<uid_t>(200000 + getpid() % 100000);
}

// Every case gets a sandbox of its own and is skipped, with the reason, where
// sandboxes cannot be made.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = sandbox::unavailable_reason();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        box = std::make_unique<sandbox::Sandbox>();
    }

    // The frames sent by one process, in order.
    std::vector<std::string> texts_from(pid_t pid) {
        std::vector<std::string> texts;
        for (const sandbox::Frame& frame : box->frames()) {
            if (frame.pid == pid) {
                texts.push_back(frame.text);
            }
        }
        return texts;
    }

    // Index of the first frame with this text, or -1.
    long index_of(const std::string& text) {
        const auto& frames = box->frames();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (frames[i].text == text) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

    static std::string read_file(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::string content;
        if (file != nullptr) {
            char chunk[4096];
            std::size_t count = 0;
            while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
                content.append(chunk, count);
            }
            std::fclose(file);
        }
        return content;
    }

    // The client's pid, as the stand-in script wrote it to /run/client.pid.
    pid_t client_pid(int within_ms = 5000) {
        std::string text = box->wait_for_run_file("client.pid", std::chrono::milliseconds(within_ms));
        return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
    }

    // Runs the daemon as a user of its own that may have `max_processes`
    // processes, one of them taken by a process of the test's until `text`
    // has been logged `count` times; `seen` says whether it was, within 6 s.
    sandbox::Daemon start_crowded(long max_processes, const std::string& text, std::size_t count, bool& seen) {
        const uid_t uid = unprivileged_uid();
        seen = false;
        if (chown(box->run_dir().c_str(), uid, uid) != 0) {
            return {};
        }
        const pid_t ballast = fork();
        if (ballast == 0) {
            if (setgid(uid) != 0 || setuid(uid) != 0) {
                _exit(1);
            }
            for (;;) {
                pause();
            }
        }
        sandbox::Daemon daemon = box->start({.uid = uid, .max_processes = max_processes});
        seen = ballast > 0 && box->wait_for_text(text, std::chrono::seconds(6), count);
        kill(ballast, SIGKILL);
        waitpid(ballast, nullptr, 0);
        return daemon;
    }

    std::unique_ptr<sandbox::Sandbox> box;
};


// The daemon's threads other than the main one.
inline std::vector<pid_t> other_threads(pid_t pid) {
    std::vector<pid_t> threads;
    if (DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent* entry = readdir(tasks)) {
            const pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
            if (tid > 0 && tid != pid) {
                threads.push_back(tid);
            }
        }
        closedir(tasks);
    }
    return threads;
}

// Waits up to 5 s until thread `tid` of `pid` is blocked in a system call
// that `wanted` accepts, as /proc shows it.
inline bool await_blocked(pid_t pid, pid_t tid, bool (*wanted)(long call)) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall";
    for (const auto deadline = sandbox::Clock::now() + std::chrono::seconds(5); sandbox::Clock::now() < deadline;) {
        long call = -1;
        if (std::ifstream(path) >> call && wanted(call)) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

// Voluntary context switches of a thread: how often it has gone to sleep.
inline long wakeups(pid_t pid, pid_t tid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

inline bool in_poll(long call) {
#ifdef SYS_poll
    if (call == SYS_poll) {
        return true;
    }
#endif
    return call == SYS_ppoll;
}

// Line `number` (from 1) of the stand-in client's `lines N WIDTH`, as logged.
inline std::string numbered_line(int number, std::size_t width) {
    char head[32];
    std::snprintf(head, sizeof head, "L%07d ", number);
    std::string line(head);
    line.resize(width - 1, 'x');
    return line;
}

// A client script line that records the client's pid for the test.
inline const std::string kRecordPid = "echo $$ > /run/client.pid.new && mv /run/client.pid.new /run/client.pid\n";
