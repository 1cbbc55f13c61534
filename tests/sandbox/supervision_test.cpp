// Supervision: the client's launch, its end, and the restart that follows.

#include "fixture.h"
#include "supervisor/supervisor.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

using SupervisionTest = SandboxTest;

constexpr double kPause = kRestartPauseMillis / 1000.0;  // seconds

double seconds_between(const sandbox::Frame& earlier, const sandbox::Frame& later) {
    return std::chrono::duration<double>(later.received - earlier.received).count();
}

std::vector<sandbox::Frame> frames_with(sandbox::Sandbox& box, const std::string& text) {
    std::vector<sandbox::Frame> found;
    for (const sandbox::Frame& frame : box.frames()) {
        if (frame.text == text) {
            found.push_back(frame);
        }
    }
    return found;
}

TEST_F(SupervisionTest, ClientGetsItsCommandLineAndTheInstanceLock) {
    box->set_client_ops({"record", "/run/record", "hold"});
    sandbox::Daemon daemon = box->start({.environment = {"NOTIFY_SOCKET=" + box->root() + "/dev/log"}});
    const std::string record = box->wait_for_run_file("record", 5s);
    std::vector<std::string> argv, fds;
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("argv ", 0) == 0) {
            argv.push_back(line.substr(5));
        } else if (line.rfind("fd ", 0) == 0) {
            fds.push_back(line.substr(3));
        }
    }
    EXPECT_EQ(argv, (std::vector<std::string>{"/opt/quorVix/bin/vpnc", "--script", "/opt/quorVix/etc/quorvix-script",
                                              "--no-detach", "/var/run/vpnc/vpnc.conf"}));
    int on_lock = 0, on_fifo = 0, others = 0;
    for (const std::string& fd : fds) {
        on_lock += fd.find("/run/quorVixd.pid") != std::string::npos;
        on_fifo += fd.find("/run/quorVix.fifo") != std::string::npos;
        others += fd.find("socket:") != std::string::npos || fd.find("pipe:") != std::string::npos ||
                  fd.find("anon_inode:") != std::string::npos;
    }
    EXPECT_EQ(on_lock, 1) << record;
    EXPECT_EQ(on_fifo, 2) << "stdout and stderr: the relay's own descriptor stays with the daemon\n" << record;
    EXPECT_EQ(others, 0) << "the log, the channel, the wake-up pipe, the pidfd and the notify socket stay with "
                            "the daemon\n" << record;
    EXPECT_NE(std::find(fds.begin(), fds.end(), "1 /run/quorVix.fifo"), fds.end()) << record;
    EXPECT_NE(std::find(fds.begin(), fds.end(), "2 /run/quorVix.fifo"), fds.end()) << record;
    EXPECT_NE(std::find(fds.begin(), fds.end(), "0 /dev/null"), fds.end()) << record;
}

TEST_F(SupervisionTest, RestartsAnEndedClientOneToTwoSecondsLater) {
    box->set_client("exit 1");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 9s, 4));
    const auto starts = frames_with(*box, "starting vpnc");
    for (std::size_t i = 1; i < starts.size(); ++i) {
        const double gap = seconds_between(starts[i - 1], starts[i]);
        EXPECT_GE(gap, kPause - 0.1) << "restart " << i;
        EXPECT_LE(gap, kPause + 1.6) << "restart " << i;
    }
    // Nothing but the two messages, alternating.
    const auto texts = texts_from(daemon.pid);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i], i % 2 == 0 ? "starting vpnc" : "terminated with exit code 1") << i;
    }
}

// A client that the gateway always refuses is started three times, then not
// for 20 min, and a stop ends that wait at once. NOTIFY_SOCKET names the log
// socket, where the service manager's datagrams arrive as frames of pid 0:
// the daemon's alone, since the client does not find the variable.
TEST_F(SupervisionTest, ThirdRefusalInARowStartsALongWaitThatAStopEnds) {
    box->set_client(kRecordPid + "[ -z \"$NOTIFY_SOCKET\" ] || echo leaked\nexit 2");
    sandbox::Daemon daemon = box->start({.environment = {"NOTIFY_SOCKET=" + box->root() + "/dev/log"}});
    ASSERT_TRUE(box->wait_for([&](const auto&) { return texts_from(0).size() >= 6; }, 20s));
    const std::string refusal = texts_from(0)[5].substr(sizeof "STATUS=" - 1);
    EXPECT_EQ(refusal.rfind("vpnc was refused by the gateway 3 times in a row: next start at ", 0), 0u) << refusal;
    ASSERT_TRUE(box->wait_for_text(refusal, 5s));
    EXPECT_EQ(box->frames()[index_of(refusal)].priority, kError);
    ASSERT_TRUE(await_blocked(daemon.pid, daemon.pid, in_poll));
    const long woken = wakeups(daemon.pid, daemon.pid);
    EXPECT_FALSE(box->wait_for_text("starting vpnc", 3s, 4)) << "a start in the long wait";
    EXPECT_EQ(wakeups(daemon.pid, daemon.pid), woken) << "the main thread woke in the long wait";
    const auto told = texts_from(0);
    EXPECT_EQ(told.size(), 6u) << "READY and five changes of status, then nothing while the daemon waits";
    EXPECT_EQ(told[0].rfind("READY=1\nSTATUS=vpnc(", 0), 0u) << told[0];
    EXPECT_EQ(told[4].rfind("STATUS=vpnc(" + std::to_string(client_pid()) + ") running since ", 0), 0u) << told[4];
    EXPECT_EQ(box->count("leaked"), 0u);
    const auto sent = sandbox::Clock::now();
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    EXPECT_LT(std::chrono::duration<double>(sandbox::Clock::now() - sent).count(), 1.0);
    EXPECT_EQ(texts_from(0).back(), "STOPPING=1\nSTATUS=stopping on signal 15");
}

// The manager's queue is full when the first client starts: READY=1 is sent
// again until it gets through, once, and the send never holds up the loop.
TEST_F(SupervisionTest, ReadyReachesAManagerWhoseQueueWasFull) {
    box->set_client(kRecordPid + "exec \"$CLIENT\" hold");
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/dev/log", box->root().c_str());
    while (sendto(sender, "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1) {
    }
    close(sender);
    sandbox::Daemon daemon = box->start({.environment = {"NOTIFY_SOCKET=" + box->root() + "/dev/log"}});
    ASSERT_GT(client_pid(), 0);
    ASSERT_TRUE(await_blocked(daemon.pid, daemon.pid, in_poll)) << "the main thread is not back in its wait";
    const auto ready = [&](const auto&) {
        const auto told = texts_from(0);
        return std::count_if(told.begin(), told.end(), [](const std::string& text) {
            return text.rfind("READY=1\n", 0) == 0;
        });
    };
    ASSERT_TRUE(box->wait_for([&](const auto& frames) { return ready(frames) > 0; }, 5s));
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 5s), 0);
    EXPECT_EQ(ready(box->frames()), 1);
}

// Exits 2, 2, 1, 2, 2, 1, ...: never three refusals in a row.
TEST_F(SupervisionTest, AnyOtherEndBetweenRefusalsKeepsTheShortPause) {
    box->set_client("n=$(($(cat /run/n 2>/dev/null || echo 0) + 1)); echo $n > /run/n\n"
                    "[ $((n % 3)) = 0 ] && exit 1\nexit 2");
    sandbox::Daemon daemon = box->start();
    EXPECT_TRUE(box->wait_for_text("terminated with exit code 2", 30s, 5));
}

TEST_F(SupervisionTest, ExitCodesAreLoggedAsTheClientGaveThem) {
    box->set_client("[ -e /run/once ] && exit 255\ntouch /run/once\nexit 7");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 255", 6s));
    EXPECT_EQ(index_of("terminated with exit code 7"), 1);
    EXPECT_EQ(box->count("terminated with exit code -1"), 0u);
}

TEST_F(SupervisionTest, MissingExecutableIsAClientThatExitsWithOne) {
    box->remove_client();
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 1", 6s, 2));
    const auto texts = texts_from(daemon.pid);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i], i % 2 == 0 ? "starting vpnc" : "terminated with exit code 1") << i;
    }
    EXPECT_EQ(box->frames().size(), texts.size()) << "no message from anyone else";
}

TEST_F(SupervisionTest, ClientKilledFromOutsideIsLoggedWithItsSignalAndRestarted) {
    box->set_client(kRecordPid + "exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_GT(client, 0);
    ASSERT_EQ(kill(client, SIGKILL), 0);
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s, 2));
    EXPECT_EQ(index_of("terminated by signal 9"), 1);
    EXPECT_EQ(box->count("terminated with exit code 0"), 0u);
}

TEST_F(SupervisionTest, WaitpidFailureIsReportedAndSupervisionGoesOn) {
    // With SIGCHLD ignored the kernel reaps the client, and waitpid fails.
    box->set_client("exit 3");
    sandbox::Daemon daemon = box->start({.ignore_sigchld = true});
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 8s, 3));
    const long failure = index_of("waitpid error: No child processes");
    ASSERT_EQ(failure, 1);
    EXPECT_EQ(box->frames()[failure].priority, kError);
    for (const sandbox::Frame& frame : box->frames()) {
        EXPECT_EQ(frame.text.rfind("terminated", 0), std::string::npos) << frame.text;
    }
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
}

TEST_F(SupervisionTest, FailedLaunchIsLoggedAndRetriedOnceASecond) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the daemon as another user: run scripts/test.sh as root";
    }
    // An unprivileged daemon whose user is at its process limit: the daemon's
    // two threads and one more process. Every vfork fails until that process
    // ends.
    box->set_client("exec \"$CLIENT\" out 'finally\\n' hold");
    bool failed = false;
    start_crowded(3, "launch failed: Resource temporarily unavailable", 3, failed);
    ASSERT_TRUE(failed);
    const auto failures = frames_with(*box, "launch failed: Resource temporarily unavailable");
    EXPECT_EQ(failures[0].priority, kError);
    for (std::size_t i = 1; i < failures.size(); ++i) {
        const double gap = seconds_between(failures[i - 1], failures[i]);
        EXPECT_GE(gap, kPause - 0.1);
        EXPECT_LE(gap, kPause + 0.6);
    }
    EXPECT_TRUE(box->wait_for_text("finally", 5s));
}

TEST_F(SupervisionTest, StopSignalCutsThePauseAfterAFailedLaunchShort) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the daemon as another user: run scripts/test.sh as root";
    }
    // The daemon's two threads are all its user may have.
    ASSERT_EQ(chown(box->run_dir().c_str(), unprivileged_uid(), unprivileged_uid()), 0);
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start({.uid = unprivileged_uid(), .max_processes = 2});
    ASSERT_TRUE(box->wait_for_text("launch failed: Resource temporarily unavailable", 5s));
    const auto sent = sandbox::Clock::now();
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    EXPECT_LT(std::chrono::duration<double>(sandbox::Clock::now() - sent).count(), 0.5);
    EXPECT_EQ(box->count("starting vpnc"), box->count("launch failed: Resource temporarily unavailable"));
}

// The test stops reading its log socket: once ten messages wait there every
// syslog() blocks, as behind a stalled system logger. Neither the relaunches
// nor the stop wait for it, and once it reads again every line is there, in
// order, each client's end after its last line.
TEST_F(SupervisionTest, StalledLoggerHoldsUpNeitherRelaunchesNorTheStop) {
    box->set_client(
        "n=$(($(cat /run/runs 2>/dev/null || echo 0) + 1)); echo $n > /run/runs\n"
        "i=1; while [ $i -le 15 ]; do echo \"run $n line $i\"; i=$((i + 1)); done\n"
        "printf 'run %s unterminated' $n\n"
        "[ -e /run/hold ] && { " + kRecordPid + "exec \"$CLIENT\" hold; }\nexit 1");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 1", 5s));
    const auto runs = [&] { return std::atoi(box->read_run_file("runs").c_str()); };
    const int stalled_at = runs();
    for (const auto deadline = sandbox::Clock::now() + 20s; runs() < stalled_at + 3;) {
        ASSERT_LT(sandbox::Clock::now(), deadline) << "no relaunch behind the stalled logger";
        usleep(20000);
    }
    std::fclose(std::fopen((box->run_dir() + "/hold").c_str(), "w"));
    const pid_t client = client_pid(10000);
    ASSERT_GT(client, 0);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    for (const auto deadline = sandbox::Clock::now() + 3s; sandbox::process_alive(client);) {
        ASSERT_LT(sandbox::Clock::now(), deadline) << "no SIGTERM for the client behind the stalled logger";
        usleep(10000);
    }
    EXPECT_EQ(box->exit_status(daemon, 25s), 0);

    std::vector<std::string> expected;
    for (int run = 1; run <= runs(); ++run) {
        const std::string name = "run " + std::to_string(run);
        expected.push_back("starting vpnc");
        for (int line = 1; line <= 15; ++line) {
            expected.push_back(name + " line " + std::to_string(line));
        }
        if (run == runs()) {
            expected.push_back("sending SIGTERM to vpnc(" + std::to_string(client) + ") due to signal 15");
        }
        expected.push_back(name + " unterminated");
        expected.push_back(run == runs() ? "terminated by signal 15" : "terminated with exit code 1");
    }
    EXPECT_EQ(box->texts(), expected);
}

}  // namespace
