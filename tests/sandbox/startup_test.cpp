// Start-up: the single instance, the lock file, the FIFO, the log identity.

#include "fixture.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using StartupTest = SandboxTest;

TEST_F(StartupTest, LogsUnderItsIdentityAndPidAtFacilityDaemon) {
    box->set_client("exec \"$CLIENT\" out 'hello\\n' hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("hello", 5s));
    ASSERT_GE(box->frames().size(), 2u);
    for (const sandbox::Frame& frame : box->frames()) {
        EXPECT_EQ(frame.ident, "quorVix");
        EXPECT_EQ(frame.pid, daemon.pid);
        EXPECT_EQ(frame.priority, kNotice) << frame.text;
    }
    EXPECT_EQ(box->frames()[0].text, "starting vpnc");
}

TEST_F(StartupTest, FramesAreThoseOfTheIdentityWithLogPid) {
    // The stand-in client logs the same text through openlog(LOG_PID): the
    // two frames differ only in their pid and, at most, their timestamp.
    // Two senders: their frames arrive in either order.
    box->set_client_ops({"syslog", "starting vpnc", "hold"});
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s, 2));
    std::vector<std::string> frames;
    for (const sandbox::Frame& frame : box->frames()) {
        std::string raw = frame.raw;
        const std::string pid = '[' + std::to_string(frame.pid) + ']';
        raw.replace(raw.find(pid), pid.size(), frame.pid == daemon.pid ? "[daemon]" : "[client]");
        raw.replace(raw.find('>') + 1, 15, 15, 'T');  // "Mmm dd hh:mm:ss"
        frames.push_back(raw);
    }
    std::sort(frames.begin(), frames.end());
    EXPECT_EQ(frames, (std::vector<std::string>{"<29>TTTTTTTTTTTTTTT quorVix[client]: starting vpnc",
                                                "<29>TTTTTTTTTTTTTTT quorVix[daemon]: starting vpnc"}));
}

TEST_F(StartupTest, SecondInstanceExitsAtOnceSilently) {
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon first = box->start();
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s));

    sandbox::Daemon second = box->start();
    EXPECT_EQ(box->exit_status(second, 2s), 0);
    EXPECT_EQ(read_file(second.stdout_path), "");
    EXPECT_EQ(read_file(second.stderr_path), "");
    EXPECT_TRUE(texts_from(second.pid).empty());
    EXPECT_TRUE(sandbox::process_alive(first.pid));
    EXPECT_EQ(box->count("starting vpnc"), 1u);
}

TEST_F(StartupTest, ExistingLockFileIsLeftAsFound) {
    const std::string lock = box->run_dir() + "/quorVixd.pid";
    {
        std::FILE* file = std::fopen(lock.c_str(), "w");
        std::fputs("4242\nnot a pid\n", file);
        std::fclose(file);
        chmod(lock.c_str(), 0640);
    }
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s));
    struct stat after {};
    ASSERT_EQ(stat(lock.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(lock), "4242\nnot a pid\n");
}

TEST_F(StartupTest, MissingLockFileIsCreatedEmptyForRootAlone) {
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("starting vpnc", 5s));
    struct stat lock {};
    ASSERT_EQ(stat((box->run_dir() + "/quorVixd.pid").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777, 0600u);
    EXPECT_EQ(lock.st_size, 0);
}

TEST_F(StartupTest, UnwritableRunDirectoryPrintsOpenErrorAndExitsZero) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the daemon as another user: run scripts/test.sh as root";
    }
    sandbox::Daemon daemon = box->start({.uid = unprivileged_uid()});
    EXPECT_EQ(box->exit_status(daemon, 3s), 0);
    EXPECT_EQ(read_file(daemon.stdout_path), "main - open error: Permission denied. Aborting...\n");
    EXPECT_TRUE(box->frames().empty());
}

TEST_F(StartupTest, FifoIsCreatedForRootAloneReplacingALeftoverFile) {
    const std::string fifo = box->run_dir() + "/quorVix.fifo";
    {
        std::FILE* file = std::fopen(fifo.c_str(), "w");
        std::fputs("left over\n", file);
        std::fclose(file);
    }
    box->set_client("exec \"$CLIENT\" out 'through the fifo\\n' hold");
    sandbox::Daemon daemon = box->start();
    ASSERT_TRUE(box->wait_for_text("through the fifo", 5s));
    struct stat made {};
    ASSERT_EQ(stat(fifo.c_str(), &made), 0);
    EXPECT_TRUE(S_ISFIFO(made.st_mode));
    EXPECT_EQ(made.st_mode & 07777, 0600u);
}

TEST_F(StartupTest, DirectoryAtFifoPathEndsStartupWithStatusOne) {
    ASSERT_EQ(mkdir((box->run_dir() + "/quorVix.fifo").c_str(), 0755), 0);
    box->set_client("exec \"$CLIENT\" hold");
    sandbox::Daemon daemon = box->start();
    EXPECT_EQ(box->exit_status(daemon, 3s), 1);
    ASSERT_EQ(box->frames().size(), 1u);
    EXPECT_EQ(box->frames()[0].text, "main - cannot create fifo: File exists");
    EXPECT_EQ(box->frames()[0].priority, kError);
}

TEST_F(StartupTest, ManyInheritedDescriptorsDoNotStopTheRelay) {
    // The daemon's own descriptors then lie above 1023, out of select's reach.
    // The caller's limit may be the stock 1024: raise it first (soft to hard,
    // and as root the hard limit too).
    constexpr rlim_t kLimit = 4096;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t hard = limit.rlim_max;
    limit.rlim_max = geteuid() == 0 ? std::max(hard, kLimit) : hard;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < kLimit) {
        GTEST_SKIP() << "needs 4096 descriptors; the hard limit, " << hard << ", cannot be raised here";
    }
    box->set_client("exec \"$CLIENT\" out 'still relayed\\n' hold");
    sandbox::Daemon daemon = box->start({.open_descriptors = 1100, .max_descriptors = kLimit});
    EXPECT_TRUE(box->wait_for_text("still relayed", 5s));
}

}  // namespace
