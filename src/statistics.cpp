#include "statistics.h"

#include "log.h"

#include <cstdio>

statistics_type statistics = {};
bool connections_counted = false;
bool udp_sources_checked = false;

// The counters of the statistics line, in its order; main marks those that
// the service manager's status shows too, and shown, where given, decides
// whether the line has the counter at all.
struct counter_entry {
    const char *name;
    loop_counter statistics_type::*field; // null: the log's own count of dropped lines
    bool main;
    const bool *shown;
};

static const counter_entry COUNTERS[] = {
    {"in.inbound", &statistics_type::in_inbound, true, nullptr},
    {"in.udp", &statistics_type::in_udp, true, nullptr},
    {"in.udp_cut", &statistics_type::in_udp_cut, false, nullptr},
    {"out.publisher", &statistics_type::out_publisher, true, nullptr},
    {"out.gateway", &statistics_type::out_gateway, true, nullptr},
    {"out.processor", &statistics_type::out_processor, true, nullptr},
    {"out.backyard", &statistics_type::out_backyard, true, nullptr},
    {"drop.processor", &statistics_type::drop_processor, true, nullptr},
    {"drop.backyard", &statistics_type::drop_backyard, true, nullptr},
    {"drop.record", &statistics_type::drop_record, false, nullptr},
    {"drop.empty", &statistics_type::drop_empty, false, nullptr},
    {"drop.send", &statistics_type::drop_send, false, nullptr},
    {"drop.receive", &statistics_type::drop_receive, false, nullptr},
    {"drop.udp_kernel", &statistics_type::drop_udp_kernel, false, nullptr},
    {"drop.log", nullptr, false, nullptr},
    {"refused.auth", &statistics_type::refused_auth, true, nullptr},
    {"lost.processor", &statistics_type::lost_processor, false, &connections_counted},
    {"lost.backyard", &statistics_type::lost_backyard, false, &connections_counted},
    {"made.processor", &statistics_type::made_processor, false, &connections_counted},
    {"made.backyard", &statistics_type::made_backyard, false, &connections_counted},
    {"refused.udp", &statistics_type::refused_udp, true, &udp_sources_checked},
};

void format_statistics(char *text, size_t size, bool main_only)
{
    size_t used = 0;
    text[0] = '\0';
    for (const counter_entry &counter : COUNTERS) {
        if ((main_only && !counter.main) || (counter.shown && !*counter.shown))
            continue;
        uint64_t value = counter.field ? (statistics.*counter.field).get() : log_lines_dropped();
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
