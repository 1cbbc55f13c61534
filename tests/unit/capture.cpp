#include "capture.h"

#include <cstdarg>
#include <cstdio>

std::vector<std::string>& recorded_lines() {
    static std::vector<std::string> lines;
    return lines;
}

void record_line(const char* line) {
    recorded_lines().emplace_back(line);
}

std::vector<LogRecord>& logged_records() {
    static std::vector<LogRecord> records;
    return records;
}

namespace {

void capture(int priority, const char* format, va_list arguments) {
    char text[16384];
    std::vsnprintf(text, sizeof text, format, arguments);
    logged_records().push_back({priority, text});
}

}  // namespace

// The linker sends the library's calls to syslog here (--wrap, see
// CMakeLists.txt).
extern "C" void __wrap_syslog(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    capture(priority, format, arguments);
    va_end(arguments);
}

extern "C" void __wrap___syslog_chk(int priority, int, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    capture(priority, format, arguments);
    va_end(arguments);
}
