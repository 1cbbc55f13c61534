#pragma once

#include "relay/link.h"

#include <cstdint>

// The stop: once the last client has ended, the relay logs everything handed
// to it and everything the clients wrote, and the daemon exits.

// At a stop the process exits once the relay has logged everything, so it is
// given time to finish even behind a slow system logger; the bound stays well
// under the 30 s that the service manager allows for a stop.
inline constexpr int kStopDrainSeconds = 20;

// Hands the relay the stop record, waiting for room if the channel is full,
// then waits for its answer. False at `deadline` (on the daemon's clock).
bool drain_relay(RelayLink& link, std::int64_t deadline);

// The messages handed over or dropped on the way and not logged.
long long unlogged_messages(RelayLink& link);

// After a drain that did not finish: says on standard error, where the
// service manager still reads, what was left, since the system logger is not
// taking messages.
void report_unlogged(RelayLink& link);
