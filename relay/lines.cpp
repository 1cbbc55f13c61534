#include "relay/lines.h"

#include <cstring>
#include <syslog.h>

void log_line(const char* line) {
    syslog(LOG_NOTICE, "%s", line);
}

void forward_line(char* line, std::size_t length, LineSink sink) {
    line[length] = '\0';
    if (std::memchr(line, '[', length) != nullptr) {
        return;
    }
    std::size_t skipped = 0;
    while (skipped < length && line[skipped] == ' ') {
        ++skipped;
    }
    // The bytes left are counted, not the string's length: a line whose text
    // starts with a NUL still gives one (empty) message.
    if (skipped < length) {
        sink(line + skipped);
    }
}

std::size_t forward_lines(char* buffer, std::size_t length, LineSink sink) {
    std::size_t start = 0;
    while (start < length) {
        auto* newline = static_cast<char*>(std::memchr(buffer + start, '\n', length - start));
        if (newline == nullptr) {
            break;
        }
        const auto end = static_cast<std::size_t>(newline - buffer);
        forward_line(buffer + start, end - start, sink);
        start = end + 1;
    }
    return start;
}

std::size_t forward_up_to(char* buffer, std::size_t length, std::size_t cut, bool flush, LineSink sink) {
    std::size_t sent = forward_lines(buffer, cut, sink);
    if (flush || cut - sent == kBatchCapacity) {
        // The line's terminating NUL lands on buffer[cut], which may be the
        // first byte still to come.
        const char after = buffer[cut];
        forward_line(buffer + sent, cut - sent, sink);
        buffer[cut] = after;
        sent = cut;
    }
    std::memmove(buffer, buffer + sent, length - sent);
    return length - sent;
}

std::size_t forward_batch(char* buffer, std::size_t length, bool flush, LineSink sink) {
    return forward_up_to(buffer, length, length, flush, sink);
}
