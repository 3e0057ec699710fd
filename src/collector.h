#pragma once
// What the metrics endpoint serves: the counters of the statistics line, the
// state of the sockets and of the overflow latch, the build, and the
// standard process metrics, all read when a scrape asks for them. Called on
// the metrics server's threads; it only reads what the event loop publishes
// (relaxed atomic counts, and values fixed before the server started) and
// writes nothing of the daemon's.

#include <atomic>
#include <cstdint>
#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <vector>

class metrics_collector : public prometheus::Collectable
{
  public:
    // scrapes_refused: the metrics endpoint's count of refused scrapes.
    explicit metrics_collector(const std::atomic<uint64_t> *scrapes_refused)
        : scrapes_refused(scrapes_refused)
    {
    }
    std::vector<prometheus::MetricFamily> Collect() const override;

  private:
    const std::atomic<uint64_t> *scrapes_refused;
};
