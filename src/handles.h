#pragma once
// The output sockets that routed texts leave on. Created and released by the
// endpoints unit; the router only sends on them.

#include <czmq.h>

// Indexes of sockets, the three bound messaging sockets.
enum { SUBSCRIBER_SOCKET, PUBLISHER_SOCKET, GATEWAYPUBLISHER_SOCKET, SOCKET_COUNT };

// Bound sockets: inbound PULL, publisher PUB, gateway publisher PUB. The
// publishers refuse a message (EAGAIN, without waiting) where a subscriber's
// queue looks full, instead of dropping it silently (ZMQ_XPUB_NODROP, which
// a PUB socket takes too), so that the router can look again.
extern zsock_t *sockets[SOCKET_COUNT];

// PUSH socket towards the message processor (timestamped records).
extern zsock_t *msg_processor_sock;

// PUSH socket towards the backyard message processor.
extern zsock_t *msg_processor_backyard_sock;
