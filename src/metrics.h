#pragma once
// The metrics endpoint: where "/metrics" names an IPv4 address and port, an
// HTTP server on threads of its own (the Prometheus client library's
// exposer) answers GET /metrics with the daemon's counters in Prometheus's
// text format, read through the collector (collector.h). Only the addresses
// of "/metrics_allow", or else of "/allow", may scrape; any other gets 403.
// Without "/metrics" nothing here is made and no thread is started.

#include <cstdint>

// Starts the endpoint where "/metrics" is set: checks the key and the
// allow list, binds the address, starts the server's threads with every
// signal blocked (signals stay with the event loop) and registers the
// collector. Logs the key and value that are unusable, or the failed bind,
// and returns false, having released what it made. Call once the sockets
// exist, before the daemon tells that it is up.
bool create_metrics();

// Stops the server, waiting for its threads, and releases the collector.
// Call before anything that the collector reads is released. Safe when
// there is none and when called twice.
void destroy_metrics();
