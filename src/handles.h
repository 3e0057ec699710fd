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

// The four outputs as libzmq sockets, resolved once from the handles above
// when they all exist (zsock_resolve would check each handle's type again
// for every text); null while there are none.
enum { PUBLISHER_OUTPUT, GATEWAY_OUTPUT, PROCESSOR_OUTPUT, BACKYARD_OUTPUT, OUTPUT_COUNT };
extern void *outputs[OUTPUT_COUNT];

// Resolves outputs from the output handles; create_sockets does so once
// they are made.
void resolve_outputs();
