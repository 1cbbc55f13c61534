// The channel's pipes and the records that cross them.

#include "relay/channel.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

bool open_channel(RelayLink& link) {
    if (pipe2(link.records, O_CLOEXEC | O_NONBLOCK) == 0 && pipe2(link.answers, O_CLOEXEC | O_NONBLOCK) == 0) {
        return true;
    }
    const int saved = errno;
    close_channel(link);
    errno = saved;
    return false;
}

void close_channel(RelayLink& link) {
    for (int* end : {&link.records[0], &link.records[1], &link.answers[0], &link.answers[1]}) {
        if (*end >= 0) {
            close(*end);
        }
        *end = -1;
    }
}

bool send_record(const RelayLink& link, const RelayRecord& record) {
    return write(link.records[1], &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

std::size_t take_records(const RelayLink& link, RelayRecord* records, std::size_t room) {
    for (;;) {
        const ssize_t count = read(link.records[0], records, room * sizeof *records);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count > 0 ? static_cast<std::size_t>(count) / sizeof *records : 0;
    }
}

void take_child_report(RelayLink& link) {
    if (link.child_report == kChildReportSent) {
        ++link.sent;
    } else if (link.child_report == kChildReportDropped) {
        ++link.unsent;
    }
    link.child_report = kChildReportNone;
}
