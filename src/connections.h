#pragma once
// How the messaging sockets hold on to their peers: the queue each keeps
// for one peer, the time after which a peer that no longer answers is given
// up, and a watch on their connections through the library's socket events:
// the handshakes that the access rules refuse, and the connections of the
// message processors, made and lost. Without "/queue/..." and
// "/peer_timeout" the sockets keep the library's defaults and the
// processors' connections are not counted in the statistics line.
// Everything here runs on the main thread.

#include "socket_table.h"

#include <cstdint>
#include <czmq.h>

// Sets up socket, before it binds or attaches, as the socket of record: its
// queue depth (read into the record), the peer time-out (TCP_USER_TIMEOUT
// for unacknowledged data, keepalive probes for an idle connection, a
// bounded connect attempt), and where it has a spool, no queue while no
// processor is connected (ZMQ_IMMEDIATE).
void apply_connection_options(zsock_t *socket, socket_record *record);

// Starts the watch of socket, the socket of record, once it is set up and
// before it binds or attaches: its refused handshakes where authenticating,
// the connections of a message processor's socket where queues or a peer
// time-out are configured, and every socket's where the metrics endpoint
// shows them. Logs and returns false where the watch cannot be made.
// Nothing is made where there is nothing to watch.
bool watch_connections(zsock_t *socket, socket_record *record, bool authenticating);

// Registers on loop the reader of every watch that the statistics line
// needs at once; false when one cannot be.
bool register_watches(zloop_t *loop);

// Counts what the watches that are not registered (those only the metrics
// endpoint needs) have seen. Called at the loop's wake-up ticket and before
// the statistics are reported.
void read_unpolled_watches();

// Peers connected to the socket of record now, as its watch saw them come
// and go; 0 where it is not watched. Read on any thread.
int64_t connected_peers(const socket_record *record);

// Stops every watch and releases its reader. Call before the sockets are
// released. Safe when there are none and when called twice.
void stop_watches();
