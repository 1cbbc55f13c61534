// The log's order: stamps, forwarding up to a position, records, dropped
// ends and old FIFOs, on a relay link of the test's own over a real FIFO.
// The test plays both threads in turn, so every order is the one it chose.

#include "fifo_test.h"
#include "relay/channel.h"
#include "relay/fifo.h"
#include "relay/order.h"
#include "relay/stop.h"

#include <atomic>
#include <csignal>
#include <fstream>
#include <sys/syscall.h>
#include <syslog.h>
#include <utility>

namespace {

int answer_fd = -1;
void answer() {
    (void)!write(answer_fd, "answer\n", 7);
}
void log_action() {
    syslog(LOG_NOTICE, "action");
}

class RelayRound : public FifoTest {
protected:
    void SetUp() override {
        FifoTest::SetUp();
        ASSERT_TRUE(open_channel(link_));
        link_.running = true;
        link_.keeper = link_.fifo = link_.reader.fifo = reader_;
        for (std::size_t i = 0; i < kOldFifos; ++i) {
            relay.old[i] = {-1, buffers_[1 + i].data(), 0};
        }
    }
    void TearDown() override {
        close_channel(link_);
        for (std::size_t i = 0; i < relay.olds; ++i) {
            close(relay.old[i].fifo);
        }
        if (link_.reader.fifo != reader_) {
            close(link_.reader.fifo);
        }
        FifoTest::TearDown();
    }
    void post(const std::string& text, RecordKind kind = RecordKind::message, void (*act)() = nullptr) {
        post_message(link_, kind, act, LOG_NOTICE, text.c_str());
    }
    // The relay reads what is waiting, then settles.
    void read_and_settle() {
        relay.held.length = read_fifo(link_.reader, relay.held.buffer, relay.held.length);
        settle(relay);
    }

    RelayLink link_;
    std::vector<std::vector<char>> buffers_ = std::vector<std::vector<char>>(1 + kOldFifos,
                                                                            std::vector<char>(kBatchCapacity + 1));
    Relay relay{link_, {buffers_[0].data(), 0, 0}, {}, 0};
};

TEST_F(RelayRound, ForwardsUpToAPositionAndNoFurther) {
    write_all("one\ntwo\nthree\n");
    forward_to(relay.held, link_.reader, 10, false, record_line);  // a message within "three"
    EXPECT_EQ(link_.reader.consumed, 10U) << "read past the position";
    forward_to(relay.held, link_.reader, 11, true, record_line);  // a client's end within it
    forward_to(relay.held, link_.reader, 100, false, record_line);  // bytes missing: what is there
    EXPECT_EQ(recorded_lines(), (Lines{"one", "two", "thr", "ee"}));
    EXPECT_EQ(relay.held.base, 14U);
}

// A record's position counts what the relay has read of the FIFO and what
// still waits there: the client output that comes before the message.
TEST_F(RelayRound, IsStampedWithWhatTheClientWroteSoFar) {
    write_all("read by the relay\n");
    ASSERT_EQ(read_fifo(link_.reader, relay.held.buffer, 0), 18U);
    write_all("still waiting");
    RelayRecord record{};
    ASSERT_TRUE(stamp_and_send(link_, record));
    EXPECT_EQ(record.position, 18U + 13U);
    // A FIFO the relay has not switched to yet: nothing of it read.
    int other[2];
    ASSERT_EQ(pipe(other), 0);
    ASSERT_EQ(write(other[1], "12345", 5), 5);
    EXPECT_EQ(fifo_position(link_.reader, other[0]), 5U);
    close(other[0]);
    close(other[1]);
}

TEST_F(RelayRound, HandlesRecordsBeforeForwardingWhatItRead) {
    write_all("a\n");
    post("message");
    write_all("b\n");
    read_and_settle();
    EXPECT_EQ(logged(), (Lines{"a", "message", "b"}));
}

// With a relay the SIGTERM follows its stamped message, so that the client's
// answer is logged after it; without one the log may be slow, and the SIGTERM
// goes first.
TEST_F(RelayRound, ActionComesAfterItsMessageIsStampedAndFirstWithoutARelay) {
    answer_fd = writer_;
    write_all("before\n");
    post("sending SIGTERM", RecordKind::message, answer);
    read_and_settle();
    EXPECT_EQ(logged(), (Lines{"before", "sending SIGTERM", "answer"}));
    logged_records().clear();
    link_.running = false;
    post("sending SIGTERM", RecordKind::message, log_action);
    EXPECT_EQ(logged(), (Lines{"action", "sending SIGTERM"}));
}

// Under the thread sanitizer: a stamp and a read that do not share the lock.
TEST_F(RelayRound, StampsTakenWhileTheRelayReadsCountEveryByteOnce) {
    constexpr std::size_t kRecords = 300;
    std::jthread reader([this](std::stop_token stop) {
        std::vector<char> buffer(kBatchCapacity + 1);
        for (std::size_t total = 0; total < 2 * kRecords && !stop.stop_requested();) {
            total += read_fifo(link_.reader, buffer.data(), 0);
        }
    });
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < kRecords; ++i) {
        write_all("x\n");
        RelayRecord record{};
        ASSERT_TRUE(stamp_and_send(link_, record));
        ASSERT_EQ(record.position, last + 2) << "record " << i;
        last = record.position;
    }
}

// Both stamps, the main thread's and the one made for the vfork child, wait
// for the reader's lock: here the relay holds it in the middle of a read,
// with bytes taken from the FIFO and not yet counted.
TEST_F(RelayRound, StampsWaitForTheReadersLock) {
    for (const bool for_child : {false, true}) {
        write_all("read\n");
        pthread_mutex_lock(&link_.reader.lock);
        char taken[5];
        ASSERT_EQ(read(reader_, taken, sizeof taken), 5);
        std::atomic<pid_t> thread_id{0};
        std::atomic<bool> stamped{false};
        std::jthread main_thread([&] {
            thread_id = gettid();
            RelayRecord record{};
            for_child ? prepare_child_report(link_) : (void)stamp_and_send(link_, record);
            stamped = true;
        });
        long call = -1;
        for (int i = 0; i < 500 && !stamped && call != SYS_futex; ++i) {
            pause_for(std::chrono::milliseconds(10));
            std::ifstream("/proc/self/task/" + std::to_string(thread_id) + "/syscall") >> call;
        }
        link_.reader.consumed += sizeof taken;
        pthread_mutex_unlock(&link_.reader.lock);
        main_thread.join();
        if (for_child) {
            report_child_failure(link_);
        }
        RelayRecord record{};
        ASSERT_EQ(take_records(link_, &record, 1), 1U);
        EXPECT_EQ(record.position, link_.reader.consumed) << (for_child ? "the child's" : "a") << " stamp";
    }
}

// With the channel full, client ends and the child's report are dropped:
// each end still ends its client's last line, every drop is counted once,
// and the stop's report counts them too.
TEST_F(RelayRound, FullChannelDropsCountsAndKeepsEveryTailApart) {
    int sent = 0;
    while (link_.unsent == 0) {
        post("message " + std::to_string(++sent));  // the last of them is dropped
    }
    Lines tails;  // more than the reader keeps
    for (std::size_t i = 0; i <= kKeptEnds; ++i) {
        tails.push_back("tail " + std::to_string(i));
        write_all(tails.back());
        post("terminated with exit code 1", RecordKind::client_end);
    }
    prepare_child_report(link_);
    report_child_failure(link_);
    const int dropped = static_cast<int>(tails.size()) + 2;
    EXPECT_EQ(unlogged_messages(link_), sent - 1 + dropped);
    write_all("next line\n");
    settle(relay);
    post("after");
    read_and_settle();
    post("later");
    settle(relay);
    EXPECT_GE(sent, 100) << "the channel holds a few hundred messages";
    Lines expected = tails;
    for (const char* text : {"next line", "messages not logged: the system logger fell behind", "after", "later"}) {
        expected.push_back(text);
    }
    expected[tails.size() + 1] = std::to_string(dropped) + " " + expected[tails.size() + 1];
    const Lines texts = logged();
    ASSERT_EQ(texts.size(), sent - 1 + expected.size());
    EXPECT_EQ(texts[sent - 2], "message " + std::to_string(sent - 1));
    EXPECT_EQ(Lines(texts.end() - static_cast<long>(expected.size()), texts.end()), expected);
    EXPECT_EQ(unlogged_messages(link_), 0);
}

// With the FIFO full as well there is no room for the newline: the ends are
// kept, and the relay reads no further than each before it has ended the line.
TEST_F(RelayRound, FullFifoKeepsTheEndsForTheRelay) {
    ASSERT_GT(fcntl(writer_, F_SETPIPE_SZ, 4096), 0);
    const std::size_t capacity = static_cast<std::size_t>(fcntl(writer_, F_GETPIPE_SZ));
    while (link_.unsent == 0) {
        post("filler");
    }
    for (const std::string tail : {"tail one", "tail two"}) {
        write_all(std::string(capacity - tail.size() - 1, 'x') + "\n" + tail);
        post("terminated with exit code 1", RecordKind::client_end);
        relay.held.length = read_fifo(link_.reader, relay.held.buffer, relay.held.length);
    }
    read_and_settle();
    read_and_settle();
    write_all("next\n");
    read_and_settle();
    Lines tails;
    for (const std::string& text : logged()) {
        if (text.rfind("tail", 0) == 0 || text == "next") {
            tails.push_back(text);
        }
    }
    EXPECT_EQ(tails, (Lines{"tail one", "tail two", "next"}));
}

TEST_F(RelayRound, StopForwardsTheLastUnterminatedLine) {
    write_all("late words");
    RelayRecord stop{};
    stop.kind = RecordKind::stop;
    ASSERT_TRUE(stamp_and_send(link_, stop));
    settle(relay);
    EXPECT_EQ(logged(), Lines{"late words"});
    char answer = 0;
    EXPECT_EQ(read(link_.answers[0], &answer, 1), 1);
}

// A switch while a process the client left behind still writes to the old
// FIFO: that FIFO is read until its writer has gone, which is neither
// blocked nor killed (SIGPIPE would end the test).
TEST_F(RelayRound, SwitchReadsTheOldFifoUntilItsWritersHaveGone) {
    link_.fifo = link_.reader.fifo = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    const std::string next = directory_ + "/next";
    ASSERT_EQ(mkfifo(next.c_str(), 0600), 0);
    const int next_keeper = open(next.c_str(), O_RDWR | O_NONBLOCK);
    RelayRecord change{};
    change.kind = RecordKind::switch_fifo;
    change.fifo = open(next.c_str(), O_RDONLY | O_NONBLOCK);
    write_all("before\n");
    ASSERT_TRUE(stamp_and_send(link_, change));
    link_.fifo = change.fifo;
    close(std::exchange(reader_, -1));  // the main thread's end of the old FIFO
    write_all("left behind\n");
    ASSERT_EQ(write(next_keeper, "new\n", 4), 4);
    read_and_settle();
    write_all("last words");
    close(std::exchange(writer_, -1));
    settle(relay);
    settle(relay);
    read_and_settle();
    EXPECT_EQ(logged(), (Lines{"before", "left behind", "last words", "new"}));
    EXPECT_EQ(relay.olds, 0U) << "the old FIFO is closed once its writers have gone";
    close(next_keeper);
    unlink(next.c_str());
}

// Switches in a row, each FIFO keeping a writer: up to kOldFifos are read
// until their writers go, the oldest beyond that is finished and closed, and
// a stop finishes the rest, last lines included.
TEST_F(RelayRound, OldFifosAreReadUntilTheirWritersGoOrTheStop) {
    link_.fifo = link_.reader.fifo = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    std::vector<int> writers{std::exchange(writer_, -1)};
    for (std::size_t n = 1; n <= kOldFifos + 1; ++n) {
        const std::string next = directory_ + "/fifo" + std::to_string(n);
        ASSERT_EQ(mkfifo(next.c_str(), 0600), 0);
        RelayRecord change{};
        change.kind = RecordKind::switch_fifo;
        change.fifo = open(next.c_str(), O_RDONLY | O_NONBLOCK);
        const int keeper = open(next.c_str(), O_RDWR | O_NONBLOCK);
        writers.push_back(open(next.c_str(), O_WRONLY | O_NONBLOCK));
        ASSERT_TRUE(stamp_and_send(link_, change));
        close(link_.keeper);
        link_.keeper = keeper;
        link_.fifo = change.fifo;
        settle(relay);
        unlink(next.c_str());
    }
    reader_ = -1;  // closed as the first keeper
    const auto previous = signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(write(writers[0], "lost\n", 5), -1) << "the oldest FIFO is still read";
    signal(SIGPIPE, previous);
    for (std::size_t n = 1; n < writers.size(); ++n) {
        const std::string text = "line " + std::to_string(n) + "\nlast " + std::to_string(n);
        ASSERT_EQ(write(writers[n], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    settle(relay);
    close(writers[1]);
    settle(relay);
    EXPECT_EQ(relay.olds, kOldFifos - 1);
    RelayRecord stop{};
    stop.kind = RecordKind::stop;
    ASSERT_TRUE(stamp_and_send(link_, stop));
    settle(relay);
    EXPECT_EQ(logged(), (Lines{"line 1", "line 2", "line 3", "line 4", "last 1", "line 5", "last 5", "last 2",
                               "last 3", "last 4"}));
    EXPECT_EQ(relay.olds, 0U);
    for (std::size_t n = 0; n < writers.size(); ++n) {
        close(writers[n]);
    }
    close(link_.keeper);
}

}  // namespace
