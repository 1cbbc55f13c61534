// Batch collection on a real FIFO, opened the way the relay thread opens it,
// with the test as the client writing into it.

#include "capture.h"
#include "relay/batches.h"
#include "relay/channel.h"
#include "relay/lines.h"
#include "relay/order.h"
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <time.h>
#include <utility>
#include <unistd.h>
#include <vector>

namespace {

// The helper threads below stand for the client or the main thread; they are
// std::jthread so that a failed assertion, which leaves the case early, still
// joins them.
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

void pause_for(milliseconds duration) {
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
        // As the relay thread: read-write, so that the FIFO never reports
        // end-of-file, and non-blocking.
        reader_ = open(path_.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(reader_, 0) << std::strerror(errno);
        writer_ = open(path_.c_str(), O_WRONLY);
        ASSERT_GE(writer_, 0) << std::strerror(errno);
        fifo_.fifo = reader_;
        buffer_.assign(kBatchCapacity + 1, '\0');
    }

    void TearDown() override {
        if (writer_ >= 0) {
            close(writer_);
        }
        if (reader_ >= 0) {
            close(reader_);
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

    // Places `kept` at the front of the buffer, as a previous batch left it.
    std::size_t carry(std::string_view kept) {
        std::memcpy(buffer_.data(), kept.data(), kept.size());
        return kept.size();
    }

    // One batch wait, as the relay thread waits when it reads no old FIFO.
    Batch collect(std::size_t kept, int records = -1) {
        return collect_batch(fifo_, records, -1, buffer_.data(), kept, kept > 0);
    }

    std::string front(std::size_t length) const {
        return {buffer_.data(), length};
    }

    std::string directory_;
    std::string path_;
    int reader_ = -1;
    int writer_ = -1;
    FifoReader fifo_;
    std::vector<char> buffer_;
};

// The channel from the main thread, as the relay sees it.
class RecordChannel {
public:
    RecordChannel() { open_channel(link_); }
    ~RecordChannel() { close_channel(link_); }
    RecordChannel(const RecordChannel&) = delete;
    RecordChannel& operator=(const RecordChannel&) = delete;

    bool open() const { return link_.records[0] >= 0; }
    int relay_end() const { return link_.records[0]; }
    RelayLink& link() { return link_; }
    void send(const char* text) {
        RelayRecord record{};
        std::snprintf(record.text, sizeof record.text, "%s", text);
        stamp_and_send(link_, record);
    }
    std::vector<std::string> take() const {
        std::vector<std::string> texts;
        RelayRecord records[8];
        for (std::size_t count; (count = take_records(link_, records, 8)) > 0;) {
            for (std::size_t i = 0; i < count; ++i) {
                texts.emplace_back(records[i].text);
            }
        }
        return texts;
    }

private:
    RelayLink link_;
};

// --- What one batch holds -------------------------------------------------------

class BatchCollection : public FifoTest {};

TEST_F(BatchCollection, ReturnsWhatWasWritten) {
    write_all("first line\nsecond line\n");
    const Batch batch = collect(0);
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "first line\nsecond line\n");
    EXPECT_EQ(leftover(), "");
}

TEST_F(BatchCollection, NeverExceedsTheBatchCapacity) {
    const std::string burst(kBatchCapacity + 1000, 'b');
    write_all(burst);
    // Room beyond the capacity, marked, to see that nothing is written there.
    buffer_.assign(kBatchCapacity + 64, '#');
    const Batch batch = collect(0);
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(batch.length, kBatchCapacity);
    EXPECT_EQ(std::string(buffer_.begin() + kBatchCapacity, buffer_.end()), std::string(64, '#'));
    EXPECT_EQ(leftover().size(), 1000U);
}

TEST_F(BatchCollection, AppendsBehindTheCarriedBytes) {
    const std::size_t kept = carry("carried ");
    write_all("new data\n");
    const Batch batch = collect(kept);
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "carried new data\n");
}

TEST_F(BatchCollection, CountsTheCarriedBytesAgainstTheCapacity) {
    const std::string tail(8000, 't');
    const std::size_t kept = carry(tail);
    write_all(std::string(500, 'n'));
    const Batch batch = collect(kept);
    EXPECT_EQ(batch.length, kBatchCapacity);
    EXPECT_EQ(front(batch.length), tail + std::string(kBatchCapacity - 8000, 'n'));
    EXPECT_EQ(leftover(), std::string(500 - (kBatchCapacity - 8000), 'n'));
}

// --- Gathering within the one-second budget ----------------------------------------

class Gathering : public FifoTest {};

TEST_F(Gathering, JoinsPartsWrittenWithinTheBudget) {
    std::jthread client([this] {
        write_all("written in ");
        pause_for(milliseconds(300));
        write_all("two parts\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "written in two parts\n");
}

TEST_F(Gathering, SharesOneBudgetBetweenTheWaitsOfABatch) {
    // Each part comes within a second of the one before it, but the third
    // comes after the batch's one second is used up.
    std::jthread client([this] {
        write_all("one ");
        pause_for(milliseconds(500));
        write_all("two ");
        pause_for(milliseconds(900));
        write_all("three\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "one two ");
    EXPECT_EQ(leftover(), "three\n");
}

TEST_F(Gathering, EndsAsSoonAsTheBatchIsFull) {
    write_all(std::string(kBatchCapacity - 100, 'a'));
    std::jthread client([this] {
        pause_for(milliseconds(100));
        write_all(std::string(200, 'b'));
    });
    const auto start = Clock::now();
    const Batch batch = collect(0);
    const auto waited = Clock::now() - start;
    client.join();
    EXPECT_EQ(batch.length, kBatchCapacity);
    EXPECT_LT(waited, milliseconds(900)) << "the full batch waited out the budget";
    EXPECT_EQ(leftover(), std::string(100, 'b'));
}

// --- Interrupted waits -------------------------------------------------------------

void ignore_signal(int) {}

// Delivers SIGUSR1, with a handler installed without SA_RESTART, to the
// calling thread while it waits, so that poll fails with EINTR.
class InterruptedWait : public FifoTest {
protected:
    void SetUp() override {
        FifoTest::SetUp();
        struct sigaction action {};
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_), 0);
        waiter_ = pthread_self();
    }
    void TearDown() override {
        sigaction(SIGUSR1, &previous_, nullptr);
        FifoTest::TearDown();
    }
    void interrupt_waiter() const { pthread_kill(waiter_, SIGUSR1); }

    struct sigaction previous_ {};
    pthread_t waiter_{};
};

TEST_F(InterruptedWait, KeepsWaitingForTheFirstDataWithoutAnError) {
    const std::size_t kept = carry("tail ");
    std::jthread client([this] {
        pause_for(milliseconds(200));
        interrupt_waiter();
        pause_for(milliseconds(200));
        write_all("more\n");
    });
    const Batch batch = collect(kept);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "tail more\n");
    EXPECT_TRUE(logged_records().empty()) << logged_records()[0].text;
}

TEST_F(InterruptedWait, KeepsGatheringTheBatch) {
    std::jthread client([this] {
        write_all("before ");
        pause_for(milliseconds(200));
        interrupt_waiter();
        pause_for(milliseconds(200));
        write_all("after\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "before after\n");
}

// --- Records from the main thread --------------------------------------------------

class PendingRecord : public FifoTest {};

TEST_F(PendingRecord, EndsTheWaitWithTheCarriedBytes) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    const std::size_t kept = carry("unterminated");
    std::jthread main_thread([&channel] {
        pause_for(milliseconds(200));
        channel.send("starting vpnc");
    });
    const auto start = Clock::now();
    const Batch batch = collect(kept, channel.relay_end());
    const auto waited = Clock::now() - start;
    main_thread.join();
    EXPECT_EQ(batch.end, BatchEnd::other);
    EXPECT_EQ(front(batch.length), "unterminated");
    EXPECT_LT(waited, milliseconds(kIdleWaitSeconds * 1000 - 1000));
    EXPECT_EQ(channel.take(), Lines{"starting vpnc"}) << "the record is left for the relay to read";
}

TEST_F(PendingRecord, EndsTheWaitWithNothingCarried) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    channel.send("x");
    const Batch batch = collect(0, channel.relay_end());
    EXPECT_EQ(batch.end, BatchEnd::other);
    EXPECT_EQ(batch.length, 0U);
}

TEST_F(PendingRecord, EndsGatheringWithWhatWasGathered) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    const std::size_t kept = carry("old ");
    std::jthread main_thread([this, &channel] {
        write_all("new ");
        pause_for(milliseconds(200));
        channel.send("x");
    });
    const Batch batch = collect(kept, channel.relay_end());
    main_thread.join();
    EXPECT_EQ(batch.end, BatchEnd::other);
    EXPECT_EQ(front(batch.length), "old new ");
}

TEST_F(PendingRecord, RecordsArriveWholeAndInOrder) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    for (const char* text : {"one", "two", "three"}) {
        channel.send(text);
    }
    EXPECT_EQ(collect(0, channel.relay_end()).end, BatchEnd::other);
    EXPECT_EQ(channel.take(), (Lines{"one", "two", "three"}));
}

// A record's position counts what the relay has read of the FIFO and what
// still waits there: the client output that comes before the message.
TEST_F(PendingRecord, IsStampedWithWhatTheClientWroteSoFar) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    channel.link().reader.fifo = reader_;
    channel.link().fifo = reader_;
    write_all("read by the relay\n");
    std::vector<char> relay_buffer(kBatchCapacity + 1);
    ASSERT_EQ(read_fifo(channel.link().reader, relay_buffer.data(), 0), 18U);
    write_all("still waiting");
    RelayRecord record{};
    ASSERT_TRUE(stamp_and_send(channel.link(), record));
    EXPECT_EQ(record.position, 18U + 13U);
    // A FIFO the relay has not switched to yet: nothing of it read.
    int other[2];
    ASSERT_EQ(pipe(other), 0);
    ASSERT_EQ(write(other[1], "12345", 5), 5);
    EXPECT_EQ(fifo_position(channel.link().reader, other[0]), 5U);
    close(other[0]);
    close(other[1]);
}

// --- The idle end (each case waits out the idle wait) ---------------------------------

class IdleEnd : public FifoTest {};

TEST_F(IdleEnd, EndsAnIdleWaitWhenATailIsCarried) {
    const std::size_t kept = carry("no newline yet");
    const auto start = Clock::now();
    const Batch batch = collect(kept);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(batch.end, BatchEnd::idle);
    EXPECT_EQ(front(batch.length), "no newline yet");
    EXPECT_GE(waited, milliseconds(kIdleWaitSeconds * 1000 - 100));
    EXPECT_LT(waited, milliseconds(kIdleWaitSeconds * 1000 + 1500));
}

TEST_F(IdleEnd, KeepsWaitingWhenNothingIsCarried) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    std::jthread main_thread([&channel] {
        pause_for(milliseconds(kIdleWaitSeconds * 1000 + 700));
        channel.send("x");
    });
    const Batch batch = collect(0, channel.relay_end());
    main_thread.join();
    EXPECT_EQ(batch.end, BatchEnd::other) << "an idle end with nothing to flush";
    EXPECT_EQ(batch.length, 0U);
}

// --- A line longer than a batch ----------------------------------------------------

class LongLine : public FifoTest {};

TEST_F(LongLine, ComesOutWholeAsPiecesOfAtMostOneBatch) {
    std::string line(20000, '\0');
    for (std::size_t i = 0; i < line.size(); ++i) {
        line[i] = static_cast<char>('a' + i * 7 % 26);
    }
    const std::string stream = "before\n" + line + "\nafter\n";
    std::jthread client([this, &stream] {
        std::string_view rest = stream;
        for (std::size_t piece : {1500U, 4000U, 2500U, 3001U, 5000U, 3999U}) {
            write_all(rest.substr(0, piece));
            rest.remove_prefix(piece);
            pause_for(milliseconds(20));
        }
        write_all(rest);
    });

    std::size_t kept = 0;
    std::size_t received = 0;
    while (received < stream.size()) {
        ASSERT_LT(kept, kBatchCapacity) << "a full buffer was carried: no room for more";
        const Batch batch = collect(kept);
        ASSERT_LE(batch.length, kBatchCapacity);
        ASSERT_EQ(batch.end, BatchEnd::data);
        received += batch.length - kept;
        kept = forward_batch(buffer_.data(), batch.length, false, record_line);
    }
    client.join();
    EXPECT_EQ(kept, 0U);

    const Lines& lines = recorded_lines();
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines.front(), "before");
    EXPECT_EQ(lines.back(), "after");
    std::string joined;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), kBatchCapacity) << "piece " << i;
        joined += lines[i];
    }
    EXPECT_EQ(joined.size(), line.size());
    EXPECT_TRUE(joined == line) << "the pieces do not add up to the line";
}

// --- The relay's rounds on the daemon's relay link ---------------------------------

int answer_fd = -1;
void answer() {
    (void)!write(answer_fd, "answer\n", 7);
}

// The daemon's relay link over the test's FIFO; the test plays both threads
// in turn, so every order is the one it chose.
class RelayRound : public FifoTest {
protected:
    void SetUp() override {
        FifoTest::SetUp();
        ASSERT_TRUE(open_channel(relay_link));
        relay_link.running = true;
        relay_link.fifo = relay_link.reader.fifo = reader_;
    }
    void TearDown() override {
        close_channel(relay_link);
        for (int fd : {relay.old.fifo, relay_link.reader.fifo}) {
            if (fd >= 0 && fd != reader_) {
                close(fd);
            }
        }
        relay_link.running = false;
        relay_link.reader.consumed = 0;
        relay_link.sent = relay_link.unsent = relay_link.logged = 0;
        relay_link.dropped_end = kNoPosition;
        FifoTest::TearDown();
    }
    // The relay reads what is waiting, then settles.
    void read_and_settle() {
        relay.held.length = read_fifo(relay_link.reader, relay.held.buffer, relay.held.length);
        settle(relay);
    }
    static Lines logged() {
        Lines texts;
        for (const LogRecord& record : logged_records()) {
            texts.push_back(record.text);
        }
        return texts;
    }

    std::vector<char> held_ = std::vector<char>(kBatchCapacity + 1);
    std::vector<char> old_ = std::vector<char>(kBatchCapacity + 1);
    Relay relay{{held_.data(), 0, 0}, {-1, old_.data(), 0}};
};

TEST_F(RelayRound, ForwardsUpToAPositionAndNoFurther) {
    write_all("one\ntwo\nthree\n");
    forward_to(relay.held, relay_link.reader, 10, false, record_line);  // a message within "three"
    EXPECT_EQ(relay_link.reader.consumed, 10U) << "read past the position";
    forward_to(relay.held, relay_link.reader, 11, true, record_line);  // a client's end within it
    forward_to(relay.held, relay_link.reader, 100, false, record_line);  // bytes missing: what is there
    EXPECT_EQ(recorded_lines(), (Lines{"one", "two", "thr", "ee"}));
    EXPECT_EQ(relay.held.base, 14U);
}

TEST_F(RelayRound, HandlesRecordsBeforeForwardingWhatItRead) {
    write_all("a\n");
    log_event(LOG_NOTICE, "message");
    write_all("b\n");
    read_and_settle();
    EXPECT_EQ(logged(), (Lines{"a", "message", "b"}));
}

TEST_F(RelayRound, ActionComesAfterItsMessageIsStamped) {
    answer_fd = writer_;
    write_all("before\n");
    log_event_then(answer, LOG_NOTICE, "sending SIGTERM");
    read_and_settle();
    EXPECT_EQ(logged(), (Lines{"before", "sending SIGTERM", "answer"}));
}

// Under the thread sanitizer: a stamp and a read that do not share the lock.
TEST_F(RelayRound, StampsTakenWhileTheRelayReadsCountEveryByteOnce) {
    constexpr std::size_t kRecords = 300;
    std::jthread reader([] {
        std::vector<char> buffer(kBatchCapacity + 1);
        for (std::size_t total = 0; total < 2 * kRecords;) {
            total += read_fifo(relay_link.reader, buffer.data(), 0);
        }
    });
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < kRecords; ++i) {
        write_all("x\n");
        RelayRecord record{};
        ASSERT_TRUE(stamp_and_send(relay_link, record));
        EXPECT_EQ(record.position, last + 2);
        last = record.position;
    }
}

// With the channel full, a client's end and the child's report are dropped:
// the end still ends the client's line, and every drop is counted, once.
TEST_F(RelayRound, FullChannelDropsCountsAndStillEndsTheLine) {
    write_all("tail one");
    int sent = 0;
    while (relay_link.unsent == 0) {
        log_event(LOG_NOTICE, "message %d", ++sent);  // the last of them is dropped
    }
    log_client_end(LOG_NOTICE, "terminated with exit code 1");
    prepare_client_output();
    report_client_output_failure();
    write_all("next line\n");
    settle(relay);
    log_event(LOG_NOTICE, "after");
    read_and_settle();
    log_event(LOG_NOTICE, "later");
    settle(relay);
    EXPECT_GE(sent, 100) << "the channel holds a few hundred messages";
    const Lines texts = logged();
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(sent - 1 + 5));
    EXPECT_EQ(texts[sent - 2], "message " + std::to_string(sent - 1));
    EXPECT_EQ(Lines(texts.end() - 5, texts.end()),
              (Lines{"tail one", "next line", "3 messages not logged: the system logger fell behind", "after",
                     "later"}));
}

TEST_F(RelayRound, StopForwardsTheLastUnterminatedLine) {
    write_all("late words");
    RelayRecord stop{};
    stop.kind = RecordKind::stop;
    ASSERT_TRUE(stamp_and_send(relay_link, stop));
    settle(relay);
    EXPECT_EQ(logged(), Lines{"late words"});
    char answer = 0;
    EXPECT_EQ(read(relay_link.answers[0], &answer, 1), 1);
}

// A switch while a process the client left behind still writes to the old
// FIFO: that FIFO is read until its writer has gone, which is neither
// blocked nor killed (SIGPIPE would end the test).
TEST_F(RelayRound, SwitchReadsTheOldFifoUntilItsWritersHaveGone) {
    relay_link.fifo = relay_link.reader.fifo = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    const std::string next = directory_ + "/next";
    ASSERT_EQ(mkfifo(next.c_str(), 0600), 0);
    const int next_keeper = open(next.c_str(), O_RDWR | O_NONBLOCK);
    RelayRecord change{};
    change.kind = RecordKind::switch_fifo;
    change.fifo = open(next.c_str(), O_RDONLY | O_NONBLOCK);
    write_all("before\n");
    ASSERT_TRUE(stamp_and_send(relay_link, change));
    relay_link.fifo = change.fifo;
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
    EXPECT_EQ(relay.old.fifo, -1) << "the old FIFO is closed once its writers have gone";
    close(next_keeper);
    unlink(next.c_str());
}

TEST(Clock, IsTheMonotonicClockInMilliseconds) {
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const std::int64_t now = monotonic_millis();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(now, before.tv_sec * 1000 + before.tv_nsec / 1000000);
    EXPECT_LE(now, after.tv_sec * 1000 + after.tv_nsec / 1000000);
}

}  // namespace
