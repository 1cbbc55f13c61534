// How a client's end is worded in the log, from status words that real child
// processes produced.

#include "supervisor/supervisor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int status_of(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int status_of_child_exiting_with(int code) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(code);
    }
    return status_of(child);
}

int status_of_child_killed_by(int sig) {
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            pause();
        }
    }
    kill(child, sig);
    return status_of(child);
}

// A shell in a scratch directory that lifts its core size limit and sends
// itself SIGQUIT; the core file is removed again with the directory.
int status_of_child_dumping_core(int sig) {
    std::string directory = ::testing::TempDir() + "quorvix-core-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) {
        return -1;
    }
    const std::string script = "ulimit -c unlimited 2>/dev/null; kill -" + std::to_string(sig) + " $$";
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(directory.c_str()) == 0) {
            execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    const int status = status_of(child);
    if (DIR* listing = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                unlink((directory + "/" + name).c_str());
            }
        }
        closedir(listing);
    }
    rmdir(directory.c_str());
    return status;
}

// The message as the supervisor logs it.
std::string message_for(int wait_status) {
    const ClientEnd end = describe_client_end(wait_status);
    char text[128];
    std::snprintf(text, sizeof text, end.format, end.value);
    return text;
}

TEST(ClientEndDescription, ReportsTheExitCodeOfAClientThatExited) {
    EXPECT_EQ(message_for(status_of_child_exiting_with(0)), "terminated with exit code 0");
    EXPECT_EQ(message_for(status_of_child_exiting_with(1)), "terminated with exit code 1");
    EXPECT_EQ(message_for(status_of_child_exiting_with(255)), "terminated with exit code 255");
}

TEST(ClientEndDescription, ReportsTheSignalThatKilledAClient) {
    EXPECT_EQ(message_for(status_of_child_killed_by(SIGKILL)), "terminated by signal 9");
    EXPECT_EQ(message_for(status_of_child_killed_by(SIGTERM)), "terminated by signal 15");
}

TEST(ClientEndDescription, ReportsTheSignalOfAClientThatDumpedCore) {
    const int status = status_of_child_dumping_core(SIGQUIT);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the shell did not die of its signal";
    if (!WCOREDUMP(status)) {
        GTEST_SKIP() << "this system wrote no core dump for the child";
    }
    EXPECT_EQ(message_for(status), "terminated by signal 3");
}

// A client refused at once, every time: three quick starts, then never six
// within an hour.
TEST(PauseAfterEnd, StartsARefusedClientAtMostFiveTimesAnHour) {
    int refusals = 0;
    std::vector<long> starts = {0};
    for (const int refused = status_of_child_exiting_with(2); starts.size() < 50;) {
        starts.push_back(starts.back() + pause_after_end(refused, refusals));
    }
    EXPECT_EQ(starts[2], 2 * kRestartPauseMillis);
    EXPECT_EQ(starts[3] - starts[2], 20 * 60 * 1000) << "the long pause is 20 min";
    for (std::size_t i = 5; i < starts.size(); ++i) {
        EXPECT_GT(starts[i] - starts[i - 5], 60 * 60 * 1000) << i;
    }
}

TEST(PauseAfterEnd, AnyOtherEndSetsTheRefusalsBack) {
    const int refused = status_of_child_exiting_with(2), killed = status_of_child_killed_by(SIGKILL);
    int refusals = 0;
    for (int status : {refused, refused, status_of_child_exiting_with(1), refused, refused, killed, refused, refused}) {
        EXPECT_EQ(pause_after_end(status, refusals), kRestartPauseMillis);
    }
}

// NOTIFY_SOCKET may name the manager's socket in the abstract namespace, after
// '@'; the variable is taken away, and a full queue is reported at once,
// never waited on.
TEST(Notify, ReachesAnAbstractSocketAndNeverWaits) {
    const std::string name = "quorvix-test-" + std::to_string(getpid());
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(manager, reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0) << std::strerror(errno);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    const NotifyTarget target = open_notify_target();
    EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
    ASSERT_TRUE(notify_manager(target, "READY=1\nSTATUS=%s", "up"));
    char text[64] = {};
    EXPECT_EQ(recv(manager, text, sizeof text, MSG_DONTWAIT), 17);
    EXPECT_STREQ(text, "READY=1\nSTATUS=up");
    int sent = 0;
    while (sent < 10000 && notify_manager(target, "STATUS=%d", sent)) {
        ++sent;
    }
    EXPECT_LT(sent, 10000) << "a full queue was never reported";
    close(manager);
    close(target.socket);
}

}  // namespace
