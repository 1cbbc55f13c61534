// The service manager's notification protocol, written out: one datagram of
// newline-separated "NAME=value" lines to the socket that NOTIFY_SOCKET names.
// A few lines here spare the daemon a shared library and its dirty pages.

#include "supervisor/supervisor.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";
constexpr std::size_t kNotifyTextSize = 256;  // a status line and a word or two

// Fills `target`'s address from a NOTIFY_SOCKET value: an absolute path, or
// '@' and an abstract name. False for anything else.
bool notify_address(const char* value, NotifyTarget& target) {
    const std::size_t size = value == nullptr ? 0 : std::strlen(value);
    if (size < 2 || size >= sizeof target.address.sun_path || (value[0] != '/' && value[0] != '@')) {
        return false;
    }
    target.address = {};
    target.address.sun_family = AF_UNIX;
    std::memcpy(target.address.sun_path, value, size);
    if (value[0] == '@') {
        target.address.sun_path[0] = '\0';  // an abstract name: its length, not a NUL, ends it
    }
    target.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    return true;
}

}  // namespace

NotifyTarget open_notify_target() {
    NotifyTarget target{-1, {}, 0};
    if (notify_address(getenv(kNotifySocketVariable), target)) {
        target.socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    unsetenv(kNotifySocketVariable);
    return target;
}

bool notify_manager(const NotifyTarget& target, const char* format, ...) {
    if (target.socket < 0) {
        return true;
    }
    char text[kNotifyTextSize];
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length <= 0) {
        return true;
    }
    // A manager that is slow to read is not waited for: the caller tries
    // again later if it must.
    const ssize_t sent =
        sendto(target.socket, text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1),
               MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target.address), target.length);
    return sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}
