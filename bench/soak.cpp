// Runs the real daemon in the sandbox with a client that ends as soon as it
// has written a burst (the stand-in's soak-run), and checks it over many
// restarts (docs/development.md's Soak section tells what).
// Usage: soak [SECONDS]   (default 600). Exits non-zero on any failure;
// SIGINT, SIGTERM and SIGHUP end the daemon and remove the sandbox.

#include "measure.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sys/wait.h>

namespace {

using namespace measure;

constexpr long kRssDriftLimitKib = 64;
constexpr long kWarmUpRuns = 3;            // client runs before the first sample
constexpr auto kZombieGrace = 3s;  // longer than the daemon takes to notice an end

struct Sample {
    long rss_kib = -1;
    int descriptors = 0;  // but pidfds: the daemon may hold one for a running client
    int pidfds = 0;
};

Sample sample(pid_t pid) {
    Sample taken{field(proc(pid, "status"), "VmRSS")};
    std::error_code gone;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", gone)) {
        ++(std::filesystem::read_symlink(entry.path(), gone) == "anon_inode:[pidfd]" ? taken.pidfds
                                                                                      : taken.descriptors);
    }
    return taken;
}

int soak(double duration) {
    std::printf("soak: the daemon for %g s with a client that restarts as fast as it may\n", duration);
    sandbox::Sandbox box;
    box.set_client_ops({"soak-run", "/run/soak"});
    RunCheck check;
    LogReader reader(box.log_socket(),
                     [&](const std::optional<sandbox::FrameView>& frame, Clock::time_point) { check.take(frame); });
    const Clock::time_point begin = Clock::now();
    const sandbox::Daemon daemon = box.start();
    check.set_daemon(daemon.pid);
    // Zombie children of the daemon, by when they were first seen: one that
    // stays longer than kZombieGrace is one the daemon forgot.
    std::map<pid_t, Clock::time_point> zombies;
    std::set<pid_t> forgotten;
    std::size_t most_zombies = 0;
    auto watch_until = [&](const std::function<bool()>& done, Clock::duration within) {
        return wait_until(
            [&] {
                std::map<pid_t, Clock::time_point> still;
                for (const auto& [child, state] : children_of(daemon.pid)) {
                    if (state == 'Z') {
                        still[child] = zombies.count(child) != 0 ? zombies[child] : Clock::now();
                        if (Clock::now() - still[child] > kZombieGrace) {
                            forgotten.insert(child);
                        }
                    }
                }
                zombies = std::move(still);
                most_zombies = std::max(most_zombies, zombies.size());
                return done();
            },
            within);
    };
    bool ok = true;
    auto check_that = [&](bool holds, const char* what) {
        if (!holds) {
            std::printf("  FAILED: %s\n", what);
            ok = false;
        }
    };

    const bool warm = watch_until([&] { return check.progress().ends >= kWarmUpRuns; }, 30s);
    check_that(warm, "the client did not run 3 times within 30 s");
    const Sample first = sample(daemon.pid);
    for (Clock::time_point report = begin + 60s; ok && warm && to_seconds(Clock::now() - begin) < duration;) {
        watch_until([&] { return has_ended(daemon.pid) || Clock::now() >= report; }, 1s);
        if (Clock::now() >= report) {
            std::printf("  %4.0f s: %ld client runs\n", to_seconds(Clock::now() - begin), check.progress().starts);
            report += 60s;
        }
        check_that(!has_ended(daemon.pid), "the daemon ended on its own");
    }
    const double soaked = to_seconds(Clock::now() - begin);

    // Wind down between two runs: from the stop file on, clients write
    // nothing, so once one of them has seen it every line is accounted for.
    std::ofstream(box.run_dir() + "/soak.stop") << "stop\n";
    check_that(watch_until([&] { return !box.read_run_file("soak.held").empty(); }, 20s),
               "no client saw the stop file within 20 s");
    long written = 0;
    long runs = 0;
    std::istringstream(box.read_run_file("soak")) >> written >> runs;
    --written;  // the file holds the next line's number
    check_that(watch_until(
                   [&] {
                       const RunCheck::Progress now = check.progress();
                       return now.highest >= written && now.ends >= runs;
                   },
                   20s),
               "the last lines did not arrive within 20 s");
    // A few seconds more for zombies to show.
    watch_until([] { return false; }, 4s);
    const Sample last = sample(daemon.pid);
    const std::size_t children = children_of(daemon.pid).size();

    check.set_stopping();
    const Clock::time_point stop_sent = Clock::now();
    const std::optional<int> status = terminate(daemon.pid, 25s);
    const double stop_seconds = to_seconds(Clock::now() - stop_sent);
    reader.sync();
    reader.stop();

    std::printf("soak: %.1f s, %ld client runs with output\n", soaked, runs);
    const bool lines = check.report(written);
    std::printf("  descriptors of the daemon: %d after warm-up, %d at the end (and pidfds: %d, %d)\n"
                "  VmRSS: %ld KiB after warm-up, %ld KiB at the end (%+ld KiB, at most %ld)\n"
                "  zombie children: %zu left, at most %zu at once (children at the end: %zu)\n"
                "  SIGTERM: %s after %.2f s\n",
                first.descriptors, last.descriptors, first.pidfds, last.pidfds, first.rss_kib, last.rss_kib,
                last.rss_kib - first.rss_kib, kRssDriftLimitKib, forgotten.size(), most_zombies, children,
                describe(status).c_str(), stop_seconds);
    for (const std::string& path : {daemon.stdout_path, daemon.stderr_path}) {
        const std::string text = sandbox::read_file(path);
        if (!text.empty()) {
            std::printf("  the daemon wrote to %s: %s\n", path.c_str(), text.substr(0, 200).c_str());
        }
    }
    check_that(runs >= kWarmUpRuns && lines, "lines lost, repeated, reordered, damaged or misplaced");
    check_that(first.descriptors == last.descriptors && first.pidfds <= 1 && last.pidfds <= 1,
               "descriptor count changed");
    check_that(std::labs(last.rss_kib - first.rss_kib) <= kRssDriftLimitKib, "VmRSS not flat");
    check_that(forgotten.empty(), "zombie children left");
    check_that(exited_zero(status), "the daemon did not exit with status 0 on SIGTERM");
    std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double duration = 600;
    if (argc > 2 || (argc == 2 && (duration = std::atof(argv[1])) <= 0)) {
        std::fprintf(stderr, "usage: soak [SECONDS]\n");
        return 2;
    }
    return run_guarded("soak", [&] { return soak(duration); });
}
