#include "proc_stats.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tools {
namespace {

std::string proc_path(pid_t pid, const std::string& rest) {
    return "/proc/" + std::to_string(pid) + "/" + rest;
}

// Numeric names in a /proc directory.
std::vector<pid_t> numeric_entries(const std::string& path) {
    std::vector<pid_t> ids;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            char* end = nullptr;
            const long id = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0') {
                ids.push_back(static_cast<pid_t>(id));
            }
        }
        closedir(dir);
    }
    return ids;
}

// Value of a "Name: value" line, the number only.
long field_value(const std::string& path, const std::string& name) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return -1;
}

}  // namespace

std::map<pid_t, ThreadCounters> thread_counters(pid_t pid) {
    std::map<pid_t, ThreadCounters> threads;
    for (pid_t tid : numeric_entries(proc_path(pid, "task"))) {
        const std::string task = proc_path(pid, "task/" + std::to_string(tid) + "/");
        ThreadCounters counters;
        std::ifstream schedstat(task + "schedstat");
        if (!(schedstat >> counters.cpu_ns >> counters.wait_ns >> counters.timeslices)) {
            continue;  // ended meanwhile
        }
        counters.voluntary = static_cast<std::uint64_t>(field_value(task + "status", "voluntary_ctxt_switches"));
        counters.involuntary =
            static_cast<std::uint64_t>(field_value(task + "status", "nonvoluntary_ctxt_switches"));
        std::ifstream stat(task + "stat");
        std::string line;
        if (std::getline(stat, line) && line.rfind(')') != std::string::npos) {
            // Fields after "(comm)": state is the 3rd field, utime the 14th.
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            std::string field;
            for (int index = 3; index < 14 && rest >> field; ++index) {
            }
            unsigned long long user = 0;
            unsigned long long system = 0;
            if (rest >> user >> system) {
                const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
                counters.user_seconds = static_cast<double>(user) / tick;
                counters.system_seconds = static_cast<double>(system) / tick;
            }
        }
        threads[tid] = counters;
    }
    return threads;
}

Memory memory_of(pid_t pid) {
    const std::string path = proc_path(pid, "smaps_rollup");
    return {field_value(path, "Rss"), field_value(path, "Pss"), field_value(path, "Private_Dirty")};
}

long status_kib(pid_t pid, const std::string& field) {
    return field_value(proc_path(pid, "status"), field);
}

int descriptor_count(pid_t pid) {
    DIR* dir = opendir(proc_path(pid, "fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

std::vector<Child> children_of(pid_t pid) {
    std::vector<Child> children;
    for (pid_t candidate : numeric_entries("/proc")) {
        std::ifstream in(proc_path(candidate, "stat"));
        std::string line;
        if (!std::getline(in, line)) {
            continue;
        }
        // "pid (comm) state ppid ...": comm may hold anything, so parse after
        // its last parenthesis.
        const std::size_t paren = line.rfind(')');
        if (paren == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(paren + 1));
        char state = '?';
        pid_t parent = 0;
        if (rest >> state >> parent && parent == pid) {
            children.push_back({candidate, state});
        }
    }
    return children;
}

}  // namespace tools
