#pragma once
// The event loop that drives the daemon: its two receivers (inbound.h,
// udp.h), the readers of the sockets' watches, the feeding of sockets from
// their spools, the wake-up ticket, the statistics request (SIGUSR1), and
// the delivery of what was taken in when the daemon stops. Everything here runs on the main thread.

#include <czmq.h>

// The event loop; null while there is none.
extern zloop_t *reactor;

// Creates the event loop, registers both receivers on it, the readers of
// refused handshakes, and the statistics request: a SIGUSR1 logs the
// statistics line and shows the main counters to the service manager.
// SIGUSR1 must be blocked in every thread before the first messaging socket
// is made (the library's threads inherit the mask). Needs create_sockets()
// to have succeeded. On failure logs, releases what it made and returns
// false.
bool create_reactor();

// Releases the loop and the statistics request. Safe when there are none.
void destroy_reactor();

// Once the loop has returned: unbinds the inbound endpoint, so that its
// producers send to the next run, routes what already waits on both inputs,
// and gives the outputs what is left of grace_msecs to hand what they queue
// to the peers that are up (their linger, which the library waits out when
// it ends). Never spends longer than grace_msecs on the inputs.
void deliver_what_was_taken(int grace_msecs);
