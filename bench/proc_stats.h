#pragma once

// What /proc tells about a process and its threads, for the bench and the
// soak: scheduler figures per thread, memory, descriptors, children.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tools {

// One thread's counters since it started.
struct ThreadCounters {
    std::uint64_t cpu_ns = 0;      // schedstat: time on a CPU
    std::uint64_t wait_ns = 0;     // schedstat: time runnable but waiting for a CPU
    std::uint64_t timeslices = 0;  // schedstat: times it was put on a CPU
    std::uint64_t voluntary = 0;   // status: voluntary_ctxt_switches (it went to sleep)
    std::uint64_t involuntary = 0; // status: nonvoluntary_ctxt_switches (it was preempted)
    double user_seconds = 0;       // stat: utime, in user space
    double system_seconds = 0;     // stat: stime, in the kernel
};

// Every thread of `pid`, by thread id.
std::map<pid_t, ThreadCounters> thread_counters(pid_t pid);

// Fields of /proc/PID/smaps_rollup, in KiB.
struct Memory {
    long rss = -1;
    long pss = -1;
    long private_dirty = -1;
};
Memory memory_of(pid_t pid);

// A "Name:  value kB" field of /proc/PID/status (VmRSS, ...) in KiB, or -1.
long status_kib(pid_t pid, const std::string& field);

// Number of open descriptors, or -1.
int descriptor_count(pid_t pid);

struct Child {
    pid_t pid = 0;
    char state = '?';
};
// The processes whose parent is `pid`.
std::vector<Child> children_of(pid_t pid);

}  // namespace tools
