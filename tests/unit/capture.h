#pragma once

#include <string>
#include <vector>

// Lines handed to record_line, the tests' LineSink, in the order they came.
std::vector<std::string>& recorded_lines();
void record_line(const char* line);

// What the library sent to syslog while linked into the test binary: the
// priority and the message as syslog would have formatted it.
struct LogRecord {
    int priority;
    std::string text;
};
std::vector<LogRecord>& logged_records();
