// Batch collection on a real FIFO, opened the way the relay thread opens it,
// with the test as the client writing into it. The waits take budgets that
// the cases set short, except where a case measures the budget itself.

#include "fifo_test.h"
#include "relay/channel.h"
#include "relay/order.h"

#include <csignal>
#include <pthread.h>
#include <time.h>

namespace {

// The helper threads below stand for the client or the main thread; they are
// std::jthread so that a failed assertion, which leaves the case early, still
// joins them.
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class BatchTest : public FifoTest {
protected:
    void SetUp() override {
        FifoTest::SetUp();
        fifo_.fifo = reader_;
    }

    // Places `kept` at the front of the buffer, as a previous batch left it.
    std::size_t carry(std::string_view kept) {
        std::memcpy(buffer_.data(), kept.data(), kept.size());
        return kept.size();
    }

    // One batch wait, as the relay thread waits when it reads no old FIFO.
    Batch collect(std::size_t kept, int records = -1) {
        pollfd fds[2] = {{reader_, POLLIN, 0}, {records, POLLIN, 0}};
        return collect_batch(fifo_, fds, 2, buffer_.data(), kept, kept > 0, budgets_);
    }

    std::string front(std::size_t length) const {
        return {buffer_.data(), length};
    }

    FifoReader fifo_;
    // Unless a case says otherwise: no idle end, no gathering after the first
    // read.
    RelayBudgets budgets_{60 * 1000, 0};
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

class BatchCollection : public BatchTest {};

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

class Gathering : public BatchTest {};

TEST_F(Gathering, JoinsPartsWrittenWithinTheBudget) {
    budgets_.gather_millis = 600;
    std::jthread client([this] {
        write_all("written in ");
        pause_for(milliseconds(100));
        write_all("two parts\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "written in two parts\n");
}

TEST_F(Gathering, SharesOneBudgetBetweenTheWaitsOfABatch) {
    budgets_.gather_millis = 700;
    // Each part comes within the budget of the one before it, but the third
    // comes after the batch's budget is used up.
    std::jthread client([this] {
        write_all("one ");
        pause_for(milliseconds(350));
        write_all("two ");
        pause_for(milliseconds(630));
        write_all("three\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "one two ");
    EXPECT_EQ(leftover(), "three\n");
}

TEST_F(Gathering, EndsAsSoonAsTheBatchIsFull) {
    budgets_.gather_millis = 1000;
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
class InterruptedWait : public BatchTest {
protected:
    void SetUp() override {
        BatchTest::SetUp();
        struct sigaction action {};
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_), 0);
        waiter_ = pthread_self();
    }
    void TearDown() override {
        sigaction(SIGUSR1, &previous_, nullptr);
        BatchTest::TearDown();
    }
    void interrupt_waiter() const { pthread_kill(waiter_, SIGUSR1); }

    struct sigaction previous_ {};
    pthread_t waiter_{};
};

TEST_F(InterruptedWait, KeepsWaitingForTheFirstDataWithoutAnError) {
    const std::size_t kept = carry("tail ");
    std::jthread client([this] {
        pause_for(milliseconds(100));
        interrupt_waiter();
        pause_for(milliseconds(100));
        write_all("more\n");
    });
    const Batch batch = collect(kept);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "tail more\n");
    EXPECT_TRUE(logged_records().empty()) << logged_records()[0].text;
}

TEST_F(InterruptedWait, KeepsGatheringTheBatch) {
    budgets_.gather_millis = 600;
    std::jthread client([this] {
        write_all("before ");
        pause_for(milliseconds(100));
        interrupt_waiter();
        pause_for(milliseconds(100));
        write_all("after\n");
    });
    const Batch batch = collect(0);
    client.join();
    EXPECT_EQ(batch.end, BatchEnd::data);
    EXPECT_EQ(front(batch.length), "before after\n");
}

// --- Records from the main thread --------------------------------------------------

class PendingRecord : public BatchTest {};

TEST_F(PendingRecord, EndsTheWaitWithTheCarriedBytes) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    const std::size_t kept = carry("unterminated");
    std::jthread main_thread([&channel] {
        pause_for(milliseconds(100));
        channel.send("starting vpnc");
    });
    const auto start = Clock::now();
    const Batch batch = collect(kept, channel.relay_end());
    const auto waited = Clock::now() - start;
    main_thread.join();
    EXPECT_EQ(batch.end, BatchEnd::other);
    EXPECT_EQ(front(batch.length), "unterminated");
    EXPECT_LT(waited, milliseconds(budgets_.idle_millis));
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
    budgets_.gather_millis = 5000;
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    const std::size_t kept = carry("old ");
    std::jthread main_thread([this, &channel] {
        write_all("new ");
        pause_for(milliseconds(100));
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

// --- The idle end -----------------------------------------------------------------

class IdleEnd : public BatchTest {
protected:
    void SetUp() override {
        BatchTest::SetUp();
        budgets_.idle_millis = 200;
    }
};

TEST_F(IdleEnd, EndsAnIdleWaitWhenATailIsCarried) {
    const std::size_t kept = carry("no newline yet");
    const auto start = Clock::now();
    const Batch batch = collect(kept);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(batch.end, BatchEnd::idle);
    EXPECT_EQ(front(batch.length), "no newline yet");
    EXPECT_GE(waited, milliseconds(budgets_.idle_millis - 10));
    EXPECT_LT(waited, milliseconds(budgets_.idle_millis + 1500));
}

TEST_F(IdleEnd, KeepsWaitingWhenNothingIsCarried) {
    RecordChannel channel;
    ASSERT_TRUE(channel.open());
    std::jthread main_thread([this, &channel] {
        pause_for(milliseconds(2 * budgets_.idle_millis));
        channel.send("x");
    });
    const Batch batch = collect(0, channel.relay_end());
    main_thread.join();
    EXPECT_EQ(batch.end, BatchEnd::other) << "an idle end with nothing to flush";
    EXPECT_EQ(batch.length, 0U);
}

// --- A line longer than a batch ----------------------------------------------------

class LongLine : public BatchTest {};

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

TEST(Clock, IsTheBootClockInMilliseconds) {
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_BOOTTIME, &before);
    const std::int64_t now = clock_millis();
    clock_gettime(CLOCK_BOOTTIME, &after);
    EXPECT_GE(now, before.tv_sec * 1000 + before.tv_nsec / 1000000);
    EXPECT_LE(now, after.tv_sec * 1000 + after.tv_nsec / 1000000);
}

}  // namespace
