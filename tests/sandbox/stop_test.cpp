// Stop: SIGINT, SIGTERM and SIGQUIT end the client with SIGTERM, then the daemon.

#include "fixture.h"

#include <csignal>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>

namespace {

using StopTest = SandboxTest;

class StopBySignalTest : public SandboxTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopBySignalTest, EndsTheClientWithSigtermAndExitsZero) {
    const int sig = GetParam();
    box->set_client(kRecordPid + "exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_EQ(kill(daemon.pid, sig), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    const std::string stop =
        "sending SIGTERM to vpnc(" + std::to_string(client) + ") due to signal " + std::to_string(sig);
    EXPECT_EQ(box->texts(), (std::vector<std::string>{"starting vpnc", stop, "terminated by signal 15"}));
    EXPECT_FALSE(sandbox::process_alive(client));
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, StopBySignalTest, ::testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// A client that ignores SIGTERM, and says so once it does: only then may the
// test stop the daemon, or the SIGTERM could reach the client first.
class IgnoringClientTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (box) {
            box->set_client(kRecordPid + "exec \"$CLIENT\" term ignore out 'ignoring\\n' hold");
        }
    }
};

TEST_F(IgnoringClientTest, ClientIgnoringSigtermGetsItOnceASecondUntilItEnds) {
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_TRUE(box->wait_for_text("ignoring", 5s));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    const std::string stop = "sending SIGTERM to vpnc(" + std::to_string(client) + ") due to signal 15";
    ASSERT_TRUE(box->wait_for_text(stop, 5s, 3)) << ::testing::PrintToString(box->texts());
    std::vector<sandbox::Frame> stops;
    for (const sandbox::Frame& frame : box->frames()) {
        if (frame.text == stop) {
            stops.push_back(frame);
        }
    }
    for (std::size_t i = 1; i < stops.size(); ++i) {
        const double gap = std::chrono::duration<double>(stops[i].received - stops[i - 1].received).count();
        EXPECT_GE(gap, 0.8);
        EXPECT_LE(gap, 1.6);
    }
    EXPECT_TRUE(sandbox::process_alive(daemon.pid));
    EXPECT_TRUE(sandbox::process_alive(client));

    ASSERT_EQ(kill(client, SIGKILL), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    EXPECT_EQ(box->texts().back(), "terminated by signal 9");
}

TEST_F(IgnoringClientTest, FirstOfTwoStopSignalsWins) {
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_TRUE(box->wait_for_text("ignoring", 5s));
    ASSERT_EQ(kill(daemon.pid, SIGINT), 0);
    const std::string by_int = "sending SIGTERM to vpnc(" + std::to_string(client) + ") due to signal 2";
    ASSERT_TRUE(box->wait_for_text(by_int, 3s));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    ASSERT_EQ(kill(daemon.pid, SIGQUIT), 0);
    ASSERT_TRUE(box->wait_for_text(by_int, 4s, 3)) << ::testing::PrintToString(box->texts());
    ASSERT_EQ(kill(client, SIGKILL), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    for (const std::string& text : box->texts()) {
        EXPECT_EQ(text.find("due to signal 15"), std::string::npos);
        EXPECT_EQ(text.find("due to signal 3"), std::string::npos);
    }
}

TEST_F(StopTest, StopDuringThePauseLaunchesNothingMore) {
    box->set_client("exit 4");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 4", 5s));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 2s), 0);
    EXPECT_EQ(box->texts(), (std::vector<std::string>{"starting vpnc", "terminated with exit code 4"}));
}

TEST_F(StopTest, ClientOfAKilledDaemonKeepsTheLockUntilItEnds) {
    box->set_client(kRecordPid + "exec \"$CLIENT\" hold");
    sandbox::Daemon first = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_EQ(kill(first.pid, SIGKILL), 0);
    ASSERT_TRUE(box->wait_exit(first, 2s));

    sandbox::Daemon refused = box->start();
    EXPECT_EQ(box->exit_status(refused, 2s), 0);
    EXPECT_TRUE(texts_from(refused.pid).empty());
    EXPECT_TRUE(sandbox::process_alive(client));

    ASSERT_EQ(kill(client, SIGKILL), 0);
    for (int i = 0; i < 200 && sandbox::process_alive(client); ++i) {
        box->frames();
        usleep(10000);
    }
    sandbox::Daemon next = box->start();
    ASSERT_TRUE(box->wait_for([&](const auto& frames) {
        return std::any_of(frames.begin(), frames.end(), [&](const sandbox::Frame& frame) {
            return frame.pid == next.pid && frame.text == "starting vpnc";
        });
    }, 5s));
}

TEST_F(StopTest, ClientsLastWordsOnSigtermReachTheLogBeforeTheDaemonExits) {
    box->set_client("exec \"$CLIENT\" term bye out 'up\\n' hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("up", 5s));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    const auto texts = box->texts();
    ASSERT_EQ(texts.size(), 5u) << ::testing::PrintToString(texts);
    EXPECT_EQ(texts[3], "bye");
    EXPECT_EQ(texts[4], "terminated with exit code 0");
}

TEST_F(StopTest, SlowLoggerStillGetsTheClientsLastLinesBeforeItsEnd) {
    // A logger that takes 5 ms a message behind a short queue: the relay is
    // still forwarding for seconds after the client has ended.
    constexpr int kLines = 600;
    constexpr std::size_t kWidth = 80;
    box->set_client("exec \"$CLIENT\" lines " + std::to_string(kLines) + " " + std::to_string(kWidth) + " hold");
    sandbox::Daemon daemon = box->start();
    std::vector<std::string> texts;
    int status = -1;
    char datagram[65536];
    for (const auto deadline = sandbox::Clock::now() + 30s; sandbox::Clock::now() < deadline;) {
        std::this_thread::sleep_for(5ms);
        const ssize_t length = recv(box->log_socket(), datagram, sizeof datagram, 0);
        if (length > 0) {
            texts.push_back(sandbox::parse_frame(std::string(datagram, static_cast<std::size_t>(length)))->text);
            if (texts.size() == 2) {
                ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
            }
        } else if (waitpid(daemon.pid, &status, WNOHANG) == daemon.pid) {
            break;
        }
    }
    EXPECT_EQ(status, 0);
    std::erase_if(texts, [](const std::string& text) { return text.starts_with("sending SIGTERM"); });
    std::vector<std::string> expected{"starting vpnc"};
    for (int i = 1; i <= kLines; ++i) {
        expected.push_back(numbered_line(i, kWidth));
    }
    expected.push_back("terminated by signal 15");
    ASSERT_EQ(texts.size(), expected.size());
    EXPECT_EQ(texts, expected);
}

// The stop comes in the pause after the client's end, while a slow logger is
// still taking its last lines: the daemon exits only once all are logged.
TEST_F(StopTest, StopInThePauseWaitsForTheClientsLastLinesBehindASlowLogger) {
    constexpr int kLines = 600;
    constexpr std::size_t kWidth = 80;
    box->set_client(kRecordPid + "\"$CLIENT\" lines " + std::to_string(kLines) + " " + std::to_string(kWidth) +
                    "\nexit 3");
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    std::vector<std::string> texts;
    int status = -1;
    bool stopped = false;
    char datagram[65536];
    for (const auto deadline = sandbox::Clock::now() + 30s; sandbox::Clock::now() < deadline;) {
        std::this_thread::sleep_for(5ms);
        // Reaped by the daemon: its end is noticed, the pause has begun.
        if (!stopped && kill(client, 0) != 0) {
            ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
            stopped = true;
        }
        const ssize_t length = recv(box->log_socket(), datagram, sizeof datagram, 0);
        if (length > 0) {
            texts.push_back(sandbox::parse_frame(std::string(datagram, static_cast<std::size_t>(length)))->text);
        } else if (waitpid(daemon.pid, &status, WNOHANG) == daemon.pid) {
            break;
        }
    }
    EXPECT_EQ(status, 0);
    std::vector<std::string> expected{"starting vpnc"};
    for (int i = 1; i <= kLines; ++i) {
        expected.push_back(numbered_line(i, kWidth));
    }
    expected.push_back("terminated with exit code 3");
    EXPECT_EQ(texts, expected);
}

// A logger that never reads again: the stop still ends the daemon once its
// 20 s are up, and standard error says what was left: here the client's
// SIGTERM message and its end, both behind lines the logger never took.
TEST_F(StopTest, StopBehindALoggerThatNeverReadsEndsWithAReport) {
    box->set_client_ops({"lines", "100", "80", "hold"});
    sandbox::Daemon daemon = box->start();
    const auto sending = [](long call) { return call == SYS_sendto; };
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s));
    const std::vector<pid_t> threads = other_threads(daemon.pid);
    ASSERT_EQ(threads.size(), 1u);
    ASSERT_TRUE(await_blocked(daemon.pid, threads[0], sending)) << "the relay never had to wait for the logger";
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    const std::optional<int> status = sandbox::await_exit(daemon.pid, 25s);  // the log socket stays unread
    ASSERT_TRUE(status) << "the stop waited on the logger for more than 25 s";
    EXPECT_EQ(*status, 0);
    // The byte count between these two is digits alone.
    const std::string report = read_file(daemon.stderr_path);
    const std::string head = "quorVixd: not all logged within 20 s of the stop: at least ";
    const std::string tail = " bytes of client output and 2 messages left unlogged\n";
    EXPECT_TRUE(report.size() > head.size() + tail.size() && report.starts_with(head) && report.ends_with(tail) &&
                report.find_first_not_of("0123456789", head.size()) == report.size() - tail.size())
        << report;
}

// The relay's descriptors are not the client's: once the daemon is gone the
// FIFO has no reader, and a client that writes gets SIGPIPE instead of
// blocking for ever with the lock in hand.
TEST_F(StopTest, ClientWritingAfterTheDaemonWasKilledDiesOfSigpipe) {
    box->set_client(kRecordPid + "echo up\nwhile [ ! -e /run/go ]; do sleep 0.02; done\necho after");
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_TRUE(box->wait_for_text("up", 5s));
    ASSERT_EQ(kill(daemon.pid, SIGKILL), 0);
    ASSERT_TRUE(box->wait_exit(daemon, 2s));
    std::fclose(std::fopen((box->run_dir() + "/go").c_str(), "w"));
    // The orphaned client comes back to the sandbox, which reaps it.
    int status = 0;
    pid_t ended = 0;
    for (const auto deadline = sandbox::Clock::now() + 5s; (ended = waitpid(client, &status, WNOHANG)) == 0;) {
        ASSERT_LT(sandbox::Clock::now(), deadline) << "the client is still writing";
        usleep(10000);
    }
    ASSERT_EQ(ended, client);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
}

}  // namespace
