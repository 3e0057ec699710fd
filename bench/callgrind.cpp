// Instructions per relayed message on the event loop's thread, counted by
// callgrind.

#include "bench.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace
{

// Instructions of the loop's thread in one run under callgrind that relays
// count texts; collection covers zloop_start, so start-up and the library's
// own threads are left out. -1 when the run failed.
int64_t count_instructions(const options_t &options, relay_kind kind, const route_t &route,
                           size_t size, uint64_t count, const std::string &file)
{
    rig_t rig;
    std::vector<std::string> valgrind = {"valgrind", "--tool=callgrind",
                                         "--toggle-collect=zloop_start",
                                         "--callgrind-out-file=" + file};
    std::string hold = file + ".hold";
    std::vector<std::string> env;
    if (options.backlog)
        env = {"LD_PRELOAD=" + options.bin_dir + "/libpoll_shim.so", "POLL_SHIM_HOLD=" + hold};
    if (!rig.open(options, kind, route, valgrind, env, 60000)) {
        fprintf(stderr, "%s %s: %s\n", RELAY_NAMES[kind], route.name, rig.error.c_str());
        return -1;
    }
    uint64_t base = rig.sink.received;
    std::string text = load_make_text(route.prefix, size, 1);
    uint64_t sent = 0, delivered = 0;
    if (options.backlog) {
        // The loop is held before its poll while a chunk of texts queues up
        // (for UDP, no more than the default receive buffer takes), then
        // released; so every wake-up finds a backlog.
        uint64_t chunk = route.udp ? 100 : 500;
        while (sent < count && delivered == sent) {
            fclose(fopen(hold.c_str(), "w"));
            sent += load_send_stamped(&rig.target, text, strlen(route.prefix),
                                      std::min(chunk, count - sent), 0, 0, &rig.sink, base, 30000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // on its way in
            unlink(hold.c_str());
            delivered = load_wait_delivered(&rig.sink, base, sent, 10000);
        }
    } else {
        // A window of texts in flight keeps the UDP receive buffer from
        // overflowing while the relay runs slowly under callgrind; a window
        // of one has each message wake the loop alone.
        sent = load_send_stamped(&rig.target, text, strlen(route.prefix), count, 0, options.window,
                                 &rig.sink, base, 30000);
        delivered = load_wait_delivered(&rig.sink, base, count, 10000);
    }
    bool stopped = stop_relay(&rig.relay, 60000);
    if (sent != count || delivered != count || !stopped) {
        fprintf(stderr, "%s %s: sent %llu, delivered %llu of %llu%s\n", RELAY_NAMES[kind],
                route.name, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(count),
                stopped ? "" : ", no clean stop");
        return -1;
    }
    std::istringstream lines(read_file(file));
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("summary:", 0) == 0)
            return std::stoll(line.substr(8));
    return -1;
}

// Instructions per relayed text: a run of N texts less a run of none. The
// library's threads hand memory back to the loop's thread at their own pace,
// so the allocator's work varies a little from run to run: the median of
// options.repeat such differences.
double instructions_per_message(const options_t &options, relay_kind kind, const route_t &route,
                                size_t size)
{
    std::vector<double> per_message;
    for (int round = 0; round < options.repeat; round++) {
        std::string stem = options.keep_dir + "/callgrind." + RELAY_NAMES[kind] + "." + route.name +
                           "." + std::to_string(size) + "." + std::to_string(round);
        int64_t loaded =
            count_instructions(options, kind, route, size, options.callgrind, stem + ".out");
        int64_t idle = count_instructions(options, kind, route, size, 0, stem + ".idle.out");
        if (loaded < 0 || idle < 0)
            return -1;
        per_message.push_back(static_cast<double>(loaded - idle) /
                              static_cast<double>(options.callgrind));
    }
    return median(per_message);
}

} // namespace

bool run_callgrind(const options_t &options)
{
    std::string how = options.backlog
                          ? "; the loop held until each chunk has queued up"
                          : "; at most " + std::to_string(options.window) + " in flight";
    printf("\ninstructions per relayed message on the loop's thread (callgrind, %llu messages "
           "less an idle run, median of %d%s)\n",
           static_cast<unsigned long long>(options.callgrind), options.repeat, how.c_str());
    printf("%-24s %5s | %9s %9s %7s | %9s %7s", "route", "size", "ceiling", "daemon", "d/c",
           "drained", "d/dr");
    if (!options.baseline.empty())
        printf(" | %9s %7s", "baseline", "d/b");
    printf("\n");
    bool all_ok = true;
    for (const std::string &name : options.routes) {
        const route_t &route = *find_route(name);
        for (size_t size : options.sizes) {
            double ceiling = instructions_per_message(options, CEILING, route, size);
            double daemon = instructions_per_message(options, DAEMON, route, size);
            all_ok = all_ok && ceiling > 0 && daemon > 0;
            double drained = instructions_per_message(options, DRAINED, route, size);
            all_ok = all_ok && drained > 0;
            printf("%-24s %5zu | %9.0f %9.0f %6.1f%% | %9.0f %6.1f%%", route.label, size, ceiling,
                   daemon, ceiling > 0 ? 100 * daemon / ceiling : 0, drained,
                   drained > 0 ? 100 * daemon / drained : 0);
            if (!options.baseline.empty()) {
                double baseline = instructions_per_message(options, BASELINE, route, size);
                all_ok = all_ok && baseline > 0;
                printf(" | %9.0f %6.1f%%", baseline, baseline > 0 ? 100 * daemon / baseline : 0);
            }
            printf("\n");
            fflush(stdout);
        }
    }
    printf("callgrind files: %s\n", options.keep_dir.c_str());
    return all_ok;
}
