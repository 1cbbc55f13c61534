#pragma once

#include <cstdint>
#include <ctime>

// The daemon's one clock, for the deadlines of both threads: CLOCK_BOOTTIME
// in milliseconds. No change of the time of day moves it, and it counts the
// time the machine was suspended, so that a wait promised to end at a time
// of day ("next start at 14:19:46") ends then, suspend or not.

inline constexpr clockid_t kDeadlineClock = CLOCK_BOOTTIME;
inline constexpr std::int64_t kMillisPerSecond = 1000;
inline constexpr std::int64_t kNanosPerMilli = 1000000;

inline std::int64_t clock_millis() {
    timespec now{};
    clock_gettime(kDeadlineClock, &now);
    return std::int64_t{now.tv_sec} * kMillisPerSecond + now.tv_nsec / kNanosPerMilli;
}
