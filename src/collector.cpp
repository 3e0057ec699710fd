#include "collector.h"

#include "connections.h"
#include "latch.h"
#include "log.h"
#include "socket_table.h"
#include "statistics.h"
#include "udp.h"

#include <czmq.h>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The queue depth that a socket has without a "/queue/..." key: the
// messaging library's high-water mark.
static const int DEFAULT_QUEUE_DEPTH = 1000;

// One series of a family with one label: the label's value and the counter.
struct counted_series {
    const char *value;
    loop_counter statistics_type::*field;
};

static const counted_series RECEIVED[] = {{"inbound", &statistics_type::in_inbound},
                                          {"udp", &statistics_type::in_udp}};
static const counted_series SENT[] = {{"publisher", &statistics_type::out_publisher},
                                      {"gateway", &statistics_type::out_gateway},
                                      {"processor", &statistics_type::out_processor},
                                      {"backyard", &statistics_type::out_backyard}};
static const counted_series DROPPED[] = {{"processor", &statistics_type::drop_processor},
                                         {"backyard", &statistics_type::drop_backyard},
                                         {"record", &statistics_type::drop_record},
                                         {"empty", &statistics_type::drop_empty},
                                         {"send", &statistics_type::drop_send},
                                         {"udp_kernel", &statistics_type::drop_udp_kernel}};
static const counted_series REFUSED[] = {{"auth", &statistics_type::refused_auth},
                                         {"udp", &statistics_type::refused_udp}};

static MetricFamily make_family(const char *name, const char *help, MetricType type)
{
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

static void add_sample(MetricFamily *family, double value,
                       std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric sample;
    sample.label = std::move(labels);
    if (family->type == MetricType::Counter)
        sample.counter.value = value;
    else
        sample.gauge.value = value;
    family->metric.push_back(std::move(sample));
}

template <size_t N>
static MetricFamily counted_family(const char *name, const char *help, const char *label,
                                   const counted_series (&series)[N])
{
    MetricFamily family = make_family(name, help, MetricType::Counter);
    for (const counted_series &entry : series)
        add_sample(&family, static_cast<double>((statistics.*entry.field).get()),
                   {{label, entry.value}});
    return family;
}

static MetricFamily single(const char *name, const char *help, MetricType type, double value)
{
    MetricFamily family = make_family(name, help, type);
    add_sample(&family, value);
    return family;
}

static MetricFamily connections_family()
{
    MetricFamily family = make_family(
        "vostrelld_connections_total",
        "Connections of the message processors' sockets made and lost.", MetricType::Counter);
    for (const socket_record &record : socket_records) {
        if (!record.made)
            continue;
        add_sample(&family, static_cast<double>(record.made->get()),
                   {{"socket", record.label}, {"event", "made"}});
        add_sample(&family, static_cast<double>(record.lost->get()),
                   {{"socket", record.label}, {"event", "lost"}});
    }
    return family;
}

static void add_socket_families(std::vector<MetricFamily> *families)
{
    MetricFamily peers =
        make_family("vostrelld_peers", "Peers connected to each socket now.", MetricType::Gauge);
    MetricFamily limits =
        make_family("vostrelld_queue_limit_messages",
                    "Messages each socket holds for one peer at most.", MetricType::Gauge);
    for (const socket_record &record : socket_records) {
        int depth = record.queue_depth > 0 ? record.queue_depth : DEFAULT_QUEUE_DEPTH;
        add_sample(&peers, static_cast<double>(connected_peers(&record)),
                   {{"socket", record.label}});
        add_sample(&limits, depth, {{"socket", record.label}});
    }
    families->push_back(std::move(peers));
    families->push_back(std::move(limits));
}

// The counts of the processors' spools, where they have one.
static void add_spool_families(std::vector<MetricFamily> *families)
{
    const struct {
        const char *name, *help;
        MetricType type;
        int kind; // of spool_counts; -1: the limit
    } rows[] = {
        {"vostrelld_spooled_messages_total", "Texts taken by each processor's disk spool.",
         MetricType::Counter, SPOOLED},
        {"vostrelld_replayed_messages_total", "Texts sent from each processor's disk spool.",
         MetricType::Counter, REPLAYED},
        {"vostrelld_spool_damaged_records_total", "Spooled records set aside as damaged.",
         MetricType::Counter, DAMAGED},
        {"vostrelld_spool_held_messages", "Texts each processor's spool holds now.",
         MetricType::Gauge, HELD},
        {"vostrelld_spool_held_bytes", "Bytes of disk each processor's spool takes now.",
         MetricType::Gauge, HELD_BYTES},
        {"vostrelld_spool_limit_bytes", "Bytes of disk each processor's spool may take.",
         MetricType::Gauge, -1},
    };
    for (const auto &row : rows) {
        MetricFamily family = make_family(row.name, row.help, row.type);
        for (const socket_record &record : socket_records)
            if (record.spool_limit > 0)
                add_sample(&family,
                           static_cast<double>(row.kind < 0 ? record.spool_limit
                                                            : record.spool_counts[row.kind]->get()),
                           {{"socket", record.label}});
        if (!family.metric.empty())
            families->push_back(std::move(family));
    }
}

static MetricFamily build_info()
{
    int major, minor, patch;
    MetricFamily family =
        make_family("vostrelld_build_info", "The daemon's version and its messaging libraries'.",
                    MetricType::Gauge);
    zmq_version(&major, &minor, &patch);
    std::string zmq =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    zsys_version(&major, &minor, &patch);
    std::string czmq =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    add_sample(&family, 1,
               {{"version", VOSTRELLD_VERSION}, {"zmq_version", zmq}, {"czmq_version", czmq}});
    return family;
}

// Seconds since the epoch at which the system booted ("btime" of /proc/stat).
static double boot_time()
{
    std::ifstream stat("/proc/stat");
    std::string word;
    double seconds = 0;
    while (stat >> word)
        if (word == "btime" && stat >> seconds)
            break;
    return seconds;
}

static size_t open_descriptors()
{
    size_t count = 0;
    DIR *directory = opendir("/proc/self/fd");
    if (!directory)
        return 0;
    while (struct dirent *entry = readdir(directory))
        count += entry->d_name[0] != '.';
    closedir(directory);
    return count - 1; // the directory's own descriptor
}

// The standard process metrics, from /proc/self/stat: the fields after the
// command name, whose parentheses may hold anything.
static void add_process_families(std::vector<MetricFamily> *families)
{
    std::string text;
    {
        std::ifstream file("/proc/self/stat"); // closed before the descriptors are counted
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> field{"pid", "comm"};
    for (std::string value; fields >> value;)
        field.push_back(value); // numbered as in proc(5), from 1
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto number = [&](size_t index) { return index < field.size() ? std::stod(field[index]) : 0; };
    struct rlimit limit = {0, 0};
    getrlimit(RLIMIT_NOFILE, &limit);
    families->push_back(single("process_cpu_seconds_total",
                               "Total user and system CPU time spent in seconds.",
                               MetricType::Counter, (number(13) + number(14)) / ticks));
    families->push_back(single("process_resident_memory_bytes", "Resident memory size in bytes.",
                               MetricType::Gauge,
                               number(23) * static_cast<double>(sysconf(_SC_PAGESIZE))));
    families->push_back(single("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                               MetricType::Gauge, number(22)));
    families->push_back(single("process_start_time_seconds",
                               "Start time of the process since unix epoch in seconds.",
                               MetricType::Gauge, boot_time() + number(21) / ticks));
    families->push_back(single("process_open_fds", "Number of open file descriptors.",
                               MetricType::Gauge, static_cast<double>(open_descriptors())));
    families->push_back(single("process_max_fds", "Maximum number of open file descriptors.",
                               MetricType::Gauge, static_cast<double>(limit.rlim_cur)));
}

std::vector<MetricFamily> metrics_collector::Collect() const
{
    std::vector<MetricFamily> families;
    families.push_back(counted_family("vostrelld_received_messages_total",
                                      "Texts received, by input.", "input", RECEIVED));
    families.push_back(single("vostrelld_udp_truncated_messages_total",
                              "Datagrams cut to the UDP receive capacity.", MetricType::Counter,
                              static_cast<double>(statistics.in_udp_cut.get())));
    families.push_back(counted_family("vostrelld_sent_messages_total",
                                      "Texts and records sent, by output.", "output", SENT));
    families.push_back(counted_family("vostrelld_dropped_messages_total",
                                      "Texts dropped, by cause.", "reason", DROPPED));
    families.push_back(single("vostrelld_receive_errors_total", "Receive calls that failed.",
                              MetricType::Counter,
                              static_cast<double>(statistics.drop_receive.get())));
    families.push_back(single("vostrelld_log_lines_dropped_total",
                              "Log lines dropped because the log could not take them at once.",
                              MetricType::Counter, static_cast<double>(log_lines_dropped())));
    MetricFamily refused = counted_family(
        "vostrelld_refused_total",
        "Refused: handshakes and connections (auth), datagrams (udp), scrapes (metrics).", "reason",
        REFUSED);
    add_sample(&refused, static_cast<double>(scrapes_refused->load(std::memory_order_relaxed)),
               {{"reason", "metrics"}});
    families.push_back(std::move(refused));
    families.push_back(connections_family());
    add_socket_families(&families);
    add_spool_families(&families);
    families.push_back(single("vostrelld_udp_receive_buffer_bytes",
                              "Receive buffer that the kernel granted the UDP socket.",
                              MetricType::Gauge, udp_receive_buffer_granted()));
    families.push_back(single("vostrelld_overflow",
                              "1 while the message processors' overflow latch is set.",
                              MetricType::Gauge, overflow_latched() ? 1 : 0));
    families.push_back(build_info());
    add_process_families(&families);
    return families;
}
