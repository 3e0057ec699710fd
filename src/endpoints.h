#pragma once
// Endpoints of the daemon, the event loop that drives them and the two
// receivers that hand every received text to the router. Everything here
// runs on the main thread.

#include "handles.h"
#include "udp.h"

#include <cstddef>
#include <czmq.h>

// Socket type of each index of sockets.
extern const int sockets_type[SOCKET_COUNT];

// The event loop; null while there is none.
extern zloop_t *reactor;

// The descriptor that SIGUSR1 is read from, registered with the loop; -1
// while there is none. SIGUSR1 must be blocked in every thread before the
// first messaging socket is made (the library's threads inherit the mask).
extern int signal_descriptor;

// Creates, in order, the three bound messaging sockets, the UDP socket and
// the two push sockets from the loaded configuration, taking the sockets
// that the service manager passed where they match, and closes the passed
// sockets that match nothing. On failure logs the failed step, releases
// whatever exists and returns false.
bool create_sockets();

// Releases every endpoint that exists: push sockets, UDP socket, bound
// sockets. Safe after a partial set-up and when called twice. Destroy the
// reactor first (destroy_reactor).
void destroy_sockets();

// Creates the event loop, registers both receivers on it, the readers of
// refused handshakes, and the statistics request: a SIGUSR1 logs the
// statistics line and shows the main counters to the service manager.
// Needs create_sockets() to have succeeded. On failure logs, releases what
// it made and returns false.
bool create_reactor();

// Releases the loop and the statistics request. Safe when there are none.
void destroy_reactor();

// Writes what the daemon listens on into text, as bound: "inbound ENDPOINT,
// UDP ADDRESS:PORT, publisher ENDPOINT, gateway ENDPOINT". Needs
// create_sockets() to have succeeded.
void describe_endpoints(char *text, size_t size);

// Once the loop has returned: unbinds the inbound endpoint, so that its
// producers send to the next run, routes what already waits on both inputs,
// and gives the outputs what is left of grace_msecs to hand what they queue
// to the peers that are up (their linger, which the library waits out when
// it ends). Never spends longer than grace_msecs on the inputs.
void deliver_what_was_taken(int grace_msecs);

// Receiver of the inbound socket, called by the loop when the socket's
// descriptor (ZMQ_FD) is readable: takes every message waiting, up to a
// batch, without waiting, routes each in turn and returns 0; where the batch
// ends before the messages do, has the loop call it again at once. Logs a
// receive that failed other than for want of messages and returns 1. It
// never ends the loop.
int subscriber_socket_handler(zloop_t *loop, zmq_pollitem_t *poll_item, void *arg);
