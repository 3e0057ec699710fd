// Texts lost across restarts: a steady stream of 64-byte texts at each
// rate for three seconds, the daemon stopped with SIGTERM and started again
// at once after one and after two seconds. The backyard processor is the
// sink, so that no subscriber's reconnection is counted: UDP datagrams and
// the inbound endpoint's texts, each with the input's socket held by the
// bench and passed to every run of the daemon, as a service manager does,
// or bound by each run anew. The daemon holds 100,000 texts for the
// processor in its queue, or, in the last column, the default queue of 1000
// and a disk spool, as the installed configuration does.

#include "bench.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace
{

// The input routes of the mode, both ending on the backyard processor.
const route_t RESTART_ROUTES[] = {
    {"udp", "#jwin UDP->backyard", "#jwin ", true, "message_processor_backyard", false},
    {"inbound", "#jwin PULL->backyard", "#jwin ", false, "message_processor_backyard", false},
};

const double RESTART_SECONDS = 3;
const int RESTARTS = 2;

// The texts of one run lost, in per cent of those offered; -1 when the
// run failed.
double lost_across_restarts(const options_t &options, relay_kind kind, const route_t &route,
                            bool kept, bool spooled, double rate)
{
    // A new run takes the backlog of the passed socket at full speed, before
    // its push socket has connected: the queue, or the spool, must hold that.
    const char *held = spooled ? "spool\n    directory = \"@DIR@/spool\"\n"
                                 "    message_processor_backyard = 1073741824\n"
                               : "queue\n    message_processor_backyard = 100000\n";
    options_t queued = options;
    queued.config += held;
    queued.baseline_config += held;
    rig_t rig;
    rig.hold_input = kept;
    if (!rig.open(queued, kind, route, {}, {}, 5000)) {
        fprintf(stderr, "%s: %s\n", route.name, rig.error.c_str());
        return -1;
    }
    std::string text = load_make_text(route.prefix, 64, 1);
    uint64_t base = rig.sink.received, offered = 0;
    auto count = static_cast<uint64_t>(rate * RESTART_SECONDS);
    // A datagram to a port that nobody holds is refused: the generator goes on.
    std::thread generator(
        [&] { offered = offer(&rig.target, text, strlen(route.prefix), count, rate, 1000, true); });
    bool restarted = true;
    for (int restart = 0; restart < RESTARTS; restart++) {
        std::this_thread::sleep_for(std::chrono::duration<double>(RESTART_SECONDS / 3));
        restarted = restarted && rig.restart(5000);
    }
    generator.join();
    uint64_t received = load_wait_delivered(&rig.sink, base, offered, 1000);
    if (!restarted || offered != count) {
        fprintf(stderr, "%s: %s, offered %llu of %llu\n", route.name, rig.error.c_str(),
                static_cast<unsigned long long>(offered), static_cast<unsigned long long>(count));
        return -1;
    }
    return 100.0 * static_cast<double>(offered - std::min(offered, received)) /
           static_cast<double>(offered);
}

} // namespace

bool run_restarts(const options_t &options)
{
    // The daemon with its input's socket kept and bound anew, and the
    // baseline, where one is given, bound anew.
    struct column_t {
        relay_kind kind;
        bool kept, spooled;
    };
    std::vector<column_t> columns = {{DAEMON, true, false}, {DAEMON, false, false}};
    if (!options.baseline.empty())
        columns.push_back({BASELINE, false, false});
    columns.push_back({DAEMON, true, true});
    bool all_ok = true;
    printf("\nrestarts: 64-byte texts for %.0f s, %d restarts, %d runs per cell, median lost\n",
           RESTART_SECONDS, RESTARTS, options.runs);
    printf("%-22s %9s | %12s | %12s%s | %12s\n", "input", "offered/s", "socket kept", "bound anew",
           options.baseline.empty() ? "" : " |     baseline", "kept, spool");
    for (const route_t &route : RESTART_ROUTES) {
        for (double rate : options.restarts) {
            printf("%-22s %9.0f", route.label, rate);
            for (const column_t &column : columns) {
                std::vector<double> losses;
                for (int run = 0; run < options.runs && !zsys_interrupted; run++) {
                    double lost = lost_across_restarts(options, column.kind, route, column.kept,
                                                       column.spooled, rate);
                    all_ok = all_ok && lost >= 0;
                    losses.push_back(lost);
                }
                printf(" | %11.3f%%", median(losses));
            }
            printf("\n");
            fflush(stdout);
        }
    }
    return all_ok;
}
