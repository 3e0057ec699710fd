#pragma once
// What the metrics endpoint serves: the counters of the statistics line, the
// state of the sockets and of the overflow latch, the build, and the
// standard process metrics, all read when a scrape asks for them. Called on
// the metrics server's threads; it only reads what the event loop publishes
// (relaxed atomic counts, and values fixed before the server started) and
// writes nothing of the daemon's.

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <vector>

class metrics_collector : public prometheus::Collectable
{
  public:
    std::vector<prometheus::MetricFamily> Collect() const override;
};
