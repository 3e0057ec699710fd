// The daemon's resident memory over a long run.

#include "bench.h"

#include <chrono>
#include <cstdio>
#include <thread>

using Clock = std::chrono::steady_clock;

// The daemon's resident memory over a long run of 64-byte texts on all four
// routes in turn, sampled every million messages once the first million
// has warmed it up.
bool run_soak(const options_t &options)
{
    const route_t *routes[] = {find_route("plain"), find_route("gateway"), find_route("backyard"),
                               find_route("record")};
    rig_t rig;
    if (!rig.open(options, DAEMON, *routes[0], {}, {}, 5000)) {
        fprintf(stderr, "soak: %s\n", rig.error.c_str());
        return false;
    }
    load_sink_t sinks[3];
    for (int i = 0; i < 3; i++) {
        const route_t &route = *routes[i + 1];
        if (!load_sink_start(&sinks[i], route.published, sink_endpoint(rig.relay, route),
                             options.sink_hwm, "") ||
            !load_probe(&rig.target, route.prefix, &sinks[i], 5000)) {
            fprintf(stderr, "soak: no probe came through on %s\n", route.name);
            return false;
        }
    }
    std::vector<std::string> texts;
    for (const route_t *route : routes)
        texts.push_back(load_make_text(route->prefix, 64, 1));
    auto delivered = [&] {
        return rig.sink.received + sinks[0].received + sinks[1].received + sinks[2].received;
    };
    const uint64_t chunk = 1000000;
    uint64_t total = chunk + options.soak, sent = 0;
    long warm = 0;
    printf("\nresident memory of the daemon, 64-byte texts on four routes in turn\n");
    for (uint64_t done = 0; done < total && !zsys_interrupted; done += chunk) {
        uint64_t base = delivered();
        sent += peer_send_paced(&rig.target, texts, std::min(chunk, total - done), 0);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (delivered() - base < std::min(chunk, total - done) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        long rss = rss_kib(rig.relay.pid);
        if (done == 0)
            warm = rss;
        printf("%12llu messages: %ld KiB\n", static_cast<unsigned long long>(done + chunk), rss);
        fflush(stdout);
    }
    long last = rss_kib(rig.relay.pid);
    printf("growth after warm-up over %llu messages: %ld KiB; sent %llu, delivered %llu\n",
           static_cast<unsigned long long>(options.soak), last - warm,
           static_cast<unsigned long long>(sent), static_cast<unsigned long long>(delivered()));
    for (load_sink_t &sink : sinks)
        load_sink_stop(&sink);
    return true;
}
