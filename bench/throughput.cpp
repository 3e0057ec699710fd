// The throughput table: the daemon beside its ceilings and the library's
// forwarder, route by route and size by size, flat out.

#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

struct run_result_t {
    bool ok = false;
    std::string error;
    uint64_t sent = 0, delivered = 0, udp_drops = 0;
    double rate = 0;
    double p50_us = 0, p99_us = 0;
    long rss_start_kib = 0, rss_end_kib = 0;
};

void measure_latency(rig_t *rig, const route_t &route, size_t size, const options_t &options,
                     run_result_t *result)
{
    uint64_t base = rig->sink.received;
    rig->sink.measuring = true;
    std::string text = load_make_text(route.prefix, size, 1);
    uint64_t sent =
        load_send_stamped(&rig->target, text, strlen(route.prefix), options.latency_count,
                          options.latency_rate, 0, &rig->sink, base, 5000);
    load_wait_delivered(&rig->sink, base, sent, 500);
    rig->sink.measuring = false;
    std::vector<int64_t> latencies = load_sink_take_latencies(&rig->sink);
    result->p50_us = percentile(latencies, 0.50);
    result->p99_us = percentile(latencies, 0.99);
}

void measure_throughput(rig_t *rig, const route_t &route, size_t size, const options_t &options,
                        run_result_t *result)
{
    std::vector<std::string> texts;
    for (int64_t stamp = 1; stamp <= 4; stamp++)
        texts.push_back(load_make_text(route.prefix, size, stamp));
    uint64_t drops_before = udp_receive_buffer_drops();
    uint64_t base = rig->sink.received;
    int64_t start = load_now_us();
    // The inbound endpoint holds the sender back once the relay's queue is
    // full; UDP does not, and a flood would measure how the kernel shares
    // the processors between sender and relay. So datagrams go out at most
    // a window ahead of delivery, a window small enough for the default
    // receive buffer.
    if (route.udp)
        result->sent =
            load_send_stamped(&rig->target, texts[0], strlen(route.prefix), options.count, 0,
                              options.udp_window, &rig->sink, base, 5000);
    else
        result->sent = peer_send_paced(&rig->target, texts, options.count, 0);
    result->delivered = load_wait_delivered(&rig->sink, base, result->sent, 500);
    int64_t elapsed = rig->sink.last_us - start;
    result->rate = elapsed > 0 ? static_cast<double>(result->delivered) * 1e6 / elapsed : 0;
    result->udp_drops = udp_receive_buffer_drops() - drops_before;
}

run_result_t run_once(const options_t &options, relay_kind kind, const route_t &route, size_t size)
{
    run_result_t result;
    rig_t rig;
    if (!rig.open(options, kind, route, {}, {}, 5000)) {
        result.error = rig.error;
        return result;
    }
    result.rss_start_kib = rss_kib(rig.relay.pid);
    if (options.latency_count > 0)
        measure_latency(&rig, route, size, options, &result);
    measure_throughput(&rig, route, size, options, &result);
    result.rss_end_kib = rss_kib(rig.relay.pid);
    result.ok = rig.sink.malformed == 0;
    if (!result.ok)
        result.error = std::to_string(rig.sink.malformed) + " malformed messages";
    return result;
}

// Where the messages that did not arrive were lost: a route can lose them
// only at the UDP receive buffer, at a publisher's high-water mark (the sink
// takes everything it is sent, so only the publisher's own queue fills) or
// at a push socket that refuses without waiting.
std::string losses(const std::vector<run_result_t> &runs, const route_t &route)
{
    uint64_t lost = 0, udp = 0;
    for (const run_result_t &run : runs) {
        lost += run.sent - std::min(run.sent, run.delivered);
        udp +=
            route.udp ? std::min(run.udp_drops, run.sent - std::min(run.sent, run.delivered)) : 0;
    }
    if (lost == 0)
        return "0";
    std::string text;
    if (udp > 0)
        text = std::to_string(udp) + " rcvbuf";
    if (lost > udp)
        text += (text.empty() ? "" : "+") + std::to_string(lost - udp) +
                (route.published ? " PUB hwm" : " push EAGAIN");
    return text;
}

struct cell_t {
    std::vector<run_result_t> runs;
    std::vector<double> rates() const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(run.rate);
        return values;
    }
    double median_of(double run_result_t::*field) const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(run.*field);
        return median(values);
    }
    long max_rss_end() const
    {
        long most = 0;
        for (const run_result_t &run : runs)
            most = std::max(most, run.rss_end_kib);
        return most;
    }
    long median_rss_start() const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(static_cast<double>(run.rss_start_kib));
        return static_cast<long>(median(values));
    }
};

// The relays that run beside the ceilings, the daemon and the library.
std::vector<relay_kind> extra_relays(const options_t &options)
{
    std::vector<relay_kind> kinds;
    if (!options.baseline.empty())
        kinds.push_back(BASELINE);
    if (options.curve)
        kinds.push_back(CURVED);
    return kinds;
}

void print_header(const options_t &options)
{
    printf("\n%llu messages per run, %d alternating pairs; latency: %llu messages at %.0f/s; "
           "medians of the pairs\n",
           static_cast<unsigned long long>(options.count), options.pairs,
           static_cast<unsigned long long>(options.latency_count), options.latency_rate);
    printf("%-24s %5s | %9s %9s %6s | %9s %6s | %9s %6s | %-22s %-22s | %-11s %-11s | %-24s",
           "route", "size", "ceiling/s", "daemon/s", "d/c", "drained/s", "d/dr", "library/s",
           "d/lib", "lost: ceiling", "lost: daemon", "p50/p99 c", "p50/p99 d",
           "daemon RSS KiB start/end");
    for (relay_kind kind : extra_relays(options))
        printf(" | %9s/s %6s %-11s", RELAY_NAMES[kind], "d/x", "p50/p99 x");
    printf("\n");
}

std::string latency_text(const cell_t &cell)
{
    char text[32];
    snprintf(text, sizeof text, "%.0f/%.0f", cell.median_of(&run_result_t::p50_us),
             cell.median_of(&run_result_t::p99_us));
    return text;
}

void print_row(const options_t &options, const route_t &route, size_t size,
               const cell_t cells[RELAY_KINDS])
{
    double ceiling = median(cells[CEILING].rates()), daemon = median(cells[DAEMON].rates());
    double library = median(cells[LIBRARY].rates()), drained = median(cells[DRAINED].rates());
    printf("%-24s %5zu | %9.0f %9.0f %5.1f%% | %9.0f %5.1f%% | %9.0f %5.1f%% | %-22s %-22s | %-11s "
           "%-11s | %ld/%ld",
           route.label, size, ceiling, daemon, ceiling > 0 ? 100 * daemon / ceiling : 0, drained,
           drained > 0 ? 100 * daemon / drained : 0, library,
           library > 0 ? 100 * daemon / library : 0, losses(cells[CEILING].runs, route).c_str(),
           losses(cells[DAEMON].runs, route).c_str(), latency_text(cells[CEILING]).c_str(),
           latency_text(cells[DAEMON]).c_str(), cells[DAEMON].median_rss_start(),
           cells[DAEMON].max_rss_end());
    for (relay_kind kind : extra_relays(options)) {
        double other = median(cells[kind].rates());
        printf(" | %11.0f %5.1f%% %-11s", other, other > 0 ? 100 * daemon / other : 0,
               latency_text(cells[kind]).c_str());
    }
    printf("\n");
    fflush(stdout);
}

} // namespace

// Runs ceiling and daemon in alternating order, pair after pair, with the
// library's forwarder beside them; every failed run is reported.
bool run_table(const options_t &options)
{
    print_header(options);
    bool all_ok = true;
    for (const std::string &name : options.routes) {
        const route_t &route = *find_route(name);
        for (size_t size : options.sizes) {
            cell_t cells[RELAY_KINDS];
            for (int pair = 0; pair < options.pairs && !zsys_interrupted; pair++) {
                std::vector<relay_kind> order = {CEILING, DAEMON, DRAINED};
                if (pair % 2)
                    std::swap(order[0], order[1]);
                if (options.library)
                    order.push_back(LIBRARY);
                for (relay_kind kind : extra_relays(options))
                    order.push_back(kind);
                for (relay_kind kind : order) {
                    run_result_t result = run_once(options, kind, route, size);
                    if (!result.ok) {
                        fprintf(stderr, "%s %s %zu B: %s\n", RELAY_NAMES[kind], route.name, size,
                                result.error.c_str());
                        all_ok = false;
                    }
                    cells[kind].runs.push_back(result);
                }
            }
            print_row(options, route, size, cells);
        }
    }
    return all_ok;
}
