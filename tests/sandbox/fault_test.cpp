// Faults from outside: signals on the wrong thread, clients that misbehave.

#include "fixture.h"

#include <csignal>
#include <sys/syscall.h>

namespace {

using FaultTest = SandboxTest;

int signal_thread(pid_t pid, pid_t tid, int sig) {
    return static_cast<int>(syscall(SYS_tgkill, pid, tid, sig));
}

bool any_text_starts_with(sandbox::Sandbox& box, const std::string& prefix) {
    for (const std::string& text : box.texts()) {
        if (text.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// With a quiet client both threads sleep until something happens; a stop
// signal that lands on the relay thread wakes the main thread at once.
TEST_F(FaultTest, IdleThreadsSleepUntilAStopOnTheRelayThreadWakesTheLoop) {
    box->set_client(kRecordPid + "exec \"$CLIENT\" out 'up\\n' hold");
    sandbox::Daemon daemon = box->start();
    const pid_t client = client_pid();
    ASSERT_TRUE(box->wait_for_text("up", 5s));
    const auto threads = other_threads(daemon.pid);
    ASSERT_EQ(threads.size(), 1u) << "the daemon runs exactly two threads";
    ASSERT_TRUE(await_blocked(daemon.pid, daemon.pid, in_poll) && await_blocked(daemon.pid, threads[0], in_poll))
        << "the threads did not go back to their waits";
    const long main_before = wakeups(daemon.pid, daemon.pid);
    const long relay_before = wakeups(daemon.pid, threads[0]);
    usleep(2500000);
    EXPECT_EQ(wakeups(daemon.pid, daemon.pid), main_before) << "the main thread woke with nothing to do";
    EXPECT_EQ(wakeups(daemon.pid, threads[0]), relay_before) << "the relay woke with nothing to do";

    const auto sent = sandbox::Clock::now();
    ASSERT_EQ(signal_thread(daemon.pid, threads[0], SIGTERM), 0);
    while (sandbox::process_alive(client) && sandbox::Clock::now() - sent < 3s) {
        usleep(5000);
    }
    EXPECT_LT(std::chrono::duration<double>(sandbox::Clock::now() - sent).count(), 0.5);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    EXPECT_FALSE(any_text_starts_with(*box, "select error"));
    EXPECT_EQ(box->texts().back(), "terminated by signal 15");
}

TEST_F(FaultTest, ClientThatClosesOrRedirectsItsOutputIsSupervisedAsUsual) {
    box->set_client(
        "if [ -e /run/second ]; then exec >/dev/null 2>&1; echo hidden; exit 6; fi\n"
        "touch /run/second\n"
        "exec \"$CLIENT\" out 'before closing\\n' close-stdout sleep 100 exit 5");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("terminated with exit code 6", 6s));
    EXPECT_EQ(box->texts(),
              (std::vector<std::string>{"starting vpnc", "before closing", "terminated with exit code 5",
                                        "starting vpnc", "terminated with exit code 6"}));
}

TEST_F(FaultTest, GrandchildWritingAfterTheClientEndedIsRelayedAndHarmless) {
    box->set_client(
        "[ -e /run/once ] && exec \"$CLIENT\" hold\n"
        "touch /run/once\n"
        "exec \"$CLIENT\" grandchild 200 'from grandchild\\n' exit 0");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("from grandchild", 6s, 10));
    EXPECT_EQ(box->count("starting vpnc"), 2u);
    EXPECT_EQ(box->count("terminated with exit code 0"), 1u);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
}

TEST_F(FaultTest, StormOfStopSignalsOnBothThreadsEndsInOneCleanStop) {
    box->set_client("exec \"$CLIENT\" out 'run\\n' sleep 150 exit 0");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("run", 5s));
    const auto threads = other_threads(daemon.pid);
    ASSERT_EQ(threads.size(), 1u);
    const int kinds[] = {SIGQUIT, SIGINT, SIGTERM};
    for (int i = 0; i < 300; ++i) {
        signal_thread(daemon.pid, i % 2 == 0 ? daemon.pid : threads[0], kinds[i % 3]);
        if (i % 30 == 0) {
            box->frames();
            usleep(20000);
        }
    }
    EXPECT_EQ(box->exit_status(daemon, 4s), 0);
    for (const std::string& text : box->texts()) {
        const bool expected = text == "starting vpnc" || text == "run" || text.rfind("terminated ", 0) == 0 ||
                              (text.rfind("sending SIGTERM to vpnc(", 0) == 0 &&
                               text.size() > 12 && text.substr(text.size() - 12) == "due to signal 3");
        EXPECT_TRUE(expected) << text;
    }
}

}  // namespace
