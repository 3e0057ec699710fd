#include "statistics.h"

#include "log.h"

#include <cerrno>
#include <cstdio>

statistics_type statistics = {};

// Whether each group of counters is shown.
static bool shown_groups[COUNTER_GROUP_COUNT];

// The counters of the statistics line, in its order; main marks those that
// the service manager's status shows too, and group, where not -1, decides
// whether the line has the counter at all.
struct counter_entry {
    const char *name;
    loop_counter statistics_type::*field; // null: the log's own count of dropped lines
    bool main;
    int group;
};

static const counter_entry COUNTERS[] = {
    {"in.inbound", &statistics_type::in_inbound, true, -1},
    {"in.udp", &statistics_type::in_udp, true, -1},
    {"in.udp_cut", &statistics_type::in_udp_cut, false, -1},
    {"out.publisher", &statistics_type::out_publisher, true, -1},
    {"out.gateway", &statistics_type::out_gateway, true, -1},
    {"out.processor", &statistics_type::out_processor, true, -1},
    {"out.backyard", &statistics_type::out_backyard, true, -1},
    {"drop.processor", &statistics_type::drop_processor, true, -1},
    {"drop.backyard", &statistics_type::drop_backyard, true, -1},
    {"drop.record", &statistics_type::drop_record, false, -1},
    {"drop.empty", &statistics_type::drop_empty, false, -1},
    {"drop.send", &statistics_type::drop_send, false, -1},
    {"drop.receive", &statistics_type::drop_receive, false, -1},
    {"drop.udp_kernel", &statistics_type::drop_udp_kernel, false, -1},
    {"drop.log", nullptr, false, -1},
    {"refused.auth", &statistics_type::refused_auth, true, -1},
    {"lost.processor", &statistics_type::lost_processor, false, CONNECTION_COUNTERS},
    {"lost.backyard", &statistics_type::lost_backyard, false, CONNECTION_COUNTERS},
    {"made.processor", &statistics_type::made_processor, false, CONNECTION_COUNTERS},
    {"made.backyard", &statistics_type::made_backyard, false, CONNECTION_COUNTERS},
    {"refused.udp", &statistics_type::refused_udp, true, REFUSED_DATAGRAMS},
    {"spooled.processor", &statistics_type::spooled_processor, false, SPOOL_COUNTERS},
    {"spooled.backyard", &statistics_type::spooled_backyard, false, SPOOL_COUNTERS},
    {"replayed.processor", &statistics_type::replayed_processor, false, SPOOL_COUNTERS},
    {"replayed.backyard", &statistics_type::replayed_backyard, false, SPOOL_COUNTERS},
    {"held.processor", &statistics_type::held_processor, true, SPOOL_COUNTERS},
    {"held.backyard", &statistics_type::held_backyard, true, SPOOL_COUNTERS},
    {"damaged.processor", &statistics_type::damaged_processor, false, SPOOL_COUNTERS},
    {"damaged.backyard", &statistics_type::damaged_backyard, false, SPOOL_COUNTERS},
};

void format_statistics(char *text, size_t size, bool main_only)
{
    size_t used = 0;
    text[0] = '\0';
    for (const counter_entry &counter : COUNTERS) {
        if ((main_only && !counter.main) || (counter.group >= 0 && !shown_groups[counter.group]))
            continue;
        uint64_t value = counter.field ? (statistics.*counter.field).get() : log_lines_dropped();
        int length = snprintf(text + used, size - used, "%s%s=%llu", used ? " " : "", counter.name,
                              static_cast<unsigned long long>(value));
        if (length < 0 || static_cast<size_t>(length) >= size - used)
            return;
        used += static_cast<size_t>(length);
    }
}

void show_counters(int group)
{
    shown_groups[group] = true;
}

int receive_failed(const char *handler, const char *call, const char *reason)
{
    statistics.drop_receive++;
    log_line(LOG_ERR, "%s: %s: %d, %s", handler, call, errno, reason);
    return 1;
}

void log_statistics()
{
    char counters[STATISTICS_TEXT_SIZE];
    format_statistics(counters, sizeof counters, false);
    log_line(LOG_INFO, "Statistics: %s", counters);
}
