#include "statistics.h"

#include "log.h"

#include <cstdio>

statistics_type statistics = {};

// The counters of the statistics line, in its order; main marks those that
// the service manager's status shows too.
struct counter_entry {
    const char *name;
    uint64_t statistics_type::*field; // null: the log's own count of dropped lines
    bool main;
};

static const counter_entry COUNTERS[] = {
    {"in.inbound", &statistics_type::in_inbound, true},
    {"in.udp", &statistics_type::in_udp, true},
    {"in.udp_cut", &statistics_type::in_udp_cut, false},
    {"out.publisher", &statistics_type::out_publisher, true},
    {"out.gateway", &statistics_type::out_gateway, true},
    {"out.processor", &statistics_type::out_processor, true},
    {"out.backyard", &statistics_type::out_backyard, true},
    {"drop.processor", &statistics_type::drop_processor, true},
    {"drop.backyard", &statistics_type::drop_backyard, true},
    {"drop.record", &statistics_type::drop_record, false},
    {"drop.empty", &statistics_type::drop_empty, false},
    {"drop.send", &statistics_type::drop_send, false},
    {"drop.receive", &statistics_type::drop_receive, false},
    {"drop.udp_kernel", &statistics_type::drop_udp_kernel, false},
    {"drop.log", nullptr, false},
    {"refused.auth", &statistics_type::refused_auth, true},
};

void format_statistics(char *text, size_t size, bool main_only)
{
    size_t used = 0;
    text[0] = '\0';
    for (const counter_entry &counter : COUNTERS) {
        if (main_only && !counter.main)
            continue;
        uint64_t value = counter.field ? statistics.*counter.field : log_lines_dropped();
        int length = snprintf(text + used, size - used, "%s%s=%llu", used ? " " : "", counter.name,
                              static_cast<unsigned long long>(value));
        if (length < 0 || static_cast<size_t>(length) >= size - used)
            return;
        used += static_cast<size_t>(length);
    }
}

void log_statistics()
{
    char counters[STATISTICS_TEXT_SIZE];
    format_statistics(counters, sizeof counters, false);
    log_line(LOG_INFO, "Statistics: %s", counters);
}
