#pragma once

// A real FIFO, opened the way the relay opens it, with the test as the client
// writing into it; shared by the batch and order tests.

#include "capture.h"
#include "relay/relay_thread.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Lines = std::vector<std::string>;

inline void pause_for(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

class FifoTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorded_lines().clear();
        logged_records().clear();
        std::string pattern = ::testing::TempDir() + "quorvix-relay-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        directory_ = pattern;
        path_ = directory_ + "/fifo";
        ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0) << std::strerror(errno);
        // As the daemon's read-write end: the FIFO never reports end-of-file.
        reader_ = open(path_.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(reader_, 0) << std::strerror(errno);
        writer_ = open(path_.c_str(), O_WRONLY);
        ASSERT_GE(writer_, 0) << std::strerror(errno);
        buffer_.assign(kBatchCapacity + 1, '\0');
    }

    void TearDown() override {
        for (int fd : {writer_, reader_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }

    void write_all(std::string_view bytes) const {
        while (!bytes.empty()) {
            ssize_t count = write(writer_, bytes.data(), bytes.size());
            if (count < 0 && errno == EINTR) {
                continue;
            }
            ASSERT_GT(count, 0) << std::strerror(errno);
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
    }

    // What is still waiting in the FIFO, read without waiting.
    std::string leftover() const {
        std::string bytes;
        char chunk[4096];
        ssize_t count;
        while ((count = read(reader_, chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(count));
        }
        return bytes;
    }

    // The texts the library logged, in order.
    static Lines logged() {
        Lines texts;
        for (const LogRecord& record : logged_records()) {
            texts.push_back(record.text);
        }
        return texts;
    }

    std::string directory_;
    std::string path_;
    int reader_ = -1;
    int writer_ = -1;
    std::vector<char> buffer_;
};
