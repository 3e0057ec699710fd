#pragma once
// Who may connect to the daemon's ZeroMQ sockets and send it datagrams: the
// authenticator (CZMQ's zauth, on a thread of its own) with the addresses in
// "/allow", which the UDP receiver asks too, the CURVE certificates
// (certificates.h), and the largest frame a peer may send. Without the
// optional keys nothing here is made and the sockets stay as the library
// makes them.

#include "allow.h"
#include "socket_table.h"

#include <czmq.h>

// Reads the certificates that the configuration names and the addresses of
// "/allow", and starts and configures the authenticator, waiting for each
// of its answers: so it holds before the first socket is bound. Logs the
// first certificate, directory or address that is unusable and returns
// false, having released what it made.
bool create_access();

// Sets up socket, before it binds or connects, as the socket of record: the
// ZAP domain (so that the allow list applies to plain sockets too), the
// CURVE keys, and the largest frame its peers may send.
void apply_access(zsock_t *socket, const socket_record *record);

// The addresses of "/allow", which admit datagrams too; null without the
// key.
const allow_list_t *allowed_peers();

// True when the socket of record authenticates its peers, so that refused
// handshakes are seen on it.
bool authenticates(const socket_record *record);

// Stops the authenticator and wipes the keys. Call after the last socket is
// released. Safe when there is none and when called twice.
void destroy_access();
