#include "statistics.h"

#include "log.h"

statistics_type statistics = {};

void log_statistics()
{
    const statistics_type &s = statistics;
    log_line(
        LOG_INFO,
        "Statistics: in.inbound=%llu in.udp=%llu in.udp_cut=%llu out.publisher=%llu "
        "out.gateway=%llu out.processor=%llu out.backyard=%llu drop.processor=%llu "
        "drop.backyard=%llu drop.record=%llu drop.empty=%llu drop.send=%llu "
        "drop.receive=%llu drop.udp_kernel=%llu drop.log=%llu refused.auth=%llu",
        static_cast<unsigned long long>(s.in_inbound), static_cast<unsigned long long>(s.in_udp),
        static_cast<unsigned long long>(s.in_udp_cut),
        static_cast<unsigned long long>(s.out_publisher),
        static_cast<unsigned long long>(s.out_gateway),
        static_cast<unsigned long long>(s.out_processor),
        static_cast<unsigned long long>(s.out_backyard),
        static_cast<unsigned long long>(s.drop_processor),
        static_cast<unsigned long long>(s.drop_backyard),
        static_cast<unsigned long long>(s.drop_record),
        static_cast<unsigned long long>(s.drop_empty), static_cast<unsigned long long>(s.drop_send),
        static_cast<unsigned long long>(s.drop_receive),
        static_cast<unsigned long long>(s.drop_udp_kernel),
        static_cast<unsigned long long>(log_lines_dropped()),
        static_cast<unsigned long long>(s.refused_auth));
}
