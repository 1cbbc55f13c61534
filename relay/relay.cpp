// The relay's one record, and the entry points that the supervisor calls,
// each over it.

#include "relay/relay.h"

#include "common/clock.h"
#include "relay/fifo.h"
#include "relay/order.h"
#include "relay/relay_thread.h"
#include "relay/stop.h"

#include <cstdarg>
#include <cstdio>

namespace {

RelayLink the_link;

void hand_over(RecordKind kind, void (*act)(), int priority, const char* format, va_list arguments) {
    char text[kRecordTextSize];
    (void)vsnprintf(text, sizeof text, format, arguments);  // a longer text is cut short
    post_message(the_link, kind, act, priority, text);
}

}  // namespace

void start_output_relay() {
    start_relay(the_link);
}

void heal_output_fifo() {
    heal_fifo(the_link);
}

void log_event(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::message, nullptr, priority, format, arguments);
    va_end(arguments);
}

void log_event_then(void (*act)(), int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::message, act, priority, format, arguments);
    va_end(arguments);
}

void log_client_end(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    hand_over(RecordKind::client_end, nullptr, priority, format, arguments);
    va_end(arguments);
}

void finish_output_relay() {
    if (the_link.running && !drain_relay(the_link, clock_millis() + kStopDrainSeconds * kMillisPerSecond)) {
        report_unlogged(the_link);
    }
}

void prepare_client_output() {
    prepare_child_report(the_link);
}

void redirect_client_output() {
    redirect_child_output(the_link);
}
