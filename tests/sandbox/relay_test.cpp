// The relay: what the client writes, line by line, in the log.

#include "fixture.h"
#include "relay/lines.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

using RelayTest = SandboxTest;

std::vector<std::string> without(std::vector<std::string> texts, const std::vector<std::string>& dropped) {
    std::erase_if(texts, [&](const std::string& text) {
        return std::find(dropped.begin(), dropped.end(), text) != dropped.end();
    });
    return texts;
}

TEST_F(RelayTest, LinesFollowTheRules) {
    box->set_client(
        "exec \"$CLIENT\" out '   three spaces\\n\\ttab kept\\n\\n    \\n\\n\\n"
        "has [bracket]\\n[first\\nlast[\\nnul\\0[after\\n"
        "cr\\r\\npercent %s %d %n\\nnul\\0ends it\\n  \\0\\nhigh \\xc3\\xa9\\xff\\ntrailing  \\n' out 'end\\n' hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("end", 5s));
    EXPECT_EQ(without(box->texts(), {"starting vpnc"}),
              (std::vector<std::string>{"three spaces", "\ttab kept", "cr\r", "percent %s %d %n", "nul", "",
                                        "high \xc3\xa9\xff", "trailing  ", "end"}));
    for (const sandbox::Frame& frame : box->frames()) {
        EXPECT_EQ(frame.priority, kNotice);
        EXPECT_EQ(frame.pid, daemon.pid);
    }
}

TEST_F(RelayTest, StdoutAndStderrArriveInWriteOrder) {
    box->set_client("exec \"$CLIENT\" out 'one\\n' err 'two\\n' out 'three\\n' err 'four\\n' hold");
    box->start();
    ASSERT_TRUE(box->wait_for_text("four", 5s));
    EXPECT_EQ(without(box->texts(), {"starting vpnc"}), (std::vector<std::string>{"one", "two", "three", "four"}));
}

TEST_F(RelayTest, BurstOfThousandsOfLinesArrivesCompleteAndInOrder) {
    constexpr int kLines = 5000;
    constexpr std::size_t kWidth = 80;
    box->set_client("exec \"$CLIENT\" lines " + std::to_string(kLines) + " " + std::to_string(kWidth) + " hold");
    box->start();
    ASSERT_TRUE(box->wait_for([](const auto& frames) { return frames.size() >= kLines + 1; }, 20s))
        << box->frames().size();
    const auto texts = without(box->texts(), {"starting vpnc"});
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(texts[i], numbered_line(i + 1, kWidth)) << "line " << i + 1;
    }
}

TEST_F(RelayTest, LongLineArrivesWholeInPieces) {
    constexpr std::size_t kLength = 20000;
    box->set_client("exec \"$CLIENT\" long " + std::to_string(kLength) + " out 'after\\n' hold");
    box->start();
    ASSERT_TRUE(box->wait_for_text("after", 5s));
    const auto texts = without(box->texts(), {"starting vpnc", "after"});
    std::string joined;
    for (const std::string& piece : texts) {
        EXPECT_LE(piece.size(), kBatchCapacity);
        joined += piece;
    }
    std::string expected(kLength, ' ');
    for (std::size_t i = 0; i < kLength; ++i) {
        expected[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(texts.size(), 3u);
}

TEST_F(RelayTest, LinePausedInTheMiddleArrivesWhole) {
    box->set_client("exec \"$CLIENT\" out 'first half, ' sleep 1600 out 'second half\\n' hold");
    box->start();
    ASSERT_TRUE(box->wait_for_text("first half, second half", 6s));
    EXPECT_EQ(without(box->texts(), {"starting vpnc"}), (std::vector<std::string>{"first half, second half"}));
}

TEST_F(RelayTest, UnterminatedLineIsLoggedAfterFiveSecondsOfSilence) {
    box->set_client("exec \"$CLIENT\" out 'no newline yet' hold");
    box->start();
    ASSERT_TRUE(box->wait_for_text("no newline yet", 9s));
}

TEST_F(RelayTest, ClientsLastLinesPrecedeTheNewsOfItsEnd) {
    box->set_client("exec \"$CLIENT\" out 'one\\ntwo\\n' err 'three, unterminated' exit 5");
    box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 5", 5s, 2));
    EXPECT_EQ(box->texts(),
              (std::vector<std::string>{"starting vpnc", "one", "two", "three, unterminated",
                                        "terminated with exit code 5", "starting vpnc", "one", "two",
                                        "three, unterminated", "terminated with exit code 5"}));
}

TEST_F(RelayTest, FifoRemovedOrReplacedIsRecreatedBeforeTheNextClient) {
    box->set_client("exec \"$CLIENT\" out 'hello\\n' exit 0");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("hello", 5s));
    const auto descriptors = [&] {
        const std::string dir = "/proc/" + std::to_string(daemon.pid) + "/fd";
        return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
    };
    const auto before = descriptors();
    const std::string fifo = box->run_dir() + "/quorVix.fifo";
    const std::string warning = "re-created fifo /var/run/quorVix.fifo: it had been removed or replaced";
    // Removed; then a regular file in its place; then a FIFO nobody reads.
    const std::function<void()> damage[] = {
        [&] { unlink(fifo.c_str()); },
        [&] { unlink(fifo.c_str()), std::fclose(std::fopen(fifo.c_str(), "w")); },
        [&] { unlink(fifo.c_str()), mkfifo(fifo.c_str(), 0600); },
    };
    for (std::size_t round = 1; round <= std::size(damage); ++round) {
        damage[round - 1]();
        ASSERT_TRUE(box->wait_for_text(warning, 5s, round));
        ASSERT_TRUE(box->wait_for_text("hello", 5s, box->count("hello") + 2)) << "round " << round;
    }
    EXPECT_EQ(descriptors(), before);
    struct stat found {};
    ASSERT_EQ(lstat(fifo.c_str(), &found), 0);
    EXPECT_TRUE(S_ISFIFO(found.st_mode));
    EXPECT_EQ(box->count("Preparing STDERR_FILENO failed"), 0u);
    for (const sandbox::Frame& frame : box->frames()) {
        EXPECT_EQ(frame.priority, frame.text == warning ? (LOG_DAEMON | LOG_WARNING) : kNotice);
    }
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 4s), 0);
}

// The FIFO is removed while processes the first client left behind still
// write to it: one floods it faster than the (slow) logger takes lines, one
// writes now and then. The switch forwards what the old FIFO held and reads
// it beside the new one, so the next client is logged at once, and the
// writer that outlived its client is neither blocked nor killed.
TEST_F(RelayTest, SwitchWithWritersLeftOnTheOldFifoNeitherWedgesNorKills) {
    box->set_client("[ -e /run/second ] && exec \"$CLIENT\" out 'second client\\n' hold\n"
                    "touch /run/second\n" + kRecordPid +
                    "yes \"flood $(printf %4000s '')\" &\n"
                    "exec \"$CLIENT\" grandchild 400 'left behind\\n' out 'first\\n' hold");
    box->set_pace(5ms);
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_TRUE(box->wait_for_text("first", 10s));
    ASSERT_EQ(unlink((box->run_dir() + "/quorVix.fifo").c_str()), 0);
    ASSERT_EQ(kill(client, SIGKILL), 0);
    EXPECT_TRUE(box->wait_for_text("second client", 10s)) << "the relay is stuck on the old FIFO";
    EXPECT_TRUE(box->wait_for_text("left behind", 10s, 10));
    box->set_pace(0ms);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 10s), 0);
}

// Two switches within one background writer's life: each FIFO is read until
// its last writer has gone, so all 40 of its lines arrive, in order, beside
// the clients that follow.
TEST_F(RelayTest, EveryOldFifoIsReadUntilItsLastWriterHasGone) {
    box->set_client(kRecordPid + "[ -e /run/second ] && exec \"$CLIENT\" out 'next client\\n' hold\n"
                    "touch /run/second\n"
                    "for i in $(seq 40); do echo \"bg $i\"; case $i in 10|20) until [ -e /run/go$i ]; do "
                    "sleep 0.02; done;; esac; done &\n"
                    "exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    for (int round : {10, 20}) {
        ASSERT_TRUE(box->wait_for_text("bg " + std::to_string(round), 10s));
        ASSERT_EQ(unlink((box->run_dir() + "/quorVix.fifo").c_str()), 0);
        ASSERT_EQ(kill(client_pid(), SIGKILL), 0);
        ASSERT_TRUE(box->wait_for_text("next client", 10s, round / 10));
        std::ofstream(box->run_dir() + "/go" + std::to_string(round)).put('\n');
    }
    ASSERT_TRUE(box->wait_for_text("bg 40", 10s));
    std::vector<std::string> lines;
    for (const std::string& text : box->texts()) {
        if (text.rfind("bg ", 0) == 0) {
            lines.push_back(text);
        }
    }
    ASSERT_EQ(lines.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(lines[i], "bg " + std::to_string(i + 1));
    }
}

TEST_F(RelayTest, DirectoryAtTheFifoPathFailsTheClientAndIsLeftAlone) {
    box->set_client("exec \"$CLIENT\" out 'hello\\n' exit 0");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("hello", 5s));
    const std::string fifo = box->run_dir() + "/quorVix.fifo";
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkdir(fifo.c_str(), 0700), 0);
    ASSERT_TRUE(box->wait_for_text("Preparing STDERR_FILENO failed", 5s, 2));
    for (const sandbox::Frame& frame : box->frames()) {
        if (frame.text == "Preparing STDERR_FILENO failed") {
            EXPECT_EQ(frame.priority, kError);
            EXPECT_EQ(frame.pid, daemon.pid) << "the identity carries the daemon's pid";
        }
    }
    EXPECT_GE(box->count("terminated with exit code 1"), 1u);
    struct stat found {};
    ASSERT_EQ(lstat(fifo.c_str(), &found), 0);
    EXPECT_TRUE(S_ISDIR(found.st_mode));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
}

TEST_F(RelayTest, RelayThatCannotOpenTheFifoLeavesTheDaemonWorking) {
    // Room for the standard descriptors, the lock, the wake-up pipe and the
    // log, but not for the relay's FIFO descriptor.
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start({.max_descriptors = 7});
    ASSERT_TRUE(box->wait_for_text("Openning fifo failed: Too many open files", 5s));
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 1", 5s, 2));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
}

TEST_F(RelayTest, ClientFindingNoReaderFailsAtOnceAndTheDaemonStaysStoppable) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the daemon as another user: run scripts/test.sh as root";
    }
    // The daemon's user may have two processes and one is taken: the relay
    // thread cannot be created, and the FIFO has no reader.
    box->set_client("exec \"$CLIENT\" hold");
    bool refused = false;
    sandbox::Daemon daemon =
        start_crowded(2, "cannot start relay thread: Resource temporarily unavailable", 1, refused);
    ASSERT_TRUE(refused);
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 1", 5s));
    EXPECT_EQ(index_of("Preparing STDERR_FILENO failed") + 1, index_of("terminated with exit code 1"));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
}

}  // namespace
