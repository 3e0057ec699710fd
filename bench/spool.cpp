// The disk spool of the backyard processor. Paced: 64-byte texts offered at
// each rate to a daemon with a spool, its processor up, and away while they
// are offered and back afterwards, when every text must still arrive; the
// same rate with the in-memory queue alone (no spool, a queue of 1,000,000)
// beside them. Replay: a spool of --spool-fill texts, written while the
// processor is away, is fed to a processor that reads flat out while 20,000
// new texts a second keep coming; none may be lost, and the daemon's
// resident memory is watched throughout. The relay runs on the first
// processor, the generator and the sink on the second, as in the paced
// table.

#include "bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

const char SPOOL_LINES[] = "spool\n    directory = \"@DIR@/spool\"\n"
                           "    message_processor_backyard = 1099511627776\n";
const char QUEUE_LINES[] = "queue\n    message_processor_backyard = 1000000\n";

// Texts a second offered while a spool is replayed.
const double REPLAY_ARRIVALS = 20000;

struct spool_run_t {
    bool ok = false;
    uint64_t offered = 0, received = 0;
};

double lost_percent(const spool_run_t &run)
{
    uint64_t lost = run.offered - std::min(run.offered, run.received);
    return run.offered ? 100.0 * static_cast<double>(lost) / static_cast<double>(run.offered) : 100;
}

// Stops the rig's sink: the processor is away; the daemon notices within
// a few milliseconds.
void processor_leaves(rig_t *rig)
{
    load_sink_stop(&rig->sink);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

bool processor_returns(rig_t *rig, const options_t &options, const route_t &route)
{
    rig->sink.stop = false;
    return load_sink_start(&rig->sink, false, sink_endpoint(rig->relay, route), options.sink_hwm,
                           "");
}

// One paced run: lines configure the daemon; with away, the processor is
// away while the texts are offered.
spool_run_t paced_run(const options_t &options, const char *lines, bool away, double rate,
                      const std::vector<std::string> &pin)
{
    spool_run_t run;
    options_t configured = options;
    configured.config += lines;
    const route_t &route = *find_route("backyard");
    rig_t rig;
    if (!rig.open(configured, DAEMON, route, pin, {}, 5000)) {
        fprintf(stderr, "spool %.0f/s: %s\n", rate, rig.error.c_str());
        return run;
    }
    if (away)
        processor_leaves(&rig);
    uint64_t base = rig.sink.received, count = static_cast<uint64_t>(rate * options.seconds);
    run.offered = offer(&rig.target, load_make_text(route.prefix, 64, 1), strlen(route.prefix),
                        count, rate, options.tick_us, false);
    run.ok = run.offered == count && (!away || processor_returns(&rig, options, route));
    run.received = load_wait_delivered(&rig.sink, base, run.offered, away ? 2000 : 300);
    return run;
}

// The peak resident memory of pid, sampled every 20 ms until stopped.
struct rss_watch_t {
    std::atomic<long> peak{0};
    std::atomic<bool> done{false};
    std::thread thread;
    explicit rss_watch_t(pid_t pid)
        : thread([this, pid] {
              while (!done) {
                  peak = std::max(peak.load(), rss_kib(pid));
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          })
    {
    }
    long stop()
    {
        done = true;
        thread.join();
        return peak;
    }
};

// Fills a spool with count texts while the processor is away, then feeds
// it to the returning processor while new texts keep coming.
bool replay_run(const options_t &options, uint64_t count, const std::vector<std::string> &pin)
{
    options_t configured = options;
    configured.config += SPOOL_LINES;
    const route_t &route = *find_route("backyard");
    rig_t rig;
    if (!rig.open(configured, DAEMON, route, pin, {}, 5000)) {
        fprintf(stderr, "replay: %s\n", rig.error.c_str());
        return false;
    }
    std::string text = load_make_text(route.prefix, 64, 1);
    processor_leaves(&rig);
    long base = rss_kib(rig.relay.pid);
    uint64_t received = rig.sink.received;
    rss_watch_t filling(rig.relay.pid);
    auto started = Clock::now();
    uint64_t spooled = offer(&rig.target, text, strlen(route.prefix), count, 1e6, 1000, false);
    std::chrono::duration<double> fill = Clock::now() - started;
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the last of it on its way in
    long fill_peak = filling.stop();
    rss_watch_t replaying(rig.relay.pid);
    std::atomic<bool> arriving{true};
    uint64_t arrived = 0;
    std::thread arrivals([&] {
        while (arriving)
            arrived +=
                offer(&rig.target, text, strlen(route.prefix),
                      static_cast<uint64_t>(REPLAY_ARRIVALS / 10), REPLAY_ARRIVALS, 1000, false);
    });
    started = Clock::now();
    bool back = processor_returns(&rig, options, route);
    while (back && rig.sink.received - received < spooled && !zsys_interrupted &&
           Clock::now() - started < std::chrono::seconds(600))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::chrono::duration<double> replay = Clock::now() - started;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    arriving = false;
    arrivals.join();
    uint64_t delivered = load_wait_delivered(&rig.sink, received, spooled + arrived, 2000);
    long replay_peak = replaying.stop();
    printf("replay: %llu texts spooled in %.1f s (%.0f/s), fed to the processor in %.1f s "
           "(%.0f/s) while %llu more came at %.0f/s; %llu of %llu lost\n",
           static_cast<unsigned long long>(spooled), fill.count(),
           static_cast<double>(spooled) / fill.count(), replay.count(),
           static_cast<double>(spooled) / replay.count(), static_cast<unsigned long long>(arrived),
           REPLAY_ARRIVALS, static_cast<unsigned long long>(spooled + arrived - delivered),
           static_cast<unsigned long long>(spooled + arrived));
    printf("resident memory: %ld KiB at the start, at most %+ld KiB while the spool was written, "
           "%+ld KiB while it was replayed\n",
           base, fill_peak - base, replay_peak - base);
    return back && spooled == count && delivered == spooled + arrived;
}

} // namespace

bool run_spool(const options_t &options)
{
    bool pinned = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    std::vector<std::string> pin;
    if (pinned) {
        pin_to_cpu(1);
        pin = {"taskset", "-c", "0"};
    }
    printf("\nspool: 64-byte texts to the backyard processor for %.1f s per run, %d runs per "
           "cell, median lost\n%-10s | %14s | %14s | %14s\n",
           options.seconds, options.runs, "offered/s", "spool, up", "spool, away", "queue 1e6, up");
    bool all_ok = true;
    for (double rate : options.spool) {
        std::vector<double> up, away, queued;
        for (int run = 0; run < options.runs && !zsys_interrupted; run++) {
            spool_run_t runs[3] = {paced_run(options, SPOOL_LINES, false, rate, pin),
                                   paced_run(options, SPOOL_LINES, true, rate, pin),
                                   paced_run(options, QUEUE_LINES, false, rate, pin)};
            for (const spool_run_t &result : runs)
                all_ok = all_ok && result.ok;
            up.push_back(lost_percent(runs[0]));
            away.push_back(lost_percent(runs[1]));
            queued.push_back(lost_percent(runs[2]));
        }
        printf("%-10.0f | %13.3f%% | %13.3f%% | %13.3f%%\n", rate, median(up), median(away),
               median(queued));
        fflush(stdout);
    }
    if (options.spool_fill > 0)
        all_ok = replay_run(options, options.spool_fill, pin) && all_ok;
    return all_ok;
}
